// The document-parser readers, and the choice between them and the
// streaming readers.
#include "catalog/CatalogFileReader.h"

#include <msxml.h>

#include <string_view>

#include "common/Result.h"
#include "datafiles/DataFiles.h"
#include "datafiles/XmlDom.h"

namespace tessary {
namespace {

using Microsoft::WRL::ComPtr;

std::wstring_view ViewOfBstr(const UniqueBstr& text) noexcept {
  return std::wstring_view(text ? text.Get() : L"", text.Length());
}

// Reads an element's attributes one after another; the first failure is kept,
// so a run of reads is checked once.
class AttributeReader {
 public:
  explicit AttributeReader(IXMLDOMNode* element) noexcept : element_(element) {}
  // The attribute's text, or null when the element has none; valid until the
  // next read.
  const wchar_t* operator()(const wchar_t* name) noexcept {
    const HRESULT hr = AttributeByName(element_, name, text_);
    if (FAILED(hr) && SUCCEEDED(failure_)) failure_ = hr;
    return hr == S_OK ? text_.Get() : nullptr;
  }
  const UniqueBstr& text() const noexcept { return text_; }
  HRESULT failure() const noexcept { return failure_; }

 private:
  IXMLDOMNode* element_;
  UniqueBstr text_;
  HRESULT failure_ = S_OK;
};

// S_FALSE when the element has no "version" attribute: no item then.
HRESULT ReadVersion(IXMLDOMNode* element, VersionFields& fields) {
  AttributeReader attribute(element);
  if (!attribute(L"version")) return FAILED(attribute.failure()) ? attribute.failure() : S_FALSE;
  fields.text.Set(kVerVersion, attribute.text());
  if (attribute(L"displayver")) {
    fields.text.Set(kVerDisplayVersion, attribute.text());
  } else {
    fields.text.SetSame(kVerDisplayVersion, kVerVersion);
  }
  fields.trial = IsTrialRelease(attribute(L"ver_attribute"));
  RETURN_IF_FAILED(attribute.failure());
  // Release notes come from the first child named exactly "whatsnew".
  ForEachChildNode(element, [&](IXMLDOMNode* child) -> HRESULT {
    if (MatchName(NodeName(child).Get(), {L"whatsnew"}) != 0) return S_OK;
    fields.text.Set(kVerWhatsnew, NodeText(child));
    return S_FALSE;
  });
  return S_OK;
}

HRESULT ReadSoftware(IXMLDOMNode* element, const CatalogContent& content,
                     SoftwareFields& fields) {
  AttributeReader attribute(element);
  if (attribute(L"main_type")) {
    const UniqueBstr* typeName = nullptr;
    RETURN_IF_FAILED(content.TypeName(ViewOfBstr(attribute.text()), typeName));
    fields.text.Set(kSoftMainType, *typeName);
  }
  fields.flags = FlagOf(attribute(L"is_main_recommend"), KaSoftWare::kMainRecommend) |
                 FlagOf(attribute(L"is_onekey_install"), KaSoftWare::kOneKeyInstall) |
                 FlagOf(attribute(L"is_popularity"), KaSoftWare::kPopularity);
  fields.totalMark = TextToInt64(attribute(L"totaljudgeofmark"));
  fields.totalDownload = TextToInt64(attribute(L"totaldownloadtimes"));
  fields.totalJudge = TextToInt64(attribute(L"totaljudgeoftimes"));
  RETURN_IF_FAILED(attribute.failure());

  return ForEachChildNode(element, [&](IXMLDOMNode* child) -> HRESULT {
    UniqueBstr tag = NodeName(child);
    LowerBstr(tag);
    const int match = MatchSoftwareChild(ViewOfBstr(tag));
    if (match < 0) return S_OK;
    if (match == kChildVersion) {
      const HRESULT hr = ReadVersion(child, fields.AddVersion());
      if (hr != S_OK) fields.DropVersion();
      return FAILED(hr) ? hr : S_OK;
    }
    // A repeated field keeps its last occurrence.
    fields.text.Set(kChildText[match], NodeText(child));
    if (match == kChildName) LowerName(fields);
    return S_OK;
  });
}

HRESULT ReadSoftwareList(IXMLDOMNode* list, CatalogContent& content) {
  content.BeginSoftwareList();
  // Every child node counts, comments included, accepted or not.
  content.allCount = static_cast<LONG>(ChildNodeCount(list));
  return ForEachChildElement(list, [&](IXMLDOMNode* element) -> HRESULT {
    // Entries need the main types to be read first.
    if (!content.TypesInForce()) return S_OK;
    SoftwareFields fields;
    RETURN_IF_FAILED(ReadSoftware(element, content, fields));
    ComPtr<KaSoftWare> entry;
    RETURN_IF_FAILED(MakeSoftware(fields, entry));
    return content.AddSoftware(std::move(entry));
  });
}

// The "vedad" root of the file; null when it does not parse or has none.
HRESULT LoadRoot(const wchar_t* path, ComPtr<IXMLDOMNode>& root) noexcept {
  ComPtr<IXMLDOMDocument> document;
  const HRESULT hr = LoadXmlFileWithResult(path, document);
  RETURN_HR_IF(hr, hr == E_OUTOFMEMORY);
  return SUCCEEDED(hr) ? SelectRoot(document.Get(), L"vedad", root) : S_OK;
}

HRESULT ReadCatalogDocument(const wchar_t* path, CatalogContent& content) noexcept {
  return Guarded([&]() -> HRESULT {
    ComPtr<IXMLDOMNode> root;
    RETURN_IF_FAILED(LoadRoot(path, root));
    RETURN_IF_FAILED(ForEachChildElement(root.Get(), [&](IXMLDOMNode* element) -> HRESULT {
      UniqueBstr tag = NodeName(element);
      LowerBstr(tag);
      const int match = MatchName(tag.Get(), {L"main_type_list", L"software_list"});
      if (match == 1) return ReadSoftwareList(element, content);
      if (match != 0) return S_OK;
      MainTypeTable* table = nullptr;
      RETURN_IF_FAILED(content.BeginMainTypeList(table));
      return ReadMainTypeList(element, *table);
    }));
    content.Finish();
    return S_OK;
  });
}

HRESULT ReadRegistryKeyDocument(const wchar_t* path, RegistryKeyTable& table) noexcept {
  return Guarded([&]() -> HRESULT {
    ComPtr<IXMLDOMNode> root;
    RETURN_IF_FAILED(LoadRoot(path, root));
    if (!root) return S_OK;
    KeyTableBuilder<UniqueBstr> keys;
    bool rejected = false;
    ForEachAttribute(root.Get(), [&](BSTR name, BSTR text) {
      if (NameEquals(name, L"result") && TextToInt(text) != 0) rejected = true;
    });
    if (rejected) return S_OK;
    RETURN_IF_FAILED(ForEachChildElement(root.Get(), [&](IXMLDOMNode* software) -> HRESULT {
      UniqueBstr softName;
      const HRESULT named = AttributeByName(software, L"name", softName);
      if (named != S_OK) return FAILED(named) ? named : S_OK;
      LowerBstr(softName);
      return ForEachChildElement(software, [&](IXMLDOMNode* keyElement) -> HRESULT {
        UniqueBstr name;
        RETURN_HR_IF(E_OUTOFMEMORY, !name.CopyFrom(softName.Get(), softName.Length()));
        // Keys stay as written: lookups by registry key are case-sensitive.
        // The first software named for a key keeps it.
        keys.Add(NodeText(keyElement), std::move(name));
        return S_OK;
      });
    }));
    keys.Build(table);
    return S_OK;
  });
}

}  // namespace

HRESULT ReadCatalogFile(const wchar_t* path, XmlReaderChoice choice,
                        CatalogContent& content) noexcept {
  if (choice == XmlReaderChoice::Streaming) {
    CatalogContent streamed(content.mainTypeObject.Get());
    const HRESULT hr = StreamCatalogFile(path, streamed);
    if (SUCCEEDED(hr) || hr == E_OUTOFMEMORY) {
      if (SUCCEEDED(hr)) content = std::move(streamed);
      return hr;
    }
  }
  return ReadCatalogDocument(path, content);
}

HRESULT ReadRegistryKeyFile(const wchar_t* path, XmlReaderChoice choice,
                            RegistryKeyTable& keys) noexcept {
  if (choice == XmlReaderChoice::Streaming) {
    RegistryKeyTable streamed;
    const HRESULT hr = StreamRegistryKeyFile(path, streamed);
    if (SUCCEEDED(hr) || hr == E_OUTOFMEMORY) {
      if (SUCCEEDED(hr)) keys.swap(streamed);
      return hr;
    }
  }
  return ReadRegistryKeyDocument(path, keys);
}

}  // namespace tessary
