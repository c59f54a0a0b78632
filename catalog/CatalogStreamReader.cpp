// The streaming node source: the catalog rules (CatalogGrammar.h) over the
// system's streaming reader. It must render each node exactly as the
// document source would, so every shape whose rendering depends on how the
// document parser builds its tree (white space it keeps, text beside
// elements, comments or instructions inside a text, xml:space, namespaces)
// is refused rather than imitated, and the file goes to the document source.
// Only files of the shape StreamableXml.h recognises reach it at all.
#include <windows.h>
#include <xmllite.h>

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "catalog/CatalogFileReader.h"
#include "catalog/CatalogGrammar.h"
#include "catalog/StreamableXml.h"
#include "common/Result.h"
#include "datafiles/XmlDom.h"
#include "datafiles/XmlLiteFile.h"

namespace tessary {
namespace {

// Literals as views measured at compile time: the platform's string
// length is a call per literal per attribute otherwise.
using namespace std::string_view_literals;

// Only the document parser settles this file exactly: read it with that.
constexpr HRESULT kDocumentOnly = HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED);

bool IsXmlBlank(wchar_t c) noexcept { return c == L' ' || c == L'\t' || c == L'\n' || c == L'\r'; }

// Attribute values the document parser reports as written: nothing its
// normalisation or trimming could change.
bool IsPlainValue(std::wstring_view value) noexcept {
  if (!value.empty() && (value.front() == L' ' || value.back() == L' ')) return false;
  for (wchar_t c : value) {
    if (c == L'\t' || c == L'\n' || c == L'\r') return false;
  }
  return true;
}

class StreamNodeSource {
 public:
  struct Node {
    XmlNodeType type = XmlNodeType_None;
    bool empty = false;  // an element with no content
    bool attributesRead = false;
    bool consumed = false;  // read through its end
  };

  explicit StreamNodeSource(XmlLiteFile& file) noexcept : file_(file), reader_(file.Reader()) {}

  // The rest of the file is read too: the document parser refuses a file
  // that is not well-formed anywhere.
  template <typename F>
  HRESULT Root(std::wstring_view rootName, F&& onRoot) {
    int depth = 0;
    bool sawTopElement = false;
    bool sawRoot = false;
    for (;;) {
      XmlNodeType type = XmlNodeType_None;
      const HRESULT hr = Read(type);
      if (hr == S_FALSE) break;
      RETURN_IF_FAILED(hr);
      if (type == XmlNodeType_Element) {
        if (depth == 0 && std::exchange(sawTopElement, true)) return kDocumentOnly;
        Node node{type, IsEmpty()};
        if (!sawRoot && QualifiedName() == rootName) {
          sawRoot = true;
          RETURN_IF_FAILED(onRoot(node));
          RETURN_IF_FAILED(Finish(node));
          continue;
        }
        RETURN_IF_FAILED(SkipAttributes());
        if (!node.empty) ++depth;
      } else if (type == XmlNodeType_EndElement) {
        if (--depth < 0) return kDocumentOnly;
      } else if (depth == 0 && (type == XmlNodeType_Text || type == XmlNodeType_CDATA)) {
        return kDocumentOnly;
      }
    }
    return depth == 0 && sawTopElement ? S_OK : kDocumentOnly;
  }

  template <typename F>
  HRESULT Elements(Node& node, F&& each) {
    return Children(node, true, each);
  }
  // White space between elements is dropped, as the document parser drops
  // it; how it splits and keeps a text beside elements is its own.
  template <typename F>
  HRESULT Nodes(Node& node, F&& each) {
    return Children(node, false, each);
  }

  static bool IsElement(const Node& node) noexcept { return node.type == XmlNodeType_Element; }

  HRESULT Name(Node& node, std::wstring_view& name) {
    if (node.consumed) return E_UNEXPECTED;
    switch (node.type) {
      case XmlNodeType_Element:
      case XmlNodeType_ProcessingInstruction:
        name = QualifiedName();
        return S_OK;
      case XmlNodeType_Comment:
        name = L"#comment"sv;
        return S_OK;
      default:
        return kDocumentOnly;
    }
  }
  // The same lower-cased, as rules that accept any letter case compare.
  HRESULT LoweredName(Node& node, std::wstring_view& name) {
    RETURN_IF_FAILED(Name(node, name));
    if (node.type == XmlNodeType_Comment) return S_OK;
    // ASCII without capitals lowers to itself: spare the locale call.
    bool plain = true;
    for (wchar_t c : name_) plain = plain && c < 0x80 && !(c >= L'A' && c <= L'Z');
    if (!plain) LowerInPlace(name_.data(), name_.size());
    name = name_;
    return S_OK;
  }

