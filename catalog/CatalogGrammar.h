#pragma once
// Implementation notes: how the catalog files are read.
//
// A load (KaSoftwareCatelog::LoadWith) reads two data files the host names:
// the catalog (main types, then programs and their versions) and the
// registry-key file (registry keys to program names).
//
//  1. File. Each file is read through a node source. The streaming source
//     (CatalogStreamReader.cpp, the system's streaming reader) is given only
//     files whose bytes StreamableXml.h recognises, and refuses, with
//     kDocumentOnly, every node it cannot render exactly as the document
//     parser would; the file is then read again from the start through the
//     document source (DomNodeSource.h, a thin walk over the document
//     parser's tree), which settles everything. CatalogFileReader.cpp makes
//     that choice; only E_OUTOFMEMORY stops a load.
//  2. Grammar. The rules below, written once over either source: the root,
//     main-type lists, software lists, programs, versions and the
//     registry-key file, with the document parser's semantics (white space
//     between elements not kept, trimmed texts, attributes by exact name,
//     tag names lowered with the locale where any case is accepted).
//  3. Content built aside. The rules fill a CatalogContent (entries, main
//     types, counters) or a key-table builder; nothing published is touched.
//  4. Tables. CatalogContent::Finish and KeyTableBuilder::Build sort the
//     names and keys once, the first of equal keys kept (KeyTable.h).
//  5. Publication. KaSoftwareCatelog swaps the tables, counters and main
//     types in whole; a load that fails part-way leaves them as they were.
//
// A node source offers (Node is the source's own handle, valid during the
// callback that hands it out; a callback's failure stops the walk):
//   Root(name, f)             f(Node&) on the first element named exactly
//                             `name` in document order, if any
//   Elements(node, f)         f(Node&) per element child, in order
//   Nodes(node, f)            f(Node&) per child node of any kind, in order
//   IsElement(node)
//   Name(node, view)          the node name ("#comment", an instruction's
//   LoweredName(node, view)   target); ends in a NUL, lasts until the next
//   Attributes(node, names, f) f(index, value) per attribute the element
//                             has among `names` (exact names); the value
//                             ends in a NUL and lasts for the call
//   EachAttribute(node, f)    f(name, value) per attribute, in order
//   Text(node, text)          the trimmed text of the node and all below it;
//                             none when it cannot be read
// Anything of a node the rules do not ask for is skipped. The rules ask for
// a node's name, then its attributes, then its children or its text.
#include <windows.h>

#include <initializer_list>
#include <optional>
#include <string_view>
#include <utility>

#include "catalog/CatalogContent.h"
#include "common/Names.h"
#include "common/Result.h"
#include "datafiles/XmlDom.h"

namespace tessary {
namespace catalog_rules {

using namespace std::string_view_literals;
using OptionalText = std::optional<std::wstring_view>;

// Present sets the flag, unless the text is exactly "0".
inline DWORD FlagOf(std::wstring_view text, DWORD flag) noexcept {
  return MatchText(text, {L"0"}) != 0 ? flag : 0;
}
inline bool IsTrialRelease(std::wstring_view text) noexcept {
  return MatchText(text, {L"1"}) == 0;
}

// The names a program element's children are matched against (lower-cased),
// and the field each but "version" sets.
enum SoftwareChild { kChildName, kChildDisplayName, kChildCompany, kChildPic, kChildDescription,
                     kChildVersion };
inline int MatchSoftwareChild(std::wstring_view loweredTag) noexcept {
  return MatchText(loweredTag,
                   {L"name", L"displayname", L"company", L"pic", L"description", L"version"});
}
inline constexpr SoftwareText kChildText[] = {kSoftName, kSoftDisplayName, kSoftCompany, kSoftPic,
                                             kSoftDescription};

// A text that cannot be read stays absent, distinct from empty.
inline HRESULT CopyText(OptionalText text, UniqueBstr& to) noexcept {
  if (!text) {
    to.Reset();
    return S_OK;
  }
  const wchar_t* chars = text->empty() ? L"" : text->data();
  return to.CopyFrom(chars, static_cast<UINT>(text->size())) ? S_OK : E_OUTOFMEMORY;
}
// May throw bad_alloc.
template <typename Fields>
void SetText(Fields& fields, size_t field, OptionalText text) {
  if (text) {
    fields.Set(field, *text);
  } else {
    fields.Set(field, UniqueBstr());
  }
}

// A main-type list: each element child is a type, its "id" attribute the
// key and the text of its first child named "name" (any case) the display
// name; the first entry of an identifier stays. May throw bad_alloc.
template <typename Source>
HRESULT MainTypeList(Source& source, typename Source::Node& list, MainTypeTable& table) {
  using Node = typename Source::Node;
  return source.Elements(list, [&](Node& type) -> HRESULT {
    UniqueBstr id;
    RETURN_IF_FAILED(source.Attributes(type, {L"id"sv}, [&](int, std::wstring_view value) {
      return CopyText(value, id);
    }));
    UniqueBstr name;
    bool named = false;
    RETURN_IF_FAILED(source.Nodes(type, [&](Node& child) -> HRESULT {
      if (named) return S_OK;
      std::wstring_view tag;
      RETURN_IF_FAILED(source.Name(child, tag));
      if (!LoweredNameEquals(tag.data(), L"name")) return S_OK;  // NOLINT(bugprone-suspicious-stringview-data-usage): ends in a NUL, see above
      named = true;
      OptionalText text;
      RETURN_IF_FAILED(source.Text(child, text));
      return CopyText(text, name);
    }));
    table.try_emplace(std::move(id), std::move(name));
    return S_OK;
  });
}

// The catalog file: under the "vedad" root, main-type lists and software
// lists (tag names in any case), in file order. May throw bad_alloc.
template <typename Source>
class CatalogRules {
 public:
  using Node = typename Source::Node;

