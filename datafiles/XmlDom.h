#pragma once
// How every reader walks an XML document loaded by datafiles/DataFiles.h:
// MSXML's DOM with its default parser settings (white space between elements
// is not kept). An unreadable item gives an empty result or is skipped.
#include <windows.h>
#include <msxml.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <string>
#include <string_view>
#include <type_traits>

#include "common/Names.h"
#include "common/Text.h"
#include "common/Unique.h"

namespace tessary {

// --- Reading ------------------------------------------------------------------

// The first element named `name` anywhere below `node` in document order
// (XPath "//name"); null when there is none.
Microsoft::WRL::ComPtr<IXMLDOMNode> SelectRoot(IXMLDOMNode* node, const wchar_t* name) noexcept;
// The same for callers that must not read "out of memory" as "no root":
// E_OUTOFMEMORY when the query cannot be made, else S_OK (`root` possibly
// null). `root` is set only on success.
HRESULT SelectRoot(IXMLDOMNode* node, const wchar_t* name,
                   Microsoft::WRL::ComPtr<IXMLDOMNode>& root) noexcept;

// The node's name and its text (the trimmed, concatenated text of the node
// and all its descendants). Null when they cannot be read.
UniqueBstr NodeName(IXMLDOMNode* node) noexcept;
UniqueBstr NodeText(IXMLDOMNode* node) noexcept;

// Child nodes of every type; 0 when the list cannot be read.
long ChildNodeCount(IXMLDOMNode* node) noexcept;

// The text of the attribute named exactly `name` (case-sensitive). S_OK when
// the element has it; `value` then holds its text, empty but never null for an
// empty attribute. S_FALSE, with `value` emptied, when it has no such
// attribute; E_OUTOFMEMORY when the question could not be asked, which a
// reader must not take for an absent attribute.
HRESULT AttributeByName(IXMLDOMNode* element, const wchar_t* name, UniqueBstr& value) noexcept;

// Actions return void when they cannot fail, or an HRESULT: a failure stops
// the walk and is returned, S_FALSE stops it early and is returned.
//   ForEachAttribute:    action(BSTR name, BSTR text), in document order.
//   ForEachChildNode:    action(IXMLDOMNode* child), every node type.
//   ForEachChildElement: action(IXMLDOMNode* child), elements only.
// Items that cannot be read are skipped; S_OK when the walk ran to its end.
// The arguments are borrowed for the duration of the call.
template <typename Action>
HRESULT ForEachAttribute(IXMLDOMNode* element, Action&& action);
template <typename Action>
HRESULT ForEachChildNode(IXMLDOMNode* node, Action&& action);
template <typename Action>
HRESULT ForEachChildElement(IXMLDOMNode* node, Action&& action);

// --- Names and numbers ----------------------------------------------------------

// For readers that accept any letter case: `name` is lower-cased as names
// are (LowerInPlace) and compared with SameText against `lowerLiteral`.
bool LoweredNameEquals(const wchar_t* name, const wchar_t* lowerLiteral) noexcept;

// Numbers as _wtoi and _wtoi64 read them: leading blanks, a sign, digits up
// to the first other character; no digits (or null) give 0.
int TextToInt(const wchar_t* text) noexcept;
long long TextToInt64(const wchar_t* text) noexcept;

// --- Implementation of the walks ---------------------------------------------

namespace xml_detail {

template <typename Action, typename... Args>
HRESULT Invoke(Action& action, Args... args) {
  if constexpr (std::is_void_v<std::invoke_result_t<Action&, Args...>>) {
    action(args...);
    return S_OK;
  } else {
    static_assert(std::is_same_v<std::invoke_result_t<Action&, Args...>, HRESULT>,
                  "a walk action returns void or HRESULT");
    return action(args...);
  }
}

template <typename Action>
HRESULT WalkChildren(IXMLDOMNode* node, bool elementsOnly, Action& action) {
  if (!node) return S_OK;
  Microsoft::WRL::ComPtr<IXMLDOMNodeList> children;
  if (FAILED(node->get_childNodes(&children)) || !children) return S_OK;
  // Step through the list: fetching by index walks from the first child on
  // every call under Wine, which makes a long list quadratic.
  if (FAILED(children->reset())) return S_OK;
  for (;;) {
    Microsoft::WRL::ComPtr<IXMLDOMNode> child;
    if (children->nextNode(&child) != S_OK || !child) return S_OK;
    if (elementsOnly) {
      DOMNodeType type = NODE_INVALID;
      if (FAILED(child->get_nodeType(&type)) || type != NODE_ELEMENT) continue;
    }
    const HRESULT hr = Invoke(action, child.Get());
    if (hr != S_OK) return hr;
  }
}

}  // namespace xml_detail

template <typename Action>
HRESULT ForEachAttribute(IXMLDOMNode* element, Action&& action) {
  if (!element) return S_OK;
  Microsoft::WRL::ComPtr<IXMLDOMNamedNodeMap> attributes;
  if (FAILED(element->get_attributes(&attributes)) || !attributes) return S_OK;
  long length = 0;
  if (FAILED(attributes->get_length(&length))) return S_OK;
  for (long i = 0; i < length; ++i) {
    Microsoft::WRL::ComPtr<IXMLDOMNode> item;
    if (FAILED(attributes->get_item(i, &item)) || !item) continue;
    UniqueBstr name;
    UniqueBstr text;
    if (FAILED(item->get_nodeName(name.Receive()))) continue;
    if (FAILED(item->get_text(text.Receive()))) continue;
    const HRESULT hr = xml_detail::Invoke(action, name.Get(), text.Get());
    if (hr != S_OK) return hr;
  }
  return S_OK;
}

template <typename Action>
HRESULT ForEachChildNode(IXMLDOMNode* node, Action&& action) {
  return xml_detail::WalkChildren(node, false, action);
}

template <typename Action>
HRESULT ForEachChildElement(IXMLDOMNode* node, Action&& action) {
  return xml_detail::WalkChildren(node, true, action);
}

}  // namespace tessary
