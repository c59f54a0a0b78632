#include "catalog/KaSoftWare.h"

#include <utility>

#include "catalog/CatalogKeys.h"
#include "common/Result.h"

namespace tessary {
void KaSoftWare::Assign(SoftwareFields&& fields) noexcept {
  name_ = std::move(fields.name);
  displayName_ = std::move(fields.displayName);
  mainType_ = std::move(fields.mainType);
  company_ = std::move(fields.company);
  flags_ = fields.flags;
  versions_ = std::move(fields.versions);
  pic_ = std::move(fields.pic);
  totalMark_ = fields.totalMark;
  totalJudge_ = fields.totalJudge;
  totalDownload_ = fields.totalDownload;
  description_ = std::move(fields.description);
}

STDMETHODIMP KaSoftWare::GetSoftName(BSTR* lpbstrSoftName) noexcept {
  if (!lpbstrSoftName) return E_POINTER;
  return CopyToBstr(name_.Get(), lpbstrSoftName);
}

STDMETHODIMP KaSoftWare::GetDisplayName(BSTR* lpbstrDisplayName) noexcept {
  if (!lpbstrDisplayName) return E_POINTER;
  return CopyToBstr(displayName_.Get(), lpbstrDisplayName);
}

STDMETHODIMP KaSoftWare::GetCompany(BSTR* lpbstrCompany) noexcept {
  if (!lpbstrCompany) return E_POINTER;
  return CopyToBstr(company_.Get(), lpbstrCompany);
}

STDMETHODIMP KaSoftWare::GetMainType(BSTR* lpbstrMainType) noexcept {
  if (!lpbstrMainType) return E_POINTER;
  return CopyToBstr(mainType_.Get(), lpbstrMainType);
}

STDMETHODIMP KaSoftWare::GetSoftType(DWORD* lpdwSoftType) noexcept {
  if (!lpdwSoftType) return E_FAIL;
  *lpdwSoftType = flags_;
  return S_OK;
}

STDMETHODIMP KaSoftWare::GetSoftPic(BSTR* lpbstrPic) noexcept {
  if (!lpbstrPic) return E_POINTER;
  return CopyToBstr(pic_.Get(), lpbstrPic);
}

STDMETHODIMP KaSoftWare::GetVersionCount(LONG* lpnCount) noexcept {
  if (!lpnCount) return E_POINTER;
  *lpnCount = static_cast<LONG>(versions_.size());
  return S_OK;
}

STDMETHODIMP KaSoftWare::GetVerItemByItem(LONG nIndex, IKaSoftwareVerItem** lpVerItem) noexcept {
  // The index is checked before the out-parameter.
  if (nIndex < 0 || static_cast<size_t>(nIndex) >= versions_.size()) return E_INVALIDARG;
  if (!lpVerItem) return E_POINTER;
  *lpVerItem = versions_[static_cast<size_t>(nIndex)].Get();
  (*lpVerItem)->AddRef();
  return S_OK;
}

STDMETHODIMP KaSoftWare::GetVerItemByVersion(BSTR bstrVersion,
                                             IKaSoftwareVerItem** lpVerItem) noexcept {
  if (!lpVerItem) return E_POINTER;
  *lpVerItem = nullptr;
  for (const auto& item : versions_) {
    if (SameText(item->Version(), bstrVersion)) {
      return item->QueryInterface(IID_PPV_ARGS(lpVerItem));
    }
  }
  return E_NOINTERFACE;
}

STDMETHODIMP KaSoftWare::GetStatInfo(LONGLONG* lpllTotalMark, LONGLONG* lpllTotalJudge,
                                     LONGLONG* lpllTotaldownload) noexcept {
  if (lpllTotalMark) *lpllTotalMark = totalMark_;
  if (lpllTotalJudge) *lpllTotalJudge = totalJudge_;
  if (lpllTotaldownload) *lpllTotaldownload = totalDownload_;
  return S_OK;
}

STDMETHODIMP KaSoftWare::GetDescription(BSTR* lpbstrDescription) noexcept {
  if (!lpbstrDescription) return E_POINTER;
  return CopyToBstr(description_.Get(), lpbstrDescription);
}

STDMETHODIMP KaSoftWare::GetAbstract(BSTR* lpbstrAbstract) noexcept {
  if (!lpbstrAbstract) return E_POINTER;
  *lpbstrAbstract = nullptr;
  return S_OK;
}

HRESULT CreateKaSoftWare(IUnknown* outer, REFIID riid, void** ppv) noexcept {
  return CreateComInstance<KaSoftWare>(outer, riid, ppv);
}

}  // namespace tessary