  CatalogRules(Source& source, CatalogContent& content) noexcept
      : source_(source), content_(content) {}

  HRESULT Read() {
    RETURN_IF_FAILED(source_.Root(L"vedad"sv, [&](Node& root) { return Root(root); }));
    content_.Finish();
    return S_OK;
  }

 private:
  HRESULT Root(Node& root) {
    return source_.Elements(root, [&](Node& element) -> HRESULT {
      std::wstring_view tag;
      RETURN_IF_FAILED(source_.LoweredName(element, tag));
      const int match = MatchText(tag, {L"main_type_list", L"software_list"});
      if (match == 1) return SoftwareList(element);
      if (match != 0) return S_OK;
      MainTypeTable* table = nullptr;
      RETURN_IF_FAILED(content_.BeginMainTypeList(table));
      return MainTypeList(source_, element, *table);
    });
  }

  HRESULT SoftwareList(Node& list) {
    content_.BeginSoftwareList();
    // Every child node counts, comments included, accepted or not.
    LONG count = 0;
    RETURN_IF_FAILED(source_.Nodes(list, [&](Node& child) -> HRESULT {
      ++count;
      if (!source_.IsElement(child)) return S_OK;
      // Entries need the main types to be read first.
      if (!content_.TypesInForce()) return S_OK;
      RETURN_IF_FAILED(Software(child, software_));
      Microsoft::WRL::ComPtr<KaSoftWare> entry;
      RETURN_IF_FAILED(MakeSoftware(software_, entry));
      return content_.AddSoftware(std::move(entry));
    }));
    content_.allCount = count;
    return S_OK;
  }

  HRESULT Software(Node& element, SoftwareFields& fields) {
    fields.Reset();
    RETURN_IF_FAILED(source_.Attributes(
        element,
        {L"main_type"sv, L"is_main_recommend"sv, L"is_onekey_install"sv, L"is_popularity"sv,
         L"totaljudgeofmark"sv, L"totaldownloadtimes"sv, L"totaljudgeoftimes"sv},
        [&](int index, std::wstring_view value) -> HRESULT {
          switch (index) {
            case 0: {
              const UniqueBstr* typeName = nullptr;
              RETURN_IF_FAILED(content_.TypeName(value, typeName));
              fields.text.Set(kSoftMainType, *typeName);
              break;
            }
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
              fields.totalMark = TextToInt64(value.data());  // NOLINT(bugprone-suspicious-stringview-data-usage): ends in a NUL, see above
              break;
            case 5:
              fields.totalDownload = TextToInt64(value.data());  // NOLINT(bugprone-suspicious-stringview-data-usage): ends in a NUL, see above
              break;
            default:
              fields.totalJudge = TextToInt64(value.data());  // NOLINT(bugprone-suspicious-stringview-data-usage): ends in a NUL, see above
              break;
          }
          return S_OK;
        }));
    return source_.Nodes(element, [&](Node& child) -> HRESULT {
      std::wstring_view tag;
      RETURN_IF_FAILED(source_.LoweredName(child, tag));
      const int match = MatchSoftwareChild(tag);
      if (match < 0) return S_OK;
      if (match == kChildVersion) return Version(child, fields);
      OptionalText text;
      RETURN_IF_FAILED(source_.Text(child, text));
      // A repeated field keeps its last occurrence; names are stored
      // lower-cased, as they are looked up.
      SetText(fields.text, kChildText[match], text);
      if (match == kChildName) {
        LowerInPlace(fields.text.Data(kSoftName), fields.text.View(kSoftName).size());
      }
      return S_OK;
    });
  }

