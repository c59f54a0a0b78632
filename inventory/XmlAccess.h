#pragma once
// How every reader finds its data file and walks an XML document: MSXML's
// DOMDocument through IXMLDOMDocument, with its default parser settings (white
// space between elements is not kept). Nothing here reports an error beyond
// "nothing": a missing file, an unparsable document or an unreadable item
// gives an empty result or a skipped item.
#include <windows.h>
#include <msxml.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <string>
#include <string_view>
#include <type_traits>

#include "common/Text.h"
#include "common/Unique.h"

namespace tessary {

// --- Locating data files ----------------------------------------------------

using ModuleFileNameQuery = DWORD(WINAPI*)(HMODULE module, LPWSTR name, DWORD capacity);

// Replaces GetModuleFileNameW for DataFilePath and ModuleDirectory (null
// restores it) and returns the previous query.
ModuleFileNameQuery SetModuleFileNameQuery(ModuleFileNameQuery query) noexcept;

// The module's file name with `relativeName` appended and resolved, so
// "..\KaData\x.xml" names x.xml in the KaData folder beside the module.
// Empty when the path cannot be formed within MAX_PATH. May throw bad_alloc.
std::wstring DataFilePath(const wchar_t* relativeName);

// The folder of `module` (null: the process's executable) with its trailing
// backslash; a name without a backslash comes back whole. Empty on failure.
// May throw bad_alloc.
std::wstring ModuleDirectory(HMODULE module);

// --- Loading ------------------------------------------------------------------

// A loaded document, or null when the path is null, names no file, or the
// file does not parse. Files that declare gb2312 load on every platform.
Microsoft::WRL::ComPtr<IXMLDOMDocument> LoadXmlFile(const wchar_t* path) noexcept;

// For callers that test the file's existence themselves: E_OUTOFMEMORY when
// no document can be created, E_FAIL when loading fails, S_OK with the
// document otherwise. `document` is set only on success.
HRESULT LoadXmlFileWithResult(const wchar_t* path,
                              Microsoft::WRL::ComPtr<IXMLDOMDocument>& document) noexcept;

// The same from XML text in memory; null when it does not parse.
Microsoft::WRL::ComPtr<IXMLDOMDocument> LoadXmlText(std::wstring_view text) noexcept;

// --- Reading ------------------------------------------------------------------

// The first element named `name` anywhere below `node` in document order
// (XPath "//name"); null when there is none.
Microsoft::WRL::ComPtr<IXMLDOMNode> SelectRoot(IXMLDOMNode* node, const wchar_t* name) noexcept;

// The node's name and its text (the trimmed, concatenated text of the node
// and all its descendants). Null when they cannot be read.
UniqueBstr NodeName(IXMLDOMNode* node) noexcept;
UniqueBstr NodeText(IXMLDOMNode* node) noexcept;

// Child nodes of every type; 0 when the list cannot be read.
long ChildNodeCount(IXMLDOMNode* node) noexcept;

// The text of the attribute named exactly `name` (case-sensitive). True when
// the element has it; `value` then holds its text, empty but never null for an
// empty attribute. False, with `value` emptied, when it has no such attribute.
bool AttributeByName(IXMLDOMNode* element, const wchar_t* name, UniqueBstr& value) noexcept;

// Actions may return void, or bool where false stops the walk.
//   ForEachAttribute:    action(BSTR name, BSTR text), in document order.
//   ForEachChildNode:    action(IXMLDOMNode* child), every node type.
//   ForEachChildElement: action(IXMLDOMNode* child), elements only.
// Items that cannot be read are skipped. The arguments are borrowed for the
// duration of the call.
template <typename Action>
void ForEachAttribute(IXMLDOMNode* element, Action&& action);
template <typename Action>
void ForEachChildNode(IXMLDOMNode* node, Action&& action);
template <typename Action>
void ForEachChildElement(IXMLDOMNode* node, Action&& action);

// --- Names and numbers ----------------------------------------------------------

// Exact, case-sensitive match as the platform compares strings (VarBstrCmp,
// user default locale, no flags). Null equals empty.
bool NameEquals(const wchar_t* name, const wchar_t* literal) noexcept;

// For readers that accept any letter case: `name` is lower-cased with the
// locale (CharLowerBuffW) and matched exactly against `lowerLiteral`.
bool LoweredNameEquals(const wchar_t* name, const wchar_t* lowerLiteral) noexcept;

// Numbers as _wtoi and _wtoi64 read them: leading blanks, a sign, digits up
// to the first other character; no digits (or null) give 0.
int TextToInt(const wchar_t* text) noexcept;
long long TextToInt64(const wchar_t* text) noexcept;

// --- Implementation of the walks ---------------------------------------------

namespace xml_detail {

template <typename Action, typename... Args>
bool Invoke(Action& action, Args... args) {
  if constexpr (std::is_void_v<std::invoke_result_t<Action&, Args...>>) {
    action(args...);
    return true;
  } else {
    return static_cast<bool>(action(args...));
  }
}

template <typename Action>
void WalkChildren(IXMLDOMNode* node, bool elementsOnly, Action& action) {
  if (!node) return;
  Microsoft::WRL::ComPtr<IXMLDOMNodeList> children;
  if (FAILED(node->get_childNodes(&children)) || !children) return;
  // Step through the list: fetching by index walks from the first child on
  // every call under Wine, which makes a long list quadratic.
  if (FAILED(children->reset())) return;
  for (;;) {
    Microsoft::WRL::ComPtr<IXMLDOMNode> child;
    if (children->nextNode(&child) != S_OK || !child) return;
    if (elementsOnly) {
      DOMNodeType type = NODE_INVALID;
      if (FAILED(child->get_nodeType(&type)) || type != NODE_ELEMENT) continue;
    }
    if (!Invoke(action, child.Get())) return;
  }
}

}  // namespace xml_detail

template <typename Action>
void ForEachAttribute(IXMLDOMNode* element, Action&& action) {
  if (!element) return;
  Microsoft::WRL::ComPtr<IXMLDOMNamedNodeMap> attributes;
  if (FAILED(element->get_attributes(&attributes)) || !attributes) return;
  long length = 0;
  if (FAILED(attributes->get_length(&length))) return;
  for (long i = 0; i < length; ++i) {
    Microsoft::WRL::ComPtr<IXMLDOMNode> item;
    if (FAILED(attributes->get_item(i, &item)) || !item) continue;
    UniqueBstr name;
    UniqueBstr text;
    if (FAILED(item->get_nodeName(name.Receive()))) continue;
    if (FAILED(item->get_text(text.Receive()))) continue;
    if (!xml_detail::Invoke(action, name.Get(), text.Get())) return;
  }
}

template <typename Action>
void ForEachChildNode(IXMLDOMNode* node, Action&& action) {
  xml_detail::WalkChildren(node, false, action);
}

template <typename Action>
void ForEachChildElement(IXMLDOMNode* node, Action&& action) {
  xml_detail::WalkChildren(node, true, action);
}

}  // namespace tessary
