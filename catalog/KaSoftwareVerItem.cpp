#include "catalog/KaSoftwareVerItem.h"

#include <utility>

namespace tessary {

void KaSoftwareVerItem::Assign(VersionFields&& fields) noexcept {
  version_ = std::move(fields.version);
  displayVersion_ = std::move(fields.displayVersion);
  attribute_ = fields.trial ? kaSoftVersionAttribute_try : kaSoftVersionAttribute_normal;
  whatsnew_ = std::move(fields.whatsnew);
  ignored_ = VARIANT_FALSE;
}

STDMETHODIMP KaSoftwareVerItem::GetVersion(BSTR* lpbstrVersion) noexcept {
  if (!lpbstrVersion) return E_POINTER;
  // An empty version is no version: the out-parameter is left alone.
  if (version_.Empty()) return E_FAIL;
  BSTR copy = ::SysAllocStringLen(version_.Get(), version_.Length());
  if (!copy) return E_OUTOFMEMORY;
  *lpbstrVersion = copy;
  return S_OK;
}

STDMETHODIMP KaSoftwareVerItem::GetDisplayVersion(BSTR* lpbstrDisplayVersion) noexcept {
  if (!lpbstrDisplayVersion) return E_POINTER;
  return CopyToBstr(displayVersion_.Get(), lpbstrDisplayVersion);
}

STDMETHODIMP KaSoftwareVerItem::GetVerAttr(_kaSoftVersionAttribute* lpVerAyttr) noexcept {
  if (!lpVerAyttr) return E_POINTER;
  *lpVerAyttr = attribute_;
  return S_OK;
}

STDMETHODIMP KaSoftwareVerItem::GetWhatsnew(BSTR* lpbstrWhatsnew) noexcept {
  if (!lpbstrWhatsnew) return E_POINTER;
  return CopyToBstr(whatsnew_.Get(), lpbstrWhatsnew);
}

STDMETHODIMP KaSoftwareVerItem::GetBeIgnored(VARIANT_BOOL* lpvbRet) noexcept {
  if (!lpvbRet) return E_POINTER;
  *lpvbRet = ignored_;
  return S_OK;
}

STDMETHODIMP KaSoftwareVerItem::SetBeIgnored(VARIANT_BOOL vbValue) noexcept {
  ignored_ = vbValue;
  return S_OK;
}

HRESULT CreateKaSoftwareVerItem(IUnknown* outer, REFIID riid, void** ppv) noexcept {
  return CreateComInstance<KaSoftwareVerItem>(outer, riid, ppv);
}

}  // namespace tessary
