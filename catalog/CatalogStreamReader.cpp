// The catalog files through the system's streaming reader. The outcome must
// be the document parser's, rule for rule, so every shape whose outcome
// depends on how that parser builds its tree (white space it keeps, mixed
// content, comments or instructions inside a text, xml:space, namespaces)
// is handed back to the document parser rather than imitated. Only files of
// the shape StreamableXml.h recognises reach the streaming reader at all.
#include <windows.h>
#include <xmllite.h>

#include <cstdlib>
#include <new>
#include <string>
#include <string_view>

#include "catalog/CatalogFileReader.h"
#include "catalog/StreamableXml.h"
#include "common/Result.h"
#include "datafiles/XmlDom.h"
#include "datafiles/XmlLiteFile.h"

namespace tessary {
namespace {

using Microsoft::WRL::ComPtr;
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

// What the bytes of the file say of it before the reader runs.
struct FileMarks {
  size_t budget = 0;  // more nodes than this cannot come from the file
};

class StreamWalker {
 public:
  // A reader that reports more nodes than the budget (every node takes at
  // least one byte) is stuck repeating one at a cut end.
  StreamWalker(IXmlReader* reader, const FileMarks& marks) noexcept
      : reader_(reader), marks_(marks) {}

  // Runs `onRoot(empty)` on the first "vedad" element in document order,
  // positioned on its start; it consumes the element through its end. The
  // rest of the file is read too: the document parser refuses a file that
  // is not well-formed anywhere.
  template <typename OnRoot>
  HRESULT Document(OnRoot&& onRoot) {
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
        const bool empty = IsEmpty();
        if (!sawRoot && Name() == L"vedad"sv) {
          sawRoot = true;
          RETURN_IF_FAILED(onRoot(empty));
          continue;
        }
        RETURN_IF_FAILED(SkipAttributes());
        if (!empty) ++depth;
      } else if (type == XmlNodeType_EndElement) {
        if (--depth < 0) return kDocumentOnly;
      } else if (depth == 0 && (type == XmlNodeType_Text || type == XmlNodeType_CDATA)) {
        return kDocumentOnly;
      }
    }
    return depth == 0 && sawTopElement ? S_OK : kDocumentOnly;
  }

  // The next node inside an element; the end of input there is a cut file.
  HRESULT Next(XmlNodeType& type) {
    const HRESULT hr = Read(type);
    return hr == S_FALSE ? kDocumentOnly : hr;
  }

  // Hands `each(type)` every node inside the current element, its attributes
  // already read, up to the element's end; a failure stops the walk.
  template <typename Each>
  HRESULT Children(bool empty, Each&& each) {
    while (!empty) {
      XmlNodeType type = XmlNodeType_None;
      RETURN_IF_FAILED(Next(type));
      if (type == XmlNodeType_EndElement) return S_OK;
      RETURN_IF_FAILED(each(type));
    }
    return S_OK;
  }

  bool IsEmpty() noexcept { return reader_->IsEmptyElement() != FALSE; }

  // The current node's qualified name (an instruction's target), kept in a
  // buffer of its own until the next call.
  std::wstring_view Name() {
    const wchar_t* name = nullptr;
    UINT length = 0;
    if (FAILED(reader_->GetQualifiedName(&name, &length)) || !name) length = 0;
    name_.assign(name ? name : L"", length);
    return name_;
  }
  // The same lower-cased, as readers that accept any letter case compare.
  std::wstring_view LoweredName() {
    Name();
    // ASCII without capitals lowers to itself: spare the locale call.
    bool plain = true;
    for (wchar_t c : name_) plain = plain && c < 0x80 && !(c >= L'A' && c <= L'Z');
    if (!plain) ::CharLowerBuffW(name_.data(), static_cast<DWORD>(name_.size()));
    return name_;
  }

