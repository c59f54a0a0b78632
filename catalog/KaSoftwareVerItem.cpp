#include "catalog/KaSoftwareVerItem.h"

#include "common/Names.h"

namespace tessary {

template <typename Base>
STDMETHODIMP VerItemMethods<Base>::GetVersion(BSTR* lpbstrVersion) noexcept {
  if (!lpbstrVersion) return E_POINTER;
  // An empty version is no version: the out-parameter is left alone.
  if (text_.Length(kVerVersion) == 0) return E_FAIL;
  BSTR copy = ::SysAllocStringLen(text_.Get(kVerVersion), text_.Length(kVerVersion));
  if (!copy) return E_OUTOFMEMORY;
  *lpbstrVersion = copy;
  return S_OK;
}

template <typename Base>
STDMETHODIMP VerItemMethods<Base>::GetDisplayVersion(BSTR* lpbstrDisplayVersion) noexcept {
  if (!lpbstrDisplayVersion) return E_POINTER;
  return CopyOut(text_.Get(kVerDisplayVersion), lpbstrDisplayVersion);
}

template <typename Base>
STDMETHODIMP VerItemMethods<Base>::GetVerAttr(_kaSoftVersionAttribute* lpVerAyttr) noexcept {
  if (!lpVerAyttr) return E_POINTER;
  *lpVerAyttr = attribute_;
  return S_OK;
}

template <typename Base>
STDMETHODIMP VerItemMethods<Base>::GetWhatsnew(BSTR* lpbstrWhatsnew) noexcept {
  if (!lpbstrWhatsnew) return E_POINTER;
  return CopyOut(text_.Get(kVerWhatsnew), lpbstrWhatsnew);
}

template <typename Base>
STDMETHODIMP VerItemMethods<Base>::GetBeIgnored(VARIANT_BOOL* lpvbRet) noexcept {
  if (!lpvbRet) return E_POINTER;
  *lpvbRet = ignored_;
  return S_OK;
}

template <typename Base>
STDMETHODIMP VerItemMethods<Base>::SetBeIgnored(VARIANT_BOOL vbValue) noexcept {
  ignored_ = vbValue;
  return S_OK;
}

template class VerItemMethods<ComObject<KaSoftwareVerItem, IKaSoftwareVerItem>>;
template class VerItemMethods<ContainedComObject<IKaSoftwareVerItem>>;

ContainedVerItem::ContainedVerItem(IUnknown* owner, const VersionFields& fields,
                                   wchar_t* chars) noexcept
    : VerItemMethods(owner) {
  fields.text.Build(chars, text_);
  attribute_ = fields.trial ? kaSoftVersionAttribute_try : kaSoftVersionAttribute_normal;
}

ContainedVerItem::ContainedVerItem(ContainedVerItem&& other) noexcept
    : VerItemMethods(other.owner()) {
  text_ = other.text_;
  attribute_ = other.attribute_;
  ignored_ = other.ignored_;
}

HRESULT ContainedVerItem::MatchVersion(BSTR text) const noexcept {
  // Compared as COM strings, as the catalog compares every key. A rare
  // call: the copy is made here rather than kept.
  UniqueBstr version;
  if (!version.CopyFrom(text_.Get(kVerVersion), text_.Length(kVerVersion))) return E_OUTOFMEMORY;
  return CompareText(version.Get(), text) == VARCMP_EQ ? S_OK : S_FALSE;
}

HRESULT CreateKaSoftwareVerItem(IUnknown* outer, REFIID riid, void** ppv) noexcept {
  return CreateComInstance<KaSoftwareVerItem>(outer, riid, ppv);
}

}  // namespace tessary
