#include "update/KaSoftUpdater.h"

#include <oleauto.h>

#include <new>
#include <optional>
#include <string_view>
#include <utility>

#include "common/Result.h"
#include "hostlink/HostReference.h"
#include "identify/VersionPolicy.h"
#include "datafiles/DataFiles.h"
#include "datafiles/XmlDom.h"

namespace tessary {
namespace {

using Microsoft::WRL::ComPtr;

constexpr wchar_t kSettingsSection[] = L"update";
constexpr wchar_t kIgnoreListKey[] = L"ignorelist";
constexpr wchar_t kIgnoreListElement[] = L"ignorelist";
constexpr wchar_t kNameAttribute[] = L"name";
constexpr wchar_t kVerFlagAttribute[] = L"verflag";
// The one "verflag" text that means normal releases; anything else is trial.
constexpr std::wstring_view kNormalReleases = L"0";

std::wstring_view FullText(const UniqueBstr& text) noexcept {
  return text ? std::wstring_view(text.Get(), text.Length()) : std::wstring_view();
}

}  // namespace

STDMETHODIMP KaSoftUpdater::RefreshUpdateStatus() noexcept {
  // The facade may run the host's code for a long while; the host must not
  // be able to free us under our feet.
  const ComPtr<IKaSoftUpdater> self(this);
  ComPtr<IKaSoftStatusManager> manager;
  if (FAILED(GetHostService(__uuidof(IKaSoftStatusManager), manager))) return E_FAIL;
  ComPtr<IKaSoftwareCatelog> catalog;
  if (FAILED(manager->GetSoftwareCatelog(catalog.GetAddressOf())) || !catalog) return E_FAIL;
  // Fresh entries and items on every refresh, so no ignore mark outlives it.
  RETURN_IF_FAILED(catalog->Load());
  ComPtr<IKaEnumSoftware> enumerator;
  if (FAILED(catalog->GetEnum(enumerator.GetAddressOf())) || !enumerator) return E_FAIL;
  return Guarded([&]() -> HRESULT {
    RETURN_IF_FAILED(ReadIgnoreList());
    // Built aside and swapped in whole: a failure keeps the last results, and
    // a host that calls back in during the walk reads consistent ones.
    Results results;
    RETURN_IF_FAILED(Compute(manager.Get(), enumerator.Get(), results));
    updateVersionCount_ = results.updateVersionCount;
    ignoredCount_ = results.ignoredCount;
    entries_.swap(results.entries);
    return S_OK;
  });
}

// Running out of memory anywhere fails the whole refresh: a program dropped
// for want of memory would read as "no update".
HRESULT KaSoftUpdater::Compute(IKaSoftStatusManager* manager, IKaEnumSoftware* enumerator,
                               Results& results) {
  for (;;) {
    ComPtr<IKaSoftWare> software;
    if (enumerator->Next(1, software.GetAddressOf(), nullptr) != S_OK) break;
    if (!software) continue;
    UniqueBstr name;
    const HRESULT named = software->GetSoftName(name.Receive());
    RETURN_HR_IF(named, named == E_OUTOFMEMORY);
    if (FAILED(named)) continue;

    kaSoftInstallStatus status = kaSoftInstallStatus_unknown;
    UpdateEntry entry;
    const HRESULT asked = manager->GetSoftInstallStatus(name.Get(), &status,
                                                        entry.installedVersion.Receive(), nullptr);
    RETURN_HR_IF(asked, asked == E_OUTOFMEMORY);
    if (FAILED(asked) || status != kaSoftInstallStatus_installed) continue;
    if (entry.installedVersion.Empty()) continue;

    LowerInPlace(name);
    RETURN_IF_FAILED(AddNewerVersions(software.Get(), name.Get(), entry, results));
    if (entry.newerVersions.empty()) continue;
    entry.software = std::move(software);
    results.entries.push_back(std::move(entry));
  }
  return S_OK;
}

HRESULT KaSoftUpdater::AddNewerVersions(IKaSoftWare* software, BSTR lowerName, UpdateEntry& entry,
                                     Results& results) {
  // Copied: the table may be replaced while the catalog's objects run.
  std::optional<IgnoreFlags> ignore;
  if (const auto found = ignoreTable_.find(lowerName); found != ignoreTable_.end()) {
    ignore = found->second;
  }
  LONG count = 0;
  if (FAILED(software->GetVersionCount(&count))) return S_OK;
  for (LONG i = 0; i < count; ++i) {
    ComPtr<IKaSoftwareVerItem> item;
    if (FAILED(software->GetVerItemByItem(i, item.GetAddressOf())) || !item) continue;
    UniqueBstr version;
    const HRESULT read = item->GetVersion(version.Receive());
    RETURN_HR_IF(read, read == E_OUTOFMEMORY);
    if (FAILED(read)) continue;
    if (CompareVersions(version.Get(), entry.installedVersion.Get()) != -1) continue;
    if (ignore) {
      _kaSoftVersionAttribute attribute = kaSoftVersionAttribute_normal;
      const bool ignored = SUCCEEDED(item->GetVerAttr(&attribute)) &&
                           ((attribute == kaSoftVersionAttribute_normal && ignore->normal) ||
                            (attribute == kaSoftVersionAttribute_try && ignore->trial));
      if (ignored) ++results.ignoredCount;
      item->SetBeIgnored(ignored ? VARIANT_TRUE : VARIANT_FALSE);
    }
    entry.newerVersions.push_back(std::move(version));
    ++results.updateVersionCount;
  }
  return S_OK;
}

HRESULT KaSoftUpdater::ReadIgnoreList() {
  ComPtr<IKaHostSettings> settings;
  if (FAILED(GetHostService(__uuidof(IKaDataService), settings))) return S_OK;
  UniqueBstr section;
  UniqueBstr key;
  RETURN_HR_IF(E_OUTOFMEMORY, !section.CopyFrom(kSettingsSection) || !key.CopyFrom(kIgnoreListKey));
  UniqueBstr text;
  const HRESULT read = settings->GetSetting(section.Get(), key.Get(), text.Receive());
  RETURN_HR_IF(read, read == E_OUTOFMEMORY);
  if (FAILED(read)) return S_OK;
  // Only a text that parses and holds a list replaces the last list; an
  // empty ignore list is written as an empty element.
  if (text.Empty()) return S_OK;
  ComPtr<IXMLDOMDocument> document;
  const HRESULT loaded = LoadXmlTextWithResult(FullText(text), document);
  RETURN_HR_IF(loaded, loaded == E_OUTOFMEMORY);
  if (FAILED(loaded)) return S_OK;
  ComPtr<IXMLDOMNode> list;
  RETURN_IF_FAILED(SelectRoot(document.Get(), kIgnoreListElement, list));
  if (!list) return S_OK;

  IgnoreTable table;
  RETURN_IF_FAILED(ForEachChildElement(list.Get(), [&](IXMLDOMNode* record) -> HRESULT {
    UniqueBstr name;
    const HRESULT named = AttributeByName(record, kNameAttribute, name);
    if (named != S_OK || name.Empty()) return FAILED(named) ? named : S_OK;
    UniqueBstr flag;
    const HRESULT flagged = AttributeByName(record, kVerFlagAttribute, flag);
    RETURN_IF_FAILED(flagged);
    const bool normal = flagged == S_OK && FullText(flag) == kNormalReleases;
    LowerInPlace(name);
    // Records for one name add up.
    IgnoreFlags& flags = table[std::move(name)];
    (normal ? flags.normal : flags.trial) = true;
    return S_OK;
  }));
  ignoreTable_.swap(table);
  return S_OK;
}

STDMETHODIMP KaSoftUpdater::GetUpdateSoftCount(LONG* lplCount) noexcept {
  if (!lplCount) return E_POINTER;
  *lplCount = static_cast<LONG>(entries_.size());
  return S_OK;
}

STDMETHODIMP KaSoftUpdater::GetUpdateVersionCount(LONG* lplVersionCount) noexcept {
  if (!lplVersionCount) return E_POINTER;
  *lplVersionCount = updateVersionCount_;
  return S_OK;
}

STDMETHODIMP KaSoftUpdater::GetIgnoredSoftCount(LONG* lplIgnoredCount) noexcept {
  if (!lplIgnoredCount) return E_POINTER;
  *lplIgnoredCount = ignoredCount_;
  return S_OK;
}

STDMETHODIMP KaSoftUpdater::GetUpdateSoftByIndex(LONG lIndex, IKaSoftWare** lplpUpdateSoft,
                                                 BSTR* lpbstrInsatlledVersion,
                                                 SAFEARRAY** lplpsaUpdateVersion) noexcept {
  if (!lplpUpdateSoft) return E_POINTER;
  *lplpUpdateSoft = nullptr;
  if (lIndex < 0 || static_cast<size_t>(lIndex) >= entries_.size()) return E_INVALIDARG;
  if (lpbstrInsatlledVersion) *lpbstrInsatlledVersion = nullptr;
  if (lplpsaUpdateVersion) *lplpsaUpdateVersion = nullptr;
  const UpdateEntry& entry = entries_[static_cast<size_t>(lIndex)];
  if (entry.newerVersions.empty()) return E_FAIL;

  // Everything is made before anything is handed out: all or nothing.
  ComPtr<IKaSoftWare> software;
  RETURN_IF_FAILED(entry.software->QueryInterface(IID_PPV_ARGS(software.GetAddressOf())));
  UniqueSafeArray versions;
  if (lplpsaUpdateVersion) {
    const ULONG count = static_cast<ULONG>(entry.newerVersions.size());
    versions.reset(::SafeArrayCreateVector(VT_BSTR, 0, count));
    if (!versions) return E_OUTOFMEMORY;
    for (LONG i = 0; i < static_cast<LONG>(count); ++i) {
      // Copies the string, embedded characters and all.
      RETURN_IF_FAILED(::SafeArrayPutElement(versions.get(), &i,
                                             entry.newerVersions[static_cast<size_t>(i)].Get()));
    }
  }
  UniqueBstr installed;
  if (lpbstrInsatlledVersion &&
      !installed.CopyFrom(entry.installedVersion.Get(), entry.installedVersion.Length())) {
    return E_OUTOFMEMORY;
  }

  *lplpUpdateSoft = software.Detach();
  if (lpbstrInsatlledVersion) *lpbstrInsatlledVersion = installed.Detach();
  if (lplpsaUpdateVersion) *lplpsaUpdateVersion = versions.release();
  return S_OK;
}

HRESULT CreateKaSoftUpdater(IUnknown* outer, REFIID riid, void** ppv) noexcept {
  return CreateComInstance<KaSoftUpdater>(outer, riid, ppv);
}

}  // namespace tessary
