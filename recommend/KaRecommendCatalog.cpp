#include "recommend/KaRecommendCatalog.h"

#include <algorithm>
#include <utility>

namespace tessary {

void KaRecommendCatalog::AddEntry(UniqueBstr softName, LONG order) {
  entries_.push_back({std::move(softName), order});
}

void KaRecommendCatalog::SortEntries() noexcept {
  // The stable sort falls back to an in-place merge when it gets no buffer,
  // so it does not throw.
  std::stable_sort(entries_.begin(), entries_.end(),
                   [](const Entry& a, const Entry& b) { return a.order < b.order; });
}

STDMETHODIMP KaRecommendCatalog::GetName(BSTR* lpbstrName) noexcept {
  if (!lpbstrName) return E_POINTER;
  return CopyOutExact(name_.Get(), lpbstrName);
}

STDMETHODIMP KaRecommendCatalog::GetDescription(BSTR* lpbstrDescription) noexcept {
  if (!lpbstrDescription) return E_POINTER;
  return CopyOutExact(description_.Get(), lpbstrDescription);
}

STDMETHODIMP KaRecommendCatalog::GetImportance(LONG* lplImportance) noexcept {
  if (!lplImportance) return E_POINTER;
  *lplImportance = importance_;
  return S_OK;
}

STDMETHODIMP KaRecommendCatalog::GetSoftCount(LONG* lplCount) noexcept {
  if (!lplCount) return E_POINTER;
  *lplCount = static_cast<LONG>(entries_.size());
  return S_OK;
}

STDMETHODIMP KaRecommendCatalog::GetSoftByIndex(LONG lIndex, BSTR* lpbstrSoftName,
                                                LONG* lplOrder) noexcept {
  // Either out-parameter may be left out; those given are cleared first and
  // filled only on success.
  if (lpbstrSoftName) *lpbstrSoftName = nullptr;
  if (lplOrder) *lplOrder = 0;
  if (lIndex < 0 || static_cast<size_t>(lIndex) >= entries_.size()) return E_INVALIDARG;
  const Entry& entry = entries_[static_cast<size_t>(lIndex)];
  if (lpbstrSoftName) {
    const HRESULT copied = CopyOutExact(entry.softName.Get(), lpbstrSoftName);
    if (FAILED(copied)) return copied;
  }
  if (lplOrder) *lplOrder = entry.order;
  return S_OK;
}

HRESULT CreateKaRecommendCatalog(IUnknown* outer, REFIID riid, void** ppv) noexcept {
  return CreateComInstance<KaRecommendCatalog>(outer, riid, ppv);
}

}  // namespace tessary
