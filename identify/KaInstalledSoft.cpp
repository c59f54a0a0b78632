#include "identify/KaInstalledSoft.h"

#include <memory>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "common/Names.h"
#include "common/Result.h"
#include "common/ScopeExit.h"
#include "common/Text.h"
#include "common/Unique.h"
#include "datafiles/DataFiles.h"
#include "identify/UninstallPaths.h"
#include "identify/VersionPolicy.h"

namespace tessary {
namespace {

// An empty version or path goes out as a null string.

InstalledSoftRecord RecordFromProgram(const InstalledProgramRecord& program) {
  InstalledSoftRecord record;
  record.keyName = LowerCopy(program.keyName);
  record.displayVersion = TrimVersionLetters(program.displayVersion);
  record.arpImagePath = program.arpImagePath;
  record.uninstallString = program.uninstallString;
  record.uninstallerPath = DeriveUninstallerPath(program.uninstallString);
  record.uninstallerFile = record.uninstallerPath;
  record.applicationPath = DeriveApplicationPath(program);
  record.source = static_cast<int>(program.source);
  return record;
}

// Reads each kept entry whole while the build has it open. Gives up on the
// first failure: the list is then read whole later, as for any host.
class WholeListReader final : public KeptEntryVisitor {
 public:
  explicit WholeListReader(const InstalledProgramInventory& inventory) noexcept
      : inventory_(inventory) {}

  void Kept(HKEY entry, size_t index) noexcept override {
    if (failed_ || index != programs_.size()) {
      failed_ = true;
      return;
    }
    try {
      InstalledProgram program = ProgramFromRecord(*inventory_.RecordAt(index));
      ReadWholeFrom(entry, program);
      programs_.push_back(std::move(program));
    } catch (const std::bad_alloc&) {
      failed_ = true;
    }
  }

  // The programs read whole, when every kept entry was.
  bool Take(std::vector<InstalledProgram>& programs) noexcept {
    if (failed_ || programs_.size() != inventory_.Count()) return false;
    programs.swap(programs_);
    return true;
  }

