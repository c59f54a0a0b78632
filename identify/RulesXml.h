#pragma once
// Reading helpers shared by the two readers of the rules file.
#include <windows.h>
#include <msxml.h>
#include <wrl/client.h>

#include <initializer_list>
#include <utility>

namespace tessary {

// The index of the literal that `name` equals as the platform compares names
// (exactly, case-sensitively, under the user's locale), or -1. With
// `lowered`, the name is lower-cased first, for names matched in any case.
// May throw bad_alloc.
int MatchName(const wchar_t* name, std::initializer_list<const wchar_t*> literals,
              bool lowered = false);

// Whether the node has child nodes of any type (ChildNodeCount > 0).
inline bool HasChildNodes(IXMLDOMNode* node) noexcept {
  Microsoft::WRL::ComPtr<IXMLDOMNode> child;
  return node && node->get_firstChild(&child) == S_OK && child;
}

// Calls action(child) for each element child of `node` in document order, as
// ForEachChildElement does, but walks from sibling to sibling: a rules file
// has thousands of entries under one root, and fetching each by index from
// the child list costs time in proportion to the index.
template <typename Action>
void ForEachElementChild(IXMLDOMNode* node, Action&& action) {
  if (!node) return;
  Microsoft::WRL::ComPtr<IXMLDOMNode> child;
  if (node->get_firstChild(&child) != S_OK) return;
  while (child) {
    DOMNodeType type = NODE_INVALID;
    if (SUCCEEDED(child->get_nodeType(&type)) && type == NODE_ELEMENT) action(child.Get());
    Microsoft::WRL::ComPtr<IXMLDOMNode> next;
    if (child->get_nextSibling(&next) != S_OK) break;
    child = std::move(next);
  }
}

}  // namespace tessary