  template <typename F>
  HRESULT Attributes(Node& node, std::initializer_list<std::wstring_view> names, F&& take) {
    return ReadAttributes(node, [&](std::wstring_view name, std::wstring_view value) -> HRESULT {
      // Looked up as the document's getNamedItem does: exactly.
      int index = 0;
      for (const std::wstring_view wanted : names) {
        if (name == wanted) {
          if (!IsPlainValue(value)) return kDocumentOnly;
          return take(index, value);
        }
        ++index;
      }
      return S_OK;
    });
  }
  template <typename F>
  HRESULT EachAttribute(Node& node, F&& take) {
    return ReadAttributes(node, [&](std::wstring_view name, std::wstring_view value) -> HRESULT {
      if (!IsPlainValue(value)) return kDocumentOnly;
      return take(name, value);
    });
  }

  // An element holding text alone, trimmed at both ends; anything else
  // inside it is the document parser's to settle.
  HRESULT Text(Node& node, std::optional<std::wstring_view>& text) {
    if (node.type != XmlNodeType_Element) return kDocumentOnly;
    RETURN_IF_FAILED(Open(node));
    text_.clear();
    while (!node.empty) {
      XmlNodeType type = XmlNodeType_None;
      RETURN_IF_FAILED(Next(type));
      if (type == XmlNodeType_EndElement) break;
      if (type != XmlNodeType_Text && type != XmlNodeType_Whitespace) return kDocumentOnly;
      const wchar_t* value = nullptr;
      UINT length = 0;
      RETURN_IF_FAILED(reader_->GetValue(&value, &length));
      if (length == 0) return kDocumentOnly;
      text_.append(value ? value : L"", length);
    }
    std::wstring_view view = text_;
    while (!view.empty() && IsXmlBlank(view.front())) view.remove_prefix(1);
    while (!view.empty() && IsXmlBlank(view.back())) view.remove_suffix(1);
    text = view;
    return S_OK;
  }

 private:
  // Hands `each(child)` the element's children, its attributes read first;
  // what the callback leaves of a child is skipped.
  template <typename F>
  HRESULT Children(Node& node, bool elementsOnly, F& each) {
    if (node.type != XmlNodeType_Element) return kDocumentOnly;
    RETURN_IF_FAILED(Open(node));
    while (!node.empty) {
      XmlNodeType type = XmlNodeType_None;
      RETURN_IF_FAILED(Next(type));
      if (type == XmlNodeType_EndElement) return S_OK;
      if (type == XmlNodeType_Whitespace) continue;
      if (type != XmlNodeType_Element) {
        if (elementsOnly) continue;
        if (type != XmlNodeType_Comment && type != XmlNodeType_ProcessingInstruction) {
          return kDocumentOnly;
        }
      }
      Node child{type, type == XmlNodeType_Element && IsEmpty()};
      RETURN_IF_FAILED(each(child));
      RETURN_IF_FAILED(Finish(child));
    }
    return S_OK;
  }

  // Takes the node for reading its content: its attributes are passed over
  // when the rules did not ask for them.
  HRESULT Open(Node& node) {
    if (node.consumed) return E_UNEXPECTED;
    if (!node.attributesRead) RETURN_IF_FAILED(SkipAttributes(node));
    node.consumed = true;
    return S_OK;
  }
  // Skips what is left of a node after its callback.
  HRESULT Finish(Node& node) {
    if (node.type != XmlNodeType_Element || node.consumed) return S_OK;
    RETURN_IF_FAILED(Open(node));
    return Skip(node.empty);
  }

  bool IsEmpty() noexcept { return reader_->IsEmptyElement() != FALSE; }

  // The current node's qualified name (an instruction's target), kept until
  // the next call.
  std::wstring_view QualifiedName() {
    const wchar_t* name = nullptr;
    UINT length = 0;
    if (FAILED(reader_->GetQualifiedName(&name, &length)) || !name) length = 0;
    name_.assign(name ? name : L"", length);
    return name_;
  }

