#include "catalog/KaSoftwareVerItem.h"

#include "catalog/CatalogKeys.h"
#include "common/Result.h"
#include "datafiles/XmlDom.h"

namespace tessary {

HRESULT KaSoftwareVerItem::Fill(IXMLDOMNode* element) noexcept {
  if (!element) return E_FAIL;
  return Guarded([&]() -> HRESULT {
    UniqueBstr version;
    if (!AttributeByName(element, L"version", version)) return E_FAIL;
    UniqueBstr display;
    if (!AttributeByName(element, L"displayver", display) &&
        !display.CopyFrom(version.Get(), version.Length())) {
      return E_OUTOFMEMORY;
    }
    UniqueBstr kind;
    const bool trial =
        AttributeByName(element, L"ver_attribute", kind) && MatchName(kind.Get(), {L"1"}) == 0;
    // Release notes come from the first child named exactly "whatsnew".
    UniqueBstr whatsnew;
    ForEachChildNode(element, [&](IXMLDOMNode* child) {
      if (MatchName(NodeName(child).Get(), {L"whatsnew"}) != 0) return S_OK;
      whatsnew = NodeText(child);
      return S_FALSE;
    });

    version_ = std::move(version);
    displayVersion_ = std::move(display);
    attribute_ = trial ? kaSoftVersionAttribute_try : kaSoftVersionAttribute_normal;
    whatsnew_ = std::move(whatsnew);
    ignored_ = VARIANT_FALSE;
    return S_OK;
  });
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
