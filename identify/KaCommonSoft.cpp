#include "identify/KaCommonSoft.h"

#include <utility>
#include <vector>

#include "common/Result.h"
#include "common/Text.h"
#include "common/Unique.h"
#include "identify/VersionPolicy.h"
#include "datafiles/DataFiles.h"

namespace tessary {
namespace {

// An empty text goes out as a null string.
bool CopyNonEmpty(const std::wstring& text, UniqueBstr& out) noexcept {
  return out.CopyFrom(text.empty() ? nullptr : text.c_str());
}

}  // namespace

HRESULT KaCommonSoft::FinalConstruct() noexcept {
  // Neither a missing rules file nor a missing engine fails the creation:
  // the object then answers from what it has.
  Microsoft::WRL::ComPtr<IXMLDOMDocument> rules;
  Guarded([&] {
    rulesPath_ = DataFilePath(kRulesFile);
    rules = LoadXmlFile(rulesPath_.c_str());
    rules_.Load(rules.Get());
    return S_OK;
  });
  // The engine reads its start-menu rules from the same file: it is handed
  // the document just loaded rather than parsing the file a second time.
  if (FAILED(MakeComObject(engine_, std::move(rules)))) engine_.Reset();
  return S_OK;
}

SoftwareRule* KaCommonSoft::Lookup(BSTR name) {
  lookupName_.assign(BstrView(name));
  LowerInPlace(lookupName_);
  return rules_.Find(lookupName_);
}

HRESULT KaCommonSoft::TracedVersion(const std::wstring& key, int policy,
                                    const std::wstring& path, std::wstring& version,
                                    IdentifyExplanation* trace) {
  if (!trace) return engine_->VersionOf(key, policy, path, version);
  const std::vector<const InstalledSoftRecord*> before = engine_->RecordsFor(key);
  const bool cached = !before.empty() && before.front()->policy == policy;
  const HRESULT hr = engine_->VersionOf(key, policy, path, version);
  // Only the first record of a key answers.
  if (SUCCEEDED(hr)) trace->Version(path, policy, *before.front(), cached, version);
  return hr;
}

void KaCommonSoft::IdentifyByRegistry(SoftwareRule& entry, bool& found,
                                      IdentifyExplanation* trace) {
  std::wstring version;
  for (const RegKeyRule& rule : entry.regKeyRules) {
    if (trace) {
      trace->Open(L"regkey", {{L"key", rule.regKey},
                              {L"policy", PolicyName(rule.policy)},
                              {L"path", rule.verFilePath},
                              {L"displayName", rule.displayName}});
      trace->Records(engine_->RecordsFor(rule.regKey));
    }
    if (FAILED(TracedVersion(rule.regKey, rule.policy, rule.verFilePath, version, trace))) {
      if (trace) {
        trace->Decision(L"no Uninstall entry under this key: not installed by this rule");
        trace->Close();
      }
      continue;
    }
    found = true;
    if (!entry.version.empty()) {
      // The newest version wins, with the display name of its rule.
      if (!version.empty() && CompareVersions(entry.version.c_str(), version.c_str()) == 1) {
        if (trace) {
          trace->Decision(L"newer than " + entry.version + L": this rule's version wins");
          trace->Winner(L"regkey " + rule.regKey);
        }
        entry.version = version;
        entry.displayName = rule.displayName;
      } else if (trace) {
        trace->Decision(L"not newer than " + entry.version + L": the earlier rule's stays");
      }
      if (trace) trace->Close();
      continue;
    }
    if (version.empty()) {
      for (const std::wstring& path : rule.altVerFilePaths) {
        if (trace) trace->Leaf(L"alternative", {{L"path", path}});
        if (FAILED(TracedVersion(rule.regKey, rule.policy, path, version, trace))) {
          version.clear();
          continue;
        }
        if (!version.empty()) break;
      }
    }
    if (trace) {
      trace->Decision(version.empty()
                          ? std::wstring(L"registered, no version found: installed, version empty")
                          : L"first version found: " + version);
      trace->Winner(L"regkey " + rule.regKey);
      trace->Close();
    }
    entry.version = version;
    entry.displayName = rule.displayName;
  }
}

void KaCommonSoft::IdentifyByStartMenu(SoftwareRule& entry, bool& found,
                                       IdentifyExplanation* trace) {
  std::wstring version;
  const std::wstring key = entry.name + kStartMenuKeySuffix;
  for (const StartMenuLocation& location : entry.startMenuLocations) {
    if (trace) {
      trace->Open(L"startmenu", {{L"folder", location.subFolder},
                                 {L"appFile", location.appFile},
                                 {L"uninstallFile", location.uninstallFile},
                                 {L"policy", PolicyName(location.policy)}});
      trace->Records(engine_->RecordsFor(key));
      if (location.verFilePaths.empty()) trace->Decision(L"no version path: never asked");
    }
    for (const std::wstring& path : location.verFilePaths) {
      const HRESULT hr = engine_->StartMenuVersionOf(entry.name, location.policy, path, version);
      if (trace) {
        const std::vector<const InstalledSoftRecord*> records = engine_->RecordsFor(key);
        const InstalledSoftRecord* last = records.empty() ? nullptr : records.back();
        for (const InstalledSoftRecord* record : records) {
          if (record->versionResult == S_OK && !record->versionFile.empty()) last = record;
        }
        trace->Leaf(L"version",
                    {{L"path", path},
                     {L"policy", PolicyName(location.policy)},
                     {L"from", L"file's fixed version, beside the shortcut's target"},
                     {L"file", SUCCEEDED(hr) && last ? std::wstring_view(last->versionFile) : L""},
                     {L"result", hr == E_INVALIDARG ? L"policy reads no file here (E_INVALIDARG)"
                                 : hr == kNoRecordForKey ? L"no start-menu record (0x80070001)"
                                                         : std::wstring_view(ResultText(hr))},
                     {L"value", version.empty() ? std::wstring_view(L"(none)") : version}});
      }
      if (FAILED(hr)) continue;
      found = true;
      if (!entry.version.empty()) {
        if (!version.empty() && CompareVersions(entry.version.c_str(), version.c_str()) == 1) {
          entry.version = version;
          if (trace) {
            trace->Decision(L"newer: this version wins");
            trace->Winner(L"startmenu " + location.subFolder);
          }
        }
        continue;
      }
      if (!version.empty()) {
        entry.version = version;
        if (trace) {
          trace->Decision(L"first version found: " + version);
          trace->Winner(L"startmenu " + location.subFolder);
        }
        break;
      }
    }
    if (trace) trace->Close();
  }
}

void KaCommonSoft::Identify(SoftwareRule& entry, IdentifyExplanation* trace) {
  entry.displayName.clear();
  entry.version.clear();
  bool found = false;
  IdentifyByRegistry(entry, found, trace);
  // The start menu is only consulted for programs no registered key reveals.
  if (!found) {
    IdentifyByStartMenu(entry, found, trace);
  } else if (trace && !entry.startMenuLocations.empty()) {
    trace->Leaf(L"startmenu", {{L"skipped", L"a registered key was found"}});
  }
  entry.status = found ? kaSoftInstallStatus_installed : kaSoftInstallStatus_noInstall;
}

HRESULT KaCommonSoft::LookupIdentified(BSTR name, kaSoftInstallStatus* status,
                                       SoftwareRule*& entry) {
  entry = Lookup(name);
  if (!entry) {
    *status = kaSoftInstallStatus_noIdentifyInfo;
    return S_OK;
  }
  if (entry->status == kaSoftInstallStatus_unknown) {
    // Without an engine nothing can be identified: say so, honestly.
    if (!engine_) {
      entry = nullptr;
      *status = kaSoftInstallStatus_unknown;
      return E_FAIL;
    }
    Identify(*entry);
  }
  return S_OK;
}

STDMETHODIMP KaCommonSoft::QuerySoftInstallStatus(BSTR bstrSoftName,
                                                  kaSoftInstallStatus* lpInstallStatus) noexcept {
  if (!bstrSoftName || !lpInstallStatus) return E_POINTER;
  return Guarded([&] {
    SoftwareRule* entry = nullptr;
    const HRESULT hr = LookupIdentified(bstrSoftName, lpInstallStatus, entry);
    if (entry) *lpInstallStatus = entry->status;
    return hr;
  });
}

STDMETHODIMP KaCommonSoft::QuerySoftInstallStatusWithVersion(BSTR bstrSoftName, BSTR bstrVersion,
                                                             kaSoftInstallStatus* lpInstallStatus,
                                                             BSTR* lpbstrDisplayName) noexcept {
  // The optional display name is cleared before the arguments are checked.
  if (lpbstrDisplayName) *lpbstrDisplayName = nullptr;
  if (!bstrSoftName || !lpInstallStatus) return E_POINTER;
  return Guarded([&] {
    const SoftwareRule* entry = Lookup(bstrSoftName);
    if (!entry) {
      *lpInstallStatus = kaSoftInstallStatus_noIdentifyInfo;
      return S_OK;
    }
    if (!engine_) {
      *lpInstallStatus = kaSoftInstallStatus_noIdentifyInfo;
      return E_FAIL;
    }
    // No registry-key rule (or no version to match) can match: not installed.
    *lpInstallStatus = kaSoftInstallStatus_noInstall;
    if (!bstrVersion) return S_OK;
    for (const RegKeyRule& rule : entry->regKeyRules) {
      *lpInstallStatus = engine_->StatusWithVersion(rule.regKey, rule.policy, rule.verFilePath,
                                                    BstrView(bstrVersion));
      if (*lpInstallStatus != kaSoftInstallStatus_installed) continue;
      if (lpbstrDisplayName) {
        UniqueBstr displayName;
        RETURN_HR_IF(E_OUTOFMEMORY, !CopyNonEmpty(entry->displayName, displayName));
        *lpbstrDisplayName = displayName.Detach();
      }
      break;
    }
    return S_OK;
  });
}

STDMETHODIMP KaCommonSoft::GetSoftVersion(BSTR bstrSoftName, kaSoftInstallStatus* lpInstallStatus,
                                          BSTR* lpbstrVersion, BSTR* lpbstrDisplayName) noexcept {
  if (!bstrSoftName || !lpInstallStatus) return E_POINTER;
  if (lpbstrVersion) *lpbstrVersion = nullptr;
  if (lpbstrDisplayName) *lpbstrDisplayName = nullptr;
  return Guarded([&] {
    SoftwareRule* entry = nullptr;
    const HRESULT hr = LookupIdentified(bstrSoftName, lpInstallStatus, entry);
    if (!entry) return hr;
    UniqueBstr version;
    UniqueBstr displayName;
    if (lpbstrVersion) RETURN_HR_IF(E_OUTOFMEMORY, !CopyNonEmpty(entry->version, version));
    if (lpbstrDisplayName) {
      RETURN_HR_IF(E_OUTOFMEMORY, !CopyNonEmpty(entry->displayName, displayName));
    }
    *lpInstallStatus = entry->status;
    if (lpbstrVersion) *lpbstrVersion = version.Detach();
    if (lpbstrDisplayName) *lpbstrDisplayName = displayName.Detach();
    return S_OK;
  });
}

STDMETHODIMP KaCommonSoft::RefreshIdentifyInfo() noexcept {
  return Guarded([&] {
    // A rejected file keeps the table and its results; nothing to report.
    rules_.Load(rulesPath_.c_str());
    return S_OK;
  });
}

STDMETHODIMP KaCommonSoft::RefreshInstalledInfo() noexcept {
  if (!engine_) return E_FAIL;
  // Outcomes are forgotten whatever the rebuild answers: one that ran out of
  // memory keeps the last index, where they are simply found again.
  engine_->ReBuildInstalledVerInfo();
  for (auto& [name, entry] : rules_.Entries()) entry.ResetIdentification();
  return S_OK;
}

STDMETHODIMP KaCommonSoft::RefreshOneInstalledInfo(BSTR bstrSoftName) noexcept {
  return Guarded([&] {
    SoftwareRule* entry = Lookup(bstrSoftName);
    if (!entry || !engine_) return E_FAIL;
    entry->ResetIdentification();
    // The whole index is rebuilt (its answer unused); other entries keep
    // their cached results.
    engine_->ReBuildInstalledVerInfo();
    return S_OK;
  });
}

STDMETHODIMP KaCommonSoft::GetUninstallString(BSTR bstrSoftName, BSTR bstrSoftVersion,
                                              BSTR* lpbstrUninstallString) noexcept {
  if (lpbstrUninstallString) *lpbstrUninstallString = nullptr;
  return Guarded([&] {
    const SoftwareRule* entry = Lookup(bstrSoftName);
    if (!entry || !engine_ || entry->regKeyRules.empty()) return E_FAIL;
    // The engine refuses each rule's question without these.
    if (!bstrSoftVersion || !lpbstrUninstallString) return E_POINTER;
    HRESULT hr = E_FAIL;
    std::wstring uninstallString;
    for (const RegKeyRule& rule : entry->regKeyRules) {
      hr = engine_->UninstallStringWithVersion(rule.regKey, rule.policy, rule.verFilePath,
                                               BstrView(bstrSoftVersion), uninstallString);
      if (SUCCEEDED(hr)) {
        return CopyToBstr(uninstallString.c_str(), lpbstrUninstallString);
      }
    }
    return hr;
  });
}

STDMETHODIMP KaCommonSoft::GetStartupExeString(BSTR bstrSoftName,
                                               BSTR* lpbstrStartupExe) noexcept {
  if (!lpbstrStartupExe) return E_POINTER;
  *lpbstrStartupExe = nullptr;
  return Guarded([&] {
    const SoftwareRule* entry = Lookup(bstrSoftName);
    // Only an entry identified as installed is answered; this never identifies.
    if (!entry || entry->status != kaSoftInstallStatus_installed || !engine_) return E_FAIL;
    HRESULT hr = E_FAIL;
    std::wstring path;
    for (const RegKeyRule& rule : entry->regKeyRules) {
      hr = engine_->StartupExe(rule.regKey, path);
      if (SUCCEEDED(hr)) return CopyToBstr(path.c_str(), lpbstrStartupExe);
    }
    return hr;
  });
}

STDMETHODIMP KaCommonSoft::ExplainIdentification(BSTR bstrSoftName,
                                                 BSTR* lpbstrExplanation) noexcept {
  if (!lpbstrExplanation) return E_POINTER;
  *lpbstrExplanation = nullptr;
  if (!bstrSoftName) return E_POINTER;
  return Guarded([&] {
    IdentifyExplanation trace;
    const SoftwareRule* entry = Lookup(bstrSoftName);
    std::wstring text;
    if (!entry) {
      text = trace.Document({{L"name", lookupName_},
                             {L"status", L"noIdentifyInfo"},
                             {L"reason", L"the identification rules do not know this name"}});
    } else if (!engine_) {
      text = trace.Document({{L"name", lookupName_},
                             {L"status", L"unknown"},
                             {L"reason", L"no installed-software engine"}});
    } else {
      SoftwareRule copy = *entry;
      std::vector<std::wstring> keys;
      for (const RegKeyRule& rule : copy.regKeyRules) keys.push_back(rule.regKey);
      keys.push_back(copy.name + kStartMenuKeySuffix);
      // The engine's version caches are shared with every other name's
      // identification: an explanation leaves them as it found them.
      const KaInstalledSoft::VersionCacheKeeper keep = engine_->KeepVersionCaches(keys);
      Identify(copy, &trace);
      const bool installed = copy.status == kaSoftInstallStatus_installed;
      text = trace.Document(
          {{L"name", copy.name},
           {L"status", installed ? L"installed" : L"notInstalled"},
           {L"version", copy.version},
           {L"displayName", copy.displayName},
           {L"winner", trace.winner()},
           {L"reason", installed ? L"" : L"no registered key and no start-menu version"}});
    }
    return CopyToBstr(text.c_str(), lpbstrExplanation);
  });
}

HRESULT CreateKaCommonSoft(IUnknown* outer, REFIID riid, void** ppv) noexcept {
  return CreateComInstance<KaCommonSoft>(outer, riid, ppv);
}

}  // namespace tessary
