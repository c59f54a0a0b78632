#include "catalog/KaSoftwareVerItem.h"

#include <utility>

#include "catalog/CatalogKeys.h"

namespace tessary {

HRESULT KaSoftwareVerItem::Assign(const VersionFields& fields) noexcept {
  if (!fields.text.Build(text_)) return E_OUTOFMEMORY;
  attribute_ = fields.trial ? kaSoftVersionAttribute_try : kaSoftVersionAttribute_normal;
  ignored_ = VARIANT_FALSE;
  return S_OK;
}

HRESULT KaSoftwareVerItem::MatchVersion(BSTR text) const noexcept {
  // Compared as COM strings, as the catalog compares every key. A rare
  // call: the copy is made here rather than kept.
  UniqueBstr version;
  if (!version.CopyFrom(text_.Get(kVerVersion), text_.Length(kVerVersion))) return E_OUTOFMEMORY;
  return SameText(version.Get(), text) ? S_OK : S_FALSE;
}

STDMETHODIMP KaSoftwareVerItem::GetVersion(BSTR* lpbstrVersion) noexcept {
  if (!lpbstrVersion) return E_POINTER;
  // An empty version is no version: the out-parameter is left alone.
  if (text_.Length(kVerVersion) == 0) return E_FAIL;
  BSTR copy = ::SysAllocStringLen(text_.Get(kVerVersion), text_.Length(kVerVersion));
  if (!copy) return E_OUTOFMEMORY;
  *lpbstrVersion = copy;
  return S_OK;
}

STDMETHODIMP KaSoftwareVerItem::GetDisplayVersion(BSTR* lpbstrDisplayVersion) noexcept {
  if (!lpbstrDisplayVersion) return E_POINTER;
  return CopyToBstr(text_.Get(kVerDisplayVersion), lpbstrDisplayVersion);
}

STDMETHODIMP KaSoftwareVerItem::GetVerAttr(_kaSoftVersionAttribute* lpVerAyttr) noexcept {
  if (!lpVerAyttr) return E_POINTER;
  *lpVerAyttr = attribute_;
  return S_OK;
}

STDMETHODIMP KaSoftwareVerItem::GetWhatsnew(BSTR* lpbstrWhatsnew) noexcept {
  if (!lpbstrWhatsnew) return E_POINTER;
  return CopyToBstr(text_.Get(kVerWhatsnew), lpbstrWhatsnew);
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