 private:
  const InstalledProgramInventory& inventory_;
  std::vector<InstalledProgram> programs_;
  bool failed_ = false;
};

}  // namespace

HRESULT KaInstalledSoft::FinalConstruct() noexcept {
  return Guarded([&] { return BuildIndex(); });
}

HRESULT KaInstalledSoft::QueryExtraInterface(REFIID riid, void** ppv) noexcept {
  if (riid != __uuidof(IKaInstalledPrograms)) return E_NOINTERFACE;
  *ppv = static_cast<IKaInstalledPrograms*>(this);
  AddRef();
  return S_OK;
}

HRESULT KaInstalledSoft::BuildIndex() {
  // Built aside and swapped in whole: a build cut short by memory leaves the
  // last one answering, never a part of the programs.
  InstalledSoftIndex index;
  InstalledProgramSnapshot snapshot;
  {
    // The inventory holds data only while an index is built, whatever happens.
    const ScopeExit clear([this] { inventory_.Clear(); });
    std::optional<WholeListReader> wholeList;
    if (listInBuild_) wholeList.emplace(inventory_);
    RETURN_IF_FAILED(inventory_.Rebuild(wholeList ? &*wholeList : nullptr));
    auto programs = std::make_shared<InstalledProgramList>();
    programs->entryCount = static_cast<LONG>(inventory_.EntryCount());
    programs->whole = wholeList && wholeList->Take(programs->programs);
    if (!programs->whole) programs->programs.reserve(inventory_.Count());
    for (size_t i = 0; i < inventory_.Count(); ++i) {
      InstalledSoftRecord record = RecordFromProgram(*inventory_.RecordAt(i));
      std::wstring key = record.keyName;
      index.emplace(std::move(key), std::move(record));
      if (!programs->whole) {
        programs->programs.push_back(ProgramFromRecord(*inventory_.RecordAt(i)));
      }
    }
    snapshot = std::move(programs);
  }
  Microsoft::WRL::ComPtr<IXMLDOMDocument> rules = std::move(preloadedRules_);
  if (!rules) rules = LoadXmlFile(DataFilePath(kRulesFile).c_str());
  if (LoadStartMenuRules(rules.Get(), startMenuRules_)) {
    StartMenuScanner scanner(folders_);
    for (const StartMenuRule& rule : startMenuRules_) {
      InstalledSoftRecord record;
      if (!scanner.Resolve(rule, record)) continue;
      if (record.applicationPath.empty() && record.uninstallerPath.empty()) continue;
      std::wstring key = LowerCopy(rule.name + kStartMenuKeySuffix);
      index.emplace(std::move(key), std::move(record));
    }
  }
  index_.swap(index);
  programs_ = std::move(snapshot);
  return S_OK;
}

KaInstalledSoft::Range KaInstalledSoft::RecordsOf(std::wstring_view key) {
  lookupKey_.assign(key);
  LowerInPlace(lookupKey_);
  return index_.equal_range(lookupKey_);
}

InstalledSoftIndex::iterator KaInstalledSoft::FirstMatch(std::wstring_view key, int policy,
                                                         std::wstring_view relativePath,
                                                         std::wstring_view version) {
  const std::wstring_view target = TrimBlanks(version);
  std::wstring recordVersion;
  for (auto [it, end] = RecordsOf(key); it != end; ++it) {
    RecordVersion(it->second, policy, relativePath, recordVersion);
    if (recordVersion == target) return it;
  }
  return index_.end();
}

HRESULT KaInstalledSoft::VersionOf(std::wstring_view key, int policy,
                                   std::wstring_view relativePath, std::wstring& version,
                                   VersionOrigin* origin) {
  version.clear();
  const auto [first, end] = RecordsOf(key);
  if (first == end) return kNoRecordForKey;
  // Only the first record of the key answers.
  if (origin) *origin = {&first->second, first->second.policy == policy};
  return RecordVersion(first->second, policy, relativePath, version);
}

kaSoftInstallStatus KaInstalledSoft::StatusWithVersion(std::wstring_view key, int policy,
                                                       std::wstring_view relativePath,
                                                       std::wstring_view version) {
  return FirstMatch(key, policy, relativePath, version) != index_.end()
             ? kaSoftInstallStatus_installed
             : kaSoftInstallStatus_noInstall;
}

HRESULT KaInstalledSoft::UninstallStringWithVersion(std::wstring_view key, int policy,
                                                    std::wstring_view relativePath,
                                                    std::wstring_view version,
                                                    std::wstring& uninstallString) {
  uninstallString.clear();
  const auto match = FirstMatch(key, policy, relativePath, version);
  if (match == index_.end()) return E_FAIL;
  uninstallString = match->second.uninstallString;
  return S_OK;
}

HRESULT KaInstalledSoft::StartupExe(std::wstring_view key, std::wstring& path) {
  path.clear();
  const auto [first, end] = RecordsOf(key);
  if (first == end) return kNoRecordForKey;
  for (auto it = first; it != end; ++it) {
    if (!it->second.applicationPath.empty()) {
      path = it->second.applicationPath;
      return S_OK;
    }
  }
  return E_FAIL;
}

HRESULT KaInstalledSoft::StartMenuVersionOf(std::wstring_view name, int policy,
                                            std::wstring_view relativePath,
                                            std::wstring& version, VersionOrigin* origin) {
  version.clear();
  std::wstring key(name);
  key += kStartMenuKeySuffix;
  auto [it, end] = RecordsOf(key);
  if (it == end) return kNoRecordForKey;
  HRESULT hr = E_FAIL;
  for (; it != end; ++it) {
    hr = StartMenuVersion(it->second, policy, relativePath, version);
    if (SUCCEEDED(hr)) {
      // A start-menu version is read afresh each time.
      if (origin) *origin = {&it->second, false};
      break;
    }
  }
  return hr;
}

STDMETHODIMP KaInstalledSoft::QueryInstallStatus(BSTR bstrRegKey,
                                                 kaSoftInstallStatus* lpInstallStatus) noexcept {
  if (!bstrRegKey || !lpInstallStatus) return E_POINTER;
  return Guarded([&] {
    const auto [first, end] = RecordsOf(TextToNul(bstrRegKey));
    *lpInstallStatus = first != end ? kaSoftInstallStatus_installed : kaSoftInstallStatus_noInstall;
    return S_OK;
  });
}

STDMETHODIMP KaInstalledSoft::QueryInstallStatusWithVersion(
    BSTR bstrRegKey, kaSoftVersionPolicy verPolicy, BSTR verRelateFilePath, BSTR bstrVersion,
    kaSoftInstallStatus* lpInstallStatus) noexcept {
  if (!bstrRegKey || !bstrVersion || !lpInstallStatus) return E_POINTER;
  return Guarded([&] {
    *lpInstallStatus = StatusWithVersion(TextToNul(bstrRegKey), verPolicy,
                                         TextToNul(verRelateFilePath), TextToNul(bstrVersion));
    return S_OK;
  });
}

STDMETHODIMP KaInstalledSoft::QueryUninstallStringWithVersion(
    BSTR bstrRegKey, kaSoftVersionPolicy verPolicy, BSTR verRelateFilePath, BSTR bstrVersion,
    BSTR* lpbstrUninstallString) noexcept {
  // The out string is cleared before the other arguments are checked.
  if (lpbstrUninstallString) *lpbstrUninstallString = nullptr;
  if (!bstrRegKey || !bstrVersion || !lpbstrUninstallString) return E_POINTER;
  return Guarded([&] {
    std::wstring uninstallString;
    RETURN_IF_FAILED(UninstallStringWithVersion(TextToNul(bstrRegKey), verPolicy,
                                                TextToNul(verRelateFilePath),
                                                TextToNul(bstrVersion), uninstallString));
    return CopyOut(uninstallString, EmptyText::kEmpty, lpbstrUninstallString);
  });
}

STDMETHODIMP KaInstalledSoft::GetSoftVersion(BSTR bstrRegKey, kaSoftVersionPolicy verPolicy,
                                             BSTR verRelateFilePath,
                                             BSTR* lpbstrPolicyVer) noexcept {
  if (!bstrRegKey || !lpbstrPolicyVer) return E_POINTER;
  *lpbstrPolicyVer = nullptr;
  return Guarded([&] {
    std::wstring version;
    const HRESULT hr =
        VersionOf(TextToNul(bstrRegKey), verPolicy, TextToNul(verRelateFilePath), version);
    if (FAILED(hr)) return hr;
    RETURN_IF_FAILED(CopyOut(version, EmptyText::kNull, lpbstrPolicyVer));
    return hr;
  });
}

STDMETHODIMP KaInstalledSoft::SetSoftVersion(BSTR bstrRegKey, kaSoftVersionPolicy verPolicy,
                                             BSTR verRelateFilePath) noexcept {
  if (!bstrRegKey) return E_POINTER;
  return Guarded([&] {
    auto [it, end] = RecordsOf(TextToNul(bstrRegKey));
    if (it == end) return kNoRecordForKey;
    HRESULT hr = kVersionComputed;
    // Every record is computed anew, cached policy or not; the last answers.
    for (; it != end; ++it) {
      hr = ComputePolicyVersion(it->second, verPolicy, TextToNul(verRelateFilePath));
    }
    return hr;
  });
}

STDMETHODIMP KaInstalledSoft::ReBuildInstalledVerInfo() noexcept {
  return Guarded([&] { return BuildIndex(); });
}

STDMETHODIMP KaInstalledSoft::GetStartupExeString(BSTR bstrRegKey,
                                                  BSTR* lpbstrStartupExe) noexcept {
  if (lpbstrStartupExe) *lpbstrStartupExe = nullptr;
  if (!bstrRegKey || !lpbstrStartupExe) return E_POINTER;
  return Guarded([&] {
    std::wstring path;
    RETURN_IF_FAILED(StartupExe(TextToNul(bstrRegKey), path));
    return CopyOut(path, EmptyText::kEmpty, lpbstrStartupExe);
  });
}

STDMETHODIMP KaInstalledSoft::GetSoftVersionFromStartMenu(BSTR bstrSoftName,
                                                          kaSoftVersionPolicy verPolicy,
                                                          BSTR bstrRelateFilePath,
                                                          BSTR* pbstrPolicyVer) noexcept {
  if (!bstrSoftName || !pbstrPolicyVer) return E_POINTER;
  *pbstrPolicyVer = nullptr;
  return Guarded([&] {
    std::wstring version;
    const HRESULT hr =
        StartMenuVersionOf(TextToNul(bstrSoftName), verPolicy, TextToNul(bstrRelateFilePath),
                           version);
    if (FAILED(hr)) return hr;
    RETURN_IF_FAILED(CopyOut(version, EmptyText::kNull, pbstrPolicyVer));
    return hr;
  });
}

std::vector<const InstalledSoftRecord*> KaInstalledSoft::RecordsFor(std::wstring_view key) {
  std::vector<const InstalledSoftRecord*> records;
  for (auto [it, end] = RecordsOf(key); it != end; ++it) records.push_back(&it->second);
  return records;
}

KaInstalledSoft::VersionCacheKeeper::~VersionCacheKeeper() {
  for (Kept& kept : kept_) {
    InstalledSoftRecord& record = *kept.record;
    record.policyVersion.swap(kept.policyVersion);
    record.policy = kept.policy;
    record.versionFile.swap(kept.versionFile);
    record.versionResult = kept.versionResult;
  }
}

KaInstalledSoft::VersionCacheKeeper KaInstalledSoft::KeepVersionCaches(
    const std::vector<std::wstring>& keys) {
  VersionCacheKeeper keeper;
  for (const std::wstring& key : keys) {
    for (auto [it, end] = RecordsOf(key); it != end; ++it) {
      InstalledSoftRecord& record = it->second;
      keeper.kept_.push_back({&record, record.policyVersion, record.policy, record.versionFile,
                              record.versionResult});
    }
  }
  return keeper;
}

STDMETHODIMP KaInstalledSoft::get_Count(LONG* lplCount) noexcept {
  return ProgramCount(programs_, lplCount);
}

STDMETHODIMP KaInstalledSoft::get_EntryCount(LONG* lplEntryCount) noexcept {
  return EntryCount(programs_, lplEntryCount);
}

// Items are handed out only from a list read whole.
STDMETHODIMP KaInstalledSoft::get_Item(LONG lIndex, IKaInstalledProgram** lplpProgram) noexcept {
  if (lplpProgram) *lplpProgram = nullptr;
  RETURN_IF_FAILED(ReadWholeValues(programs_));
  return ProgramItem(programs_, lIndex, lplpProgram);
}

STDMETHODIMP KaInstalledSoft::_NewEnum(IUnknown** lplpEnum) noexcept {
  if (lplpEnum) *lplpEnum = nullptr;
  RETURN_IF_FAILED(ReadWholeValues(programs_));
  return ProgramEnum(programs_, lplpEnum);
}

HRESULT CreateKaInstalledSoft(IUnknown* outer, REFIID riid, void** ppv) noexcept {
  const bool forList =
      riid == __uuidof(IKaInstalledPrograms) || riid == __uuidof(IKaInstalledPrograms2);
  return CreateComInstance<KaInstalledSoft>(outer, riid, ppv,
                                            [&](KaInstalledSoft& object) noexcept {
                                              if (forList) object.ReadListInBuild();
                                            });
}

}  // namespace tessary
