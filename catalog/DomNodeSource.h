#pragma once
// The document parser's tree as a node source for the catalog rules
// (CatalogGrammar.h): it settles every file, so it refuses nothing. Walks
// cannot stop early: every callback's success is taken as "go on".
#include <windows.h>
#include <msxml.h>
#include <wrl/client.h>

#include <initializer_list>
#include <optional>
#include <string_view>

#include "catalog/CatalogKeys.h"
#include "common/Result.h"
#include "common/Unique.h"
#include "datafiles/XmlDom.h"

namespace tessary {

class DomNodeSource {
 public:
  using Node = IXMLDOMNode*;

  // `document`: where the root is looked for; null for a source handed its
  // nodes directly.
  explicit DomNodeSource(IXMLDOMNode* document) noexcept : document_(document) {}

  template <typename F>
  HRESULT Root(std::wstring_view name, F&& onRoot) {
    Microsoft::WRL::ComPtr<IXMLDOMNode> root;
    // NOLINTNEXTLINE(bugprone-suspicious-stringview-data-usage): the rules pass literals
    RETURN_IF_FAILED(SelectRoot(document_, name.data(), root));
    if (!root) return S_OK;
    Node node = root.Get();
    return onRoot(node);
  }

  template <typename F>
  HRESULT Elements(Node& node, F&& each) {
    return ForEachChildElement(node, [&](IXMLDOMNode* child) { return Go(each, child); });
  }
  template <typename F>
  HRESULT Nodes(Node& node, F&& each) {
    return ForEachChildNode(node, [&](IXMLDOMNode* child) { return Go(each, child); });
  }

  static bool IsElement(Node& node) noexcept {
    DOMNodeType type = NODE_INVALID;
    return SUCCEEDED(node->get_nodeType(&type)) && type == NODE_ELEMENT;
  }

  HRESULT Name(Node& node, std::wstring_view& name) noexcept {
    name_ = NodeName(node);
    name = View(name_);
    return S_OK;
  }
  HRESULT LoweredName(Node& node, std::wstring_view& name) noexcept {
    name_ = NodeName(node);
    LowerInPlace(name_);
    name = View(name_);
    return S_OK;
  }

  // A failed read other than out of memory is an absent attribute.
  template <typename F>
  HRESULT Attributes(Node& element, std::initializer_list<std::wstring_view> names, F&& take) {
    int index = 0;
    UniqueBstr value;
    for (const std::wstring_view name : names) {
      // NOLINTNEXTLINE(bugprone-suspicious-stringview-data-usage): the rules pass literals
      const HRESULT hr = AttributeByName(element, name.data(), value);
      RETURN_IF_FAILED(hr);
      if (hr == S_OK) RETURN_IF_FAILED(take(index, View(value)));
      ++index;
    }
    return S_OK;
  }
  template <typename F>
  HRESULT EachAttribute(Node& element, F&& take) {
    return ForEachAttribute(element, [&](BSTR name, BSTR text) -> HRESULT {
      const HRESULT hr = take(WholeText(name), WholeText(text));
      return FAILED(hr) ? hr : S_OK;
    });
  }

  HRESULT Text(Node& node, std::optional<std::wstring_view>& text) noexcept {
    text_ = NodeText(node);
    text.reset();
    if (text_) text = View(text_);
    return S_OK;
  }

 private:
  template <typename F>
  static HRESULT Go(F& each, IXMLDOMNode* child) {
    Node node = child;
    const HRESULT hr = each(node);
    return FAILED(hr) ? hr : S_OK;
  }
  static std::wstring_view View(const UniqueBstr& text) noexcept {
    return WholeText(text.Get());
  }

  IXMLDOMNode* document_;
  UniqueBstr name_;
  UniqueBstr text_;
};

}  // namespace tessary