  // Hands every attribute of the element to `take(name, value)`; both end in
  // a NUL and last until the next attribute. Duplicates (which the document
  // parser refuses) and the attributes that change how it builds its tree
  // are refused.
  template <typename Take>
  HRESULT ReadAttributes(Node& node, Take&& take) {
    if (node.type != XmlNodeType_Element) return kDocumentOnly;
    if (node.attributesRead || node.consumed) return E_UNEXPECTED;
    node.attributesRead = true;
    return ReadAttributes(take);
  }
  template <typename Take>
  HRESULT ReadAttributes(Take&& take) {
    HRESULT hr = reader_->MoveToFirstAttribute();
    if (hr == S_FALSE) return S_OK;
    RETURN_IF_FAILED(hr);
    seen_.clear();
    do {
      const wchar_t* name = nullptr;
      UINT nameLength = 0;
      const wchar_t* value = nullptr;
      UINT valueLength = 0;
      RETURN_IF_FAILED(reader_->GetQualifiedName(&name, &nameLength));
      RETURN_IF_FAILED(reader_->GetValue(&value, &valueLength));
      // Both come back ending in a NUL, valid until the reader moves on.
      const std::wstring_view view = name ? std::wstring_view(name, nameLength) : L""sv;
      if (!value) {
        value = L"";
        valueLength = 0;
      }
      if (view.substr(0, 5) == L"xmlns"sv || view == L"xml:space"sv) return kDocumentOnly;
      if (Seen(view)) return kDocumentOnly;
      seen_.append(view);
      seen_.push_back(L'\0');
      RETURN_IF_FAILED(take(view, std::wstring_view(value, valueLength)));
    } while ((hr = reader_->MoveToNextAttribute()) == S_OK);
    RETURN_IF_FAILED(hr);
    return reader_->MoveToElement();
  }
  HRESULT SkipAttributes(Node& node) {
    return ReadAttributes(node, [](std::wstring_view, std::wstring_view) { return S_OK; });
  }
  HRESULT SkipAttributes() {
    return ReadAttributes([](std::wstring_view, std::wstring_view) { return S_OK; });
  }

  // Consumes the rest of the current element, its attributes already read.
  HRESULT Skip(bool empty) {
    if (empty) return S_OK;
    int depth = 1;
    for (;;) {
      XmlNodeType type = XmlNodeType_None;
      RETURN_IF_FAILED(Next(type));
      if (type == XmlNodeType_Element) {
        const bool inner = IsEmpty();
        RETURN_IF_FAILED(SkipAttributes());
        if (!inner) ++depth;
      } else if (type == XmlNodeType_EndElement && --depth == 0) {
        return S_OK;
      }
    }
  }

  // The next node inside an element; the end of input there is a cut file.
  HRESULT Next(XmlNodeType& type) {
    const HRESULT hr = Read(type);
    return hr == S_FALSE ? kDocumentOnly : hr;
  }

  // S_FALSE at the end of input.
  HRESULT Read(XmlNodeType& type) {
    const HRESULT hr = file_.Read(type);
    // The file's shape was checked whole before: a reader astray is the
    // document parser's to settle.
    return hr == kXmlReaderAstray ? kDocumentOnly : hr;
  }

  bool Seen(std::wstring_view name) const noexcept {
    std::wstring_view rest = seen_;
    while (!rest.empty()) {
      const size_t end = rest.find(L'\0');
      if (rest.substr(0, end) == name) return true;
      rest.remove_prefix(end + 1);
    }
    return false;
  }

  XmlLiteFile& file_;
  IXmlReader* reader_;
  std::wstring name_;
  std::wstring seen_;  // the current element's attribute names, NUL after each
  std::wstring text_;
};

// The file opened for streaming, or kDocumentOnly when its bytes are not of
// the shape the streaming reader is given.
HRESULT OpenForStreaming(const wchar_t* path, XmlLiteFile& file) {
  RETURN_IF_FAILED(file.Open(path));
  if (!IsStreamableXml(file.Bytes())) return kDocumentOnly;
  return S_OK;
}

}  // namespace

HRESULT StreamCatalogFile(const wchar_t* path, CatalogContent& content) noexcept {
  return Guarded([&]() -> HRESULT {
    XmlLiteFile file;
    RETURN_IF_FAILED(OpenForStreaming(path, file));
    StreamNodeSource source(file);
    return catalog_rules::CatalogRules<StreamNodeSource>(source, content).Read();
  });
}

HRESULT StreamRegistryKeyFile(const wchar_t* path, RegistryKeyTable& keys) noexcept {
  return Guarded([&]() -> HRESULT {
    XmlLiteFile file;
    RETURN_IF_FAILED(OpenForStreaming(path, file));
    KeyTableBuilder<UniqueBstr> builder;
    StreamNodeSource source(file);
    RETURN_IF_FAILED(catalog_rules::RegistryKeys(source, builder));
    builder.Build(keys);
    return S_OK;
  });
}

}  // namespace tessary
