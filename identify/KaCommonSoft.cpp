#include "identify/KaCommonSoft.h"

#include <utility>
#include <vector>

#include "common/Result.h"
#include "common/Names.h"
#include "common/Text.h"
#include "common/Unique.h"
#include "identify/Identification.h"
#include "identify/IdentifyExplanation.h"
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
  lookupName_.assign(TextToNul(name));
  LowerInPlace(lookupName_);
  return rules_.Find(lookupName_);
}

void KaCommonSoft::Identify(SoftwareRule& entry) {
  Identification outcome = tessary::Identify(entry, *engine_.Get());
  entry.version = std::move(outcome.version);
  entry.displayName = std::move(outcome.displayName);
  entry.status = outcome.status;
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
                                                    TextToNul(bstrVersion));
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
                                               TextToNul(bstrSoftVersion), uninstallString);
      if (SUCCEEDED(hr)) {
        return CopyOut(uninstallString, EmptyText::kEmpty, lpbstrUninstallString);
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
      if (SUCCEEDED(hr)) return CopyOut(path, EmptyText::kEmpty, lpbstrStartupExe);
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
    const SoftwareRule* entry = Lookup(bstrSoftName);
    std::wstring text;
    if (!entry) {
      text = RenderUnidentified(lookupName_, L"noIdentifyInfo",
                                L"the identification rules do not know this name");
    } else if (!engine_) {
      text = RenderUnidentified(lookupName_, L"unknown", L"no installed-software engine");
    } else {
      std::vector<std::wstring> keys;
      keys.reserve(entry->regKeyRules.size() + 1);
      for (const RegKeyRule& rule : entry->regKeyRules) keys.push_back(rule.regKey);
      keys.push_back(entry->name + kStartMenuKeySuffix);
      // The engine's version caches are shared with every other name's
      // identification: an explanation leaves them as it found them.
      const KaInstalledSoft::VersionCacheKeeper keep = engine_->KeepVersionCaches(keys);
      text = RenderExplanation(
          *entry, tessary::Identify(*entry, *engine_.Get(), StepDetail::kSteps));
    }
    return CopyOut(text.c_str(), lpbstrExplanation);
  });
}

HRESULT CreateKaCommonSoft(IUnknown* outer, REFIID riid, void** ppv) noexcept {
  return CreateComInstance<KaCommonSoft>(outer, riid, ppv);
}

}  // namespace tessary
