#include "datafiles/XmlDom.h"

#include <oleauto.h>

#include <cstdlib>
#include <iterator>
#include <string>

#include "common/Names.h"
#include "common/Text.h"

using Microsoft::WRL::ComPtr;

namespace tessary {

HRESULT SelectRoot(IXMLDOMNode* node, const wchar_t* name, ComPtr<IXMLDOMNode>& root) noexcept {
  if (!node || !name) return S_OK;
  UniqueBstr query;
  const UINT length = static_cast<UINT>(wcslen(name));
  query.Attach(::SysAllocStringLen(nullptr, length + 2));
  if (!query) return E_OUTOFMEMORY;
  query.Get()[0] = L'/';
  query.Get()[1] = L'/';
  wmemcpy(query.Get() + 2, name, length);
  ComPtr<IXMLDOMNode> found;
  if (node->selectSingleNode(query.Get(), &found) == S_OK) root = std::move(found);
  return S_OK;
}

ComPtr<IXMLDOMNode> SelectRoot(IXMLDOMNode* node, const wchar_t* name) noexcept {
  ComPtr<IXMLDOMNode> root;
  SelectRoot(node, name, root);
  return root;
}

UniqueBstr NodeName(IXMLDOMNode* node) noexcept {
  UniqueBstr name;
  if (node && FAILED(node->get_nodeName(name.Receive()))) name.Reset();
  return name;
}

UniqueBstr NodeText(IXMLDOMNode* node) noexcept {
  UniqueBstr text;
  if (node && FAILED(node->get_text(text.Receive()))) text.Reset();
  return text;
}

long ChildNodeCount(IXMLDOMNode* node) noexcept {
  if (!node) return 0;
  ComPtr<IXMLDOMNodeList> children;
  if (FAILED(node->get_childNodes(&children)) || !children) return 0;
  long length = 0;
  if (FAILED(children->get_length(&length))) return 0;
  return length;
}

HRESULT AttributeByName(IXMLDOMNode* element, const wchar_t* name, UniqueBstr& value) noexcept {
  value.Reset();
  if (!element || !name) return S_FALSE;
  ComPtr<IXMLDOMNamedNodeMap> attributes;
  if (FAILED(element->get_attributes(&attributes)) || !attributes) return S_FALSE;
  UniqueBstr attributeName;
  if (!attributeName.CopyFrom(name)) return E_OUTOFMEMORY;
  ComPtr<IXMLDOMNode> attribute;
  const HRESULT found = attributes->getNamedItem(attributeName.Get(), &attribute);
  if (found == E_OUTOFMEMORY) return found;
  if (found != S_OK || !attribute) return S_FALSE;
  const HRESULT read = attribute->get_text(value.Receive());
  if (FAILED(read)) {
    value.Reset();
    return read == E_OUTOFMEMORY ? read : S_FALSE;
  }
  // Present but empty is an answer of its own, distinct from absent.
  return value || value.CopyFrom(L"") ? S_OK : E_OUTOFMEMORY;
}

bool LoweredNameEquals(const wchar_t* name, const wchar_t* lowerLiteral) noexcept {
  const std::wstring_view text = ViewOf(name);
  wchar_t small[64];
  UniqueBstr large;
  wchar_t* lowered = small;
  if (text.size() >= std::size(small)) {
    large.Attach(::SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
    if (!large) return false;
    lowered = large.Get();
  } else {
    if (!text.empty()) wmemcpy(small, text.data(), text.size());
    small[text.size()] = L'\0';
  }
  LowerInPlace(lowered, text.size());
  return SameText(lowered, lowerLiteral);
}

int TextToInt(const wchar_t* text) noexcept { return text ? _wtoi(text) : 0; }

long long TextToInt64(const wchar_t* text) noexcept {
  if (!text) return 0;
  // Plain decimal text, the usual case, is settled here: the runtime's
  // reader is locale-aware and costs a catalog load several milliseconds.
  const wchar_t* at = text + (*text == L'-' || *text == L'+');
  long long value = 0;
  int digits = 0;
  for (; *at >= L'0' && *at <= L'9' && digits < 18; ++at, ++digits) value = value * 10 + (*at - L'0');
  if (digits > 0 && *at == L'\0') return *text == L'-' ? -value : value;
  return _wtoi64(text);
}

}  // namespace tessary