  // Hands every attribute of the current element to `take(name, value)`;
  // both end in a NUL and last until the next attribute. Duplicates (which
  // the document parser refuses) and the attributes that change how it
  // builds its tree are handed back to it.
  template <typename Take>
  HRESULT Attributes(Take&& take) {
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
  HRESULT SkipAttributes() {
    return Attributes([](std::wstring_view, std::wstring_view) { return S_OK; });
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

  // The element's text as the document parser gives it for an element
  // holding text alone: trimmed at both ends, never null. The view lasts
  // until the next call. Anything else inside the element is the document
  // parser's to settle.
  HRESULT Text(bool empty, std::wstring_view& text) {
    text_.clear();
    while (!empty) {
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
    text = text_;
    while (!text.empty() && IsXmlBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsXmlBlank(text.back())) text.remove_suffix(1);
    return S_OK;
  }
  HRESULT Text(bool empty, UniqueBstr& text) {
    std::wstring_view view;
    RETURN_IF_FAILED(Text(empty, view));
    return text.CopyFrom(view.data(), static_cast<UINT>(view.size())) ? S_OK : E_OUTOFMEMORY;
  }
  template <size_t N>
  HRESULT Text(bool empty, PackedTextBuilder<N>& fields, size_t field) {
    std::wstring_view view;
    RETURN_IF_FAILED(Text(empty, view));
    fields.Set(field, view);
    return S_OK;
  }

 private:
  // S_FALSE at the end of input.
  HRESULT Read(XmlNodeType& type) {
    const HRESULT hr = reader_->Read(&type);
    if (hr != S_OK) return hr;
    // The file's shape was checked whole before: an empty node repeated, or
    // more nodes than the file has bytes, is the reader astray.
    if (type == XmlNodeType_None || ++nodes_ > marks_.budget) return kDocumentOnly;
    return S_OK;
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

  IXmlReader* reader_;
  FileMarks marks_;
  size_t nodes_ = 0;
  std::wstring name_;
  std::wstring seen_;  // the current element's attribute names, NUL after each
  std::wstring text_;
};

// Names looked up as the document's getNamedItem does: exactly.
int MatchAttribute(std::wstring_view name,
                   std::initializer_list<std::wstring_view> literals) noexcept {
  int index = 0;
  for (const std::wstring_view literal : literals) {
    if (name == literal) return index;
    ++index;
  }
  return -1;
}

HRESULT CopyValue(std::wstring_view value, UniqueBstr& text) noexcept {
  if (!IsPlainValue(value)) return kDocumentOnly;
  return text.CopyFrom(value.data(), static_cast<UINT>(value.size())) ? S_OK : E_OUTOFMEMORY;
}
// May throw bad_alloc.
template <size_t N>
HRESULT CopyValue(std::wstring_view value, PackedTextBuilder<N>& fields, size_t field) {
  if (!IsPlainValue(value)) return kDocumentOnly;
  fields.Set(field, value);
  return S_OK;
}

class CatalogStream {
 public:
  CatalogStream(IXmlReader* reader, const FileMarks& marks, CatalogContent& content) noexcept
      : walker_(reader, marks), content_(content) {}

  HRESULT Read() {
    return walker_.Document([&](bool empty) { return Root(empty); });
  }

 private:
  HRESULT Root(bool empty) {
    RETURN_IF_FAILED(walker_.SkipAttributes());
    return walker_.Children(empty, [&](XmlNodeType type) -> HRESULT {
      if (type != XmlNodeType_Element) return S_OK;
      const bool inner = walker_.IsEmpty();
      const int match = MatchText(walker_.LoweredName(), {L"main_type_list", L"software_list"});
      RETURN_IF_FAILED(walker_.SkipAttributes());
      if (match == 0) return MainTypeList(inner);
      if (match == 1) return SoftwareList(inner);
      return walker_.Skip(inner);
    });
  }

  HRESULT MainTypeList(bool empty) {
    MainTypeTable* table = nullptr;
    RETURN_IF_FAILED(content_.BeginMainTypeList(table));
    return walker_.Children(empty, [&](XmlNodeType type) {
      return type == XmlNodeType_Element ? MainType(*table) : S_OK;
    });
  }

  HRESULT MainType(MainTypeTable& table) {
    const bool empty = walker_.IsEmpty();
    UniqueBstr id;
    RETURN_IF_FAILED(walker_.Attributes([&](std::wstring_view name, std::wstring_view value) {
      return name == L"id"sv ? CopyValue(value, id) : S_OK;
    }));
    UniqueBstr name;
    bool named = false;
    RETURN_IF_FAILED(walker_.Children(empty, [&](XmlNodeType type) -> HRESULT {
      // An instruction's target is a node name the document parser would match.
      if (type == XmlNodeType_ProcessingInstruction) return kDocumentOnly;
      if (type != XmlNodeType_Element) return S_OK;
      const bool inner = walker_.IsEmpty();
      const bool isName = !named && LoweredNameEquals(walker_.Name().data(), L"name");
      RETURN_IF_FAILED(walker_.SkipAttributes());
      if (!isName) return walker_.Skip(inner);
      named = true;
      return walker_.Text(inner, name);
    }));
    table.try_emplace(std::move(id), std::move(name));
    return S_OK;
  }

  HRESULT SoftwareList(bool empty) {
    content_.BeginSoftwareList();
    LONG count = 0;
    RETURN_IF_FAILED(walker_.Children(empty, [&](XmlNodeType type) -> HRESULT {
      switch (type) {
        case XmlNodeType_Element:
          ++count;
          return Software();
        case XmlNodeType_Comment:
        case XmlNodeType_ProcessingInstruction:
          ++count;
          return S_OK;
        case XmlNodeType_Text:
        case XmlNodeType_CDATA:
          // How the document parser splits and keeps text here is its own.
          return kDocumentOnly;
        default:
          return S_OK;
      }
    }));
    content_.allCount = count;
    return S_OK;
  }

  HRESULT Software() {
    const bool empty = walker_.IsEmpty();
    // Entries need the main types to be read first.
    if (!content_.TypesInForce()) {
      RETURN_IF_FAILED(walker_.SkipAttributes());
      return walker_.Skip(empty);
    }
    SoftwareFields& fields = software_;
    fields.Reset();
    std::wstring& typeId = typeId_;
    bool typed = false;
    RETURN_IF_FAILED(walker_.Attributes([&](std::wstring_view name, std::wstring_view value) {
      const int match = MatchAttribute(
          name, {L"main_type"sv, L"is_main_recommend"sv, L"is_onekey_install"sv, L"is_popularity"sv,
                 L"totaljudgeofmark"sv, L"totaldownloadtimes"sv, L"totaljudgeoftimes"sv});
      if (match < 0) return S_OK;
      if (!IsPlainValue(value)) return kDocumentOnly;
      switch (match) {
        case 0:
          typed = true;
          typeId.assign(value);
          return S_OK;
        case 1:
          fields.flags |= FlagOf(value, KaSoftWare::kMainRecommend);
          break;
        case 2:
          fields.flags |= FlagOf(value, KaSoftWare::kOneKeyInstall);
          break;
        case 3:
          fields.flags |= FlagOf(value, KaSoftWare::kPopularity);
          break;
        case 4:
          fields.totalMark = TextToInt64(value.data());
          break;
        case 5:
          fields.totalDownload = TextToInt64(value.data());
          break;
        default:
          fields.totalJudge = TextToInt64(value.data());
          break;
      }
      return S_OK;
    }));
    if (typed) {
      const UniqueBstr* typeName = nullptr;
      RETURN_IF_FAILED(content_.TypeName(typeId, typeName));
      fields.text.Set(kSoftMainType, *typeName);
    }

    RETURN_IF_FAILED(walker_.Children(empty, [&](XmlNodeType type) -> HRESULT {
      if (type == XmlNodeType_ProcessingInstruction) return kDocumentOnly;
      if (type != XmlNodeType_Element) return S_OK;
      const bool inner = walker_.IsEmpty();
      const int match = MatchSoftwareChild(walker_.LoweredName());
      if (match == kChildVersion) return Version(inner, fields);
      RETURN_IF_FAILED(walker_.SkipAttributes());
      if (match < 0) return walker_.Skip(inner);
      // A repeated field keeps its last occurrence.
      RETURN_IF_FAILED(walker_.Text(inner, fields.text, kChildText[match]));
      if (match == kChildName) LowerName(fields);
      return S_OK;
    }));
    ComPtr<KaSoftWare> entry;
    RETURN_IF_FAILED(MakeSoftware(fields, entry));
    return content_.AddSoftware(std::move(entry));
  }

  HRESULT Version(bool empty, SoftwareFields& software) {
    VersionFields& fields = software.AddVersion();
    bool hasVersion = false;
    bool hasDisplay = false;
    RETURN_IF_FAILED(walker_.Attributes([&](std::wstring_view name, std::wstring_view value) {
      switch (MatchAttribute(name, {L"version"sv, L"displayver"sv, L"ver_attribute"sv})) {
        case 0:
          hasVersion = true;
          return CopyValue(value, fields.text, kVerVersion);
        case 1:
          hasDisplay = true;
          return CopyValue(value, fields.text, kVerDisplayVersion);
        case 2:
          if (!IsPlainValue(value)) return kDocumentOnly;
          fields.trial = IsTrialRelease(value);
          return S_OK;
        default:
          return S_OK;
      }
    }));
    bool noted = false;
    RETURN_IF_FAILED(walker_.Children(empty, [&](XmlNodeType type) -> HRESULT {
      if (type == XmlNodeType_ProcessingInstruction) return kDocumentOnly;
      if (type != XmlNodeType_Element) return S_OK;
      const bool inner = walker_.IsEmpty();
      // Release notes come from the first child named exactly "whatsnew".
      const bool isNotes = !noted && MatchText(walker_.Name(), {L"whatsnew"}) == 0;
      RETURN_IF_FAILED(walker_.SkipAttributes());
      if (!isNotes) return walker_.Skip(inner);
      noted = true;
      return walker_.Text(inner, fields.text, kVerWhatsnew);
    }));
    // A version element without a "version" attribute is dropped.
    if (!hasVersion) {
      software.DropVersion();
    } else if (!hasDisplay) {
      fields.text.SetSame(kVerDisplayVersion, kVerVersion);
    }
    return S_OK;
  }

  StreamWalker walker_;
  CatalogContent& content_;
  // Reused from one entry to the next.
  std::wstring typeId_;
  SoftwareFields software_;
};

class RegistryKeyStream {
 public:
  RegistryKeyStream(IXmlReader* reader, const FileMarks& marks,
                    KeyTableBuilder<UniqueBstr>& keys) noexcept
      : walker_(reader, marks), keys_(keys) {}

  HRESULT Read() {
    return walker_.Document([&](bool empty) { return Root(empty); });
  }

 private:
  HRESULT Root(bool empty) {
    bool rejected = false;
    RETURN_IF_FAILED(walker_.Attributes([&](std::wstring_view name, std::wstring_view value) {
      if (NameEquals(name.data(), L"result") && TextToInt(value.data()) != 0) rejected = true;
      return S_OK;
    }));
    // A rejected file loads nothing of itself.
    if (rejected) return walker_.Skip(empty);
    return walker_.Children(empty, [&](XmlNodeType type) {
      return type == XmlNodeType_Element ? Software() : S_OK;
    });
  }

  HRESULT Software() {
    const bool empty = walker_.IsEmpty();
    UniqueBstr softName;
    bool named = false;
    RETURN_IF_FAILED(walker_.Attributes([&](std::wstring_view name, std::wstring_view value) {
      if (name != L"name"sv) return S_OK;
      named = true;
      return CopyValue(value, softName);
    }));
    if (!named) return walker_.Skip(empty);
    LowerBstr(softName);
    return walker_.Children(empty, [&](XmlNodeType type) -> HRESULT {
      if (type != XmlNodeType_Element) return S_OK;
      const bool inner = walker_.IsEmpty();
      RETURN_IF_FAILED(walker_.SkipAttributes());
      UniqueBstr key;
      RETURN_IF_FAILED(walker_.Text(inner, key));
      // Keys stay as written; the first software named for a key keeps it.
      UniqueBstr name;
      RETURN_HR_IF(E_OUTOFMEMORY, !name.CopyFrom(softName.Get(), softName.Length()));
      keys_.Add(std::move(key), std::move(name));
      return S_OK;
    });
  }

  StreamWalker walker_;
  KeyTableBuilder<UniqueBstr>& keys_;
};

// The file opened for streaming, or kDocumentOnly when its bytes are not of
// the shape the streaming reader is given.
HRESULT OpenForStreaming(const wchar_t* path, XmlLiteFile& file, FileMarks& marks) {
  RETURN_IF_FAILED(file.Open(path));
  if (!IsStreamableXml(file.Bytes())) return kDocumentOnly;
  marks.budget = file.Bytes().size() + 1;
  return S_OK;
}

}  // namespace

HRESULT StreamCatalogFile(const wchar_t* path, CatalogContent& content) noexcept {
  return Guarded([&]() -> HRESULT {
    XmlLiteFile file;
    FileMarks marks;
    RETURN_IF_FAILED(OpenForStreaming(path, file, marks));
    RETURN_IF_FAILED(CatalogStream(file.Reader(), marks, content).Read());
    content.Finish();
    return S_OK;
  });
}

HRESULT StreamRegistryKeyFile(const wchar_t* path, RegistryKeyTable& keys) noexcept {
  return Guarded([&]() -> HRESULT {
    XmlLiteFile file;
    FileMarks marks;
    RETURN_IF_FAILED(OpenForStreaming(path, file, marks));
    KeyTableBuilder<UniqueBstr> builder;
    RETURN_IF_FAILED(RegistryKeyStream(file.Reader(), marks, builder).Read());
    builder.Build(keys);
    return S_OK;
  });
}

}  // namespace tessary
