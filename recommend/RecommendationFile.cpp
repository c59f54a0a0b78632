#include "recommend/RecommendationFile.h"

#include <oleauto.h>
#include <shlwapi.h>

#include <new>
#include <utility>

#include "common/Result.h"
#include "inventory/XmlAccess.h"

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
void ReadCatalogList(IXMLDOMNode* list, RecommendationList& catalogs) {
  ForEachChildNode(list, [&](IXMLDOMNode* node) {
    ComPtr<KaRecommendCatalog> catalog;
    if (FAILED(MakeComObject(catalog))) throw std::bad_alloc();
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
    if (!pair.name.CopyFrom(name, ::SysStringLen(name))) throw std::bad_alloc();
    pair.catalog = std::move(catalog);
    catalogs.push_back(std::move(pair));
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
  if (FAILED(LoadXmlFileWithResult(path, document))) return S_FALSE;
  const ComPtr<IXMLDOMNode> root = SelectRoot(document.Get(), L"new_onekey");
  if (!root) return S_FALSE;
  // Read aside: running out of memory halfway leaves the caller's list whole.
  return Guarded([&]() -> HRESULT {
    RecommendationList read;
    ForEachChildNode(root.Get(), [&](IXMLDOMNode* child) {
      if (Named(child, L"funtionlist")) {
        ReadCatalogList(child, read);
      } else if (Named(child, L"softlist")) {
        ReadEntryList(child, read);
      }
    });
    for (RecommendedCatalog& pair : read) pair.catalog->SortEntries();
    catalogs.swap(read);
    return S_OK;
  });
}

}  // namespace tessary
