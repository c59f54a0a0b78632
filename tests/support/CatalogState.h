#pragma once
// The whole published state of a catalog as one text, for tests that compare
// two loads: every count, entry, field, version, registry key and main type,
// with absent strings told from empty ones.
#include <windows.h>
#include <oleauto.h>

#include <wrl/client.h>

#include <string>

#include "catalog/KaSoftwareCatelog.h"

namespace tessary::testing {

// Text that tells an absent string from an empty one.
inline std::wstring Shown(BSTR text) {
  return text ? L"'" + std::wstring(text, ::SysStringLen(text)) + L"'" : L"<null>";
}

template <typename Getter>
std::wstring Field(Getter&& get) {
  BSTR text = nullptr;
  const HRESULT hr = get(&text);
  std::wstring shown = std::to_wstring(hr) + L":" + Shown(text);
  ::SysFreeString(text);
  return shown;
}

// Everything a load publishes, as one text per catalog.
inline std::wstring PublishedCatalog(const KaSoftwareCatelog& catalog) {
  std::wstring out;
  for (int type = kaSoftInnerType_all; type <= kaSoftInnerType_popularity; ++type) {
    LONG count = 0;
    const_cast<KaSoftwareCatelog&>(catalog).GetSoftCount(static_cast<kaSoftInnerType>(type),
                                                         &count);
    out += L"count " + std::to_wstring(count) + L"\n";
  }
  for (const auto& [name, entry] : *catalog.Names()) {
    out += L"entry " + Shown(name.Get()) + L"\n";
    out += L"  " + Field([&](BSTR* t) { return entry->GetSoftName(t); });
    out += L" " + Field([&](BSTR* t) { return entry->GetDisplayName(t); });
    out += L" " + Field([&](BSTR* t) { return entry->GetCompany(t); });
    out += L" " + Field([&](BSTR* t) { return entry->GetMainType(t); });
    out += L" " + Field([&](BSTR* t) { return entry->GetSoftPic(t); });
    out += L" " + Field([&](BSTR* t) { return entry->GetDescription(t); });
    DWORD flags = 0;
    LONGLONG mark = 0, judge = 0, downloads = 0;
    entry->GetSoftType(&flags);
    entry->GetStatInfo(&mark, &judge, &downloads);
    out += L" flags " + std::to_wstring(flags) + L" " + std::to_wstring(mark) + L"/" +
           std::to_wstring(judge) + L"/" + std::to_wstring(downloads) + L"\n";
    LONG versions = 0;
    entry->GetVersionCount(&versions);
    for (LONG i = 0; i < versions; ++i) {
      Microsoft::WRL::ComPtr<IKaSoftwareVerItem> item;
      entry->GetVerItemByItem(i, item.GetAddressOf());
      _kaSoftVersionAttribute kind{};
      item->GetVerAttr(&kind);
      out += L"  version " + Field([&](BSTR* t) { return item->GetVersion(t); });
      out += L" " + Field([&](BSTR* t) { return item->GetDisplayVersion(t); });
      out += L" " + std::to_wstring(kind);
      out += L" " + Field([&](BSTR* t) { return item->GetWhatsnew(t); }) + L"\n";
    }
  }
  for (const auto& [key, name] : catalog.RegistryKeys()) {
    out += L"key " + Shown(key.Get()) + L" " + Shown(name.Get()) + L"\n";
  }
  if (const KaSoftMainType* types = catalog.MainTypes()) {
    for (const auto& [id, name] : types->Table()) {
      out += L"type " + Shown(id.Get()) + L" " + Shown(name.Get()) + L"\n";
    }
  } else {
    out += L"no main types\n";
  }
  return out;
}

}  // namespace tessary::testing