  // A version element without a "version" attribute adds no version.
  HRESULT Version(Node& element, SoftwareFields& software) {
    VersionFields& fields = software.AddVersion();
    const HRESULT hr = VersionInto(element, fields);
    if (hr != S_OK) software.DropVersion();
    return FAILED(hr) ? hr : S_OK;
  }

  HRESULT VersionInto(Node& element, VersionFields& fields) {
    bool hasVersion = false;
    bool hasDisplay = false;
    RETURN_IF_FAILED(source_.Attributes(
        element, {L"version"sv, L"displayver"sv, L"ver_attribute"sv},
        [&](int index, std::wstring_view value) -> HRESULT {
          if (index == 0) {
            hasVersion = true;
            fields.text.Set(kVerVersion, value);
          } else if (index == 1) {
            hasDisplay = true;
            fields.text.Set(kVerDisplayVersion, value);
          } else {
            fields.trial = IsTrialRelease(value);
          }
          return S_OK;
        }));
    if (!hasVersion) return S_FALSE;
    if (!hasDisplay) fields.text.SetSame(kVerDisplayVersion, kVerVersion);
    // Release notes come from the first child named exactly "whatsnew".
    bool noted = false;
    return source_.Nodes(element, [&](Node& child) -> HRESULT {
      if (noted) return S_OK;
      std::wstring_view tag;
      RETURN_IF_FAILED(source_.Name(child, tag));
      if (MatchText(tag, {L"whatsnew"}) != 0) return S_OK;
      noted = true;
      OptionalText text;
      RETURN_IF_FAILED(source_.Text(child, text));
      SetText(fields.text, kVerWhatsnew, text);
      return S_OK;
    });
  }

  Source& source_;
  CatalogContent& content_;
  // Reused from one entry to the next.
  SoftwareFields software_;
};

// The registry-key file: a "vedad" root whose "result" attribute, when not
// 0, rejects the file; each element child with a "name" attribute is a
// program, each element child of it a key (as written) for that name
// (lower-cased). The first program named for a key keeps it. May throw
// bad_alloc.
template <typename Source>
HRESULT RegistryKeys(Source& source, KeyTableBuilder<UniqueBstr>& keys) {
  using Node = typename Source::Node;
  return source.Root(L"vedad"sv, [&](Node& root) -> HRESULT {
    bool rejected = false;
    RETURN_IF_FAILED(source.EachAttribute(root, [&](std::wstring_view name,
                                                    std::wstring_view value) {
      // NOLINTNEXTLINE(bugprone-suspicious-stringview-data-usage): both end in a NUL, see above
      if (SameText(name.data(), L"result") && TextToInt(value.data()) != 0) rejected = true;
      return S_OK;
    }));
    if (rejected) return S_OK;
    return source.Elements(root, [&](Node& software) -> HRESULT {
      UniqueBstr softName;
      bool named = false;
      RETURN_IF_FAILED(source.Attributes(software, {L"name"sv}, [&](int, std::wstring_view value) {
        named = true;
        return CopyText(value, softName);
      }));
      if (!named) return S_OK;
      LowerInPlace(softName);
      return source.Elements(software, [&](Node& keyElement) -> HRESULT {
        OptionalText text;
        RETURN_IF_FAILED(source.Text(keyElement, text));
        UniqueBstr key;
        RETURN_IF_FAILED(CopyText(text, key));
        UniqueBstr name;
        RETURN_HR_IF(E_OUTOFMEMORY, !name.CopyFrom(softName.Get(), softName.Length()));
        keys.Add(std::move(key), std::move(name));
        return S_OK;
      });
    });
  });
}

}  // namespace catalog_rules
}  // namespace tessary
