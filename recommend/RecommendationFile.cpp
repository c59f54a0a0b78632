#include "recommend/RecommendationFile.h"

#include <oleauto.h>
#include <shlwapi.h>

#include <new>
#include <utility>

#include "common/Result.h"
#include "datafiles/DataFiles.h"
#include "datafiles/XmlDom.h"

namespace tessary {
namespace {

using Microsoft::WRL::ComPtr;

// Names compare as the platform compares strings: exact, case-sensitive, and
// an absent name equal to an empty one.
bool SameName(BSTR a, BSTR b) noexcept {
  return ::VarBstrCmp(a, b, LOCALE_USER_DEFAULT, 0) == static_cast<HRESULT>(VARCMP_EQ);
}

// Lower-cased node name against a lower-case literal, so capitals match too.
bool Named(IXMLDOMNode* node, const wchar_t* lowerLiteral) noexcept {
  const UniqueBstr name = NodeName(node);
  return LoweredNameEquals(name.Get(), lowerLiteral);
}

// Every child node of a "funtionlist", whatever its kind, is one catalog.
HRESULT ReadCatalogList(IXMLDOMNode* list, RecommendationList& catalogs) {
  return ForEachChildNode(list, [&](IXMLDOMNode* node) -> HRESULT {
    ComPtr<KaRecommendCatalog> catalog;
    RETURN_HR_IF(E_OUTOFMEMORY, FAILED(MakeComObject(catalog)));
    ForEachChildNode(node, [&](IXMLDOMNode* field) {
      if (Named(field, L"name")) {
        catalog->SetName(NodeText(field));
      } else if (Named(field, L"description")) {
        catalog->SetDescription(NodeText(field));
      } else if (Named(field, L"importance")) {
        catalog->SetImportance(TextToInt(NodeText(field).Get()));
      }
    });
    RecommendedCatalog pair;
    const BSTR name = catalog->Name();
    RETURN_HR_IF(E_OUTOFMEMORY, !pair.name.CopyFrom(name, ::SysStringLen(name)));
    pair.catalog = std::move(catalog);
    catalogs.push_back(std::move(pair));
    return S_OK;
  });
}

// Every child node of a "softlist" is one program; it joins the first catalog
// read so far whose name equals its "funtion0", or is dropped.
void ReadEntryList(IXMLDOMNode* list, RecommendationList& catalogs) {
  ForEachChildNode(list, [&](IXMLDOMNode* node) {
    UniqueBstr softName;
    UniqueBstr catalogName;
    LONG order = 0;
    ForEachChildNode(node, [&](IXMLDOMNode* field) {
      if (Named(field, L"name")) {
        softName = NodeText(field);
      } else if (Named(field, L"funtion0")) {
        catalogName = NodeText(field);
      } else if (Named(field, L"order")) {
        order = TextToInt(NodeText(field).Get());
      }
    });
    for (RecommendedCatalog& pair : catalogs) {
      if (SameName(pair.name.Get(), catalogName.Get())) {
        pair.catalog->AddEntry(std::move(softName), order);
        return;
      }
    }
  });
}

}  // namespace

HRESULT ReadRecommendationFile(const wchar_t* path, RecommendationList& catalogs) noexcept {
  if (!path || !*path || !::PathFileExistsW(path)) return S_FALSE;
  ComPtr<IXMLDOMDocument> document;
  const HRESULT loaded = LoadXmlFileWithResult(path, document);
  RETURN_HR_IF(loaded, loaded == E_OUTOFMEMORY);
  if (FAILED(loaded)) return S_FALSE;
  ComPtr<IXMLDOMNode> root;
  RETURN_IF_FAILED(SelectRoot(document.Get(), L"new_onekey", root));
  if (!root) return S_FALSE;
  // Read aside: running out of memory halfway leaves the caller's list whole.
  return Guarded([&]() -> HRESULT {
    RecommendationList read;
    RETURN_IF_FAILED(ForEachChildNode(root.Get(), [&](IXMLDOMNode* child) -> HRESULT {
      if (Named(child, L"funtionlist")) return ReadCatalogList(child, read);
      if (Named(child, L"softlist")) ReadEntryList(child, read);
      return S_OK;
    }));
    for (RecommendedCatalog& pair : read) pair.catalog->SortEntries();
    catalogs.swap(read);
    return S_OK;
  });
}

}  // namespace tessary
