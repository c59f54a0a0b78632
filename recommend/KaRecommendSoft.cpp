#include "recommend/KaRecommendSoft.h"

#include <new>
#include <string>

#include "datafiles/DataFiles.h"

namespace tessary {
namespace {

constexpr wchar_t kRecommendationFile[] = L"..\\KaData\\KaRecommendSoft.xml";

}  // namespace

int KaRecommendSoft::LoadRecommendations() noexcept {
  std::wstring path;
  try {
    path = DataFilePath(kRecommendationFile);
  } catch (const std::bad_alloc&) {
    return 0;
  }
  if (path.empty()) return 0;
  return ReadRecommendationFile(path.c_str(), catalogs_) == S_OK ? 1 : 0;
}

STDMETHODIMP KaRecommendSoft::GetCount(LONG* lplCount) noexcept {
  if (!lplCount) return E_POINTER;
  *lplCount = static_cast<LONG>(catalogs_.size());
  return S_OK;
}

STDMETHODIMP KaRecommendSoft::GetcatalogByIndex(LONG lIndex,
                                                IKaRecommendCatalog** lplpRecmdcatalog) noexcept {
  // The index is checked before the out-parameter.
  if (lIndex < 0 || static_cast<size_t>(lIndex) >= catalogs_.size()) return E_INVALIDARG;
  if (!lplpRecmdcatalog) return E_POINTER;
  *lplpRecmdcatalog = nullptr;
  return catalogs_[static_cast<size_t>(lIndex)].catalog->QueryInterface(
      IID_PPV_ARGS(lplpRecmdcatalog));
}

HRESULT CreateKaRecommendSoft(IUnknown* outer, REFIID riid, void** ppv) noexcept {
  return CreateComInstance<KaRecommendSoft>(outer, riid, ppv);
}

}  // namespace tessary
