#pragma once
// The main-type table: main type identifiers to their display names.
#include <windows.h>
#include <msxml.h>

#include <map>

#include "TessaryLib.h"
#include "catalog/CatalogKeys.h"
#include "common/Unique.h"
#include "com/ComObject.h"

namespace tessary {

// Main type identifier to display name; the first entry of an identifier stays.
using MainTypeTable = std::map<UniqueBstr, UniqueBstr, KeyLess>;

// Fills `table` from the element children of a main-type list element, by
// the catalog's rule (CatalogGrammar.h); E_OUTOFMEMORY leaves it
// part-filled. May throw bad_alloc.
HRESULT ReadMainTypeList(IXMLDOMNode* list, MainTypeTable& table);

class KaSoftMainType final : public ComObject<KaSoftMainType, IKaSoftMainType> {
 public:
  KaSoftMainType() noexcept = default;
  HRESULT FinalConstruct() noexcept;

  // A copy of the display name of `typeId` (S_OK), or of the default type
  // name when the table lacks it (S_FALSE).
  HRESULT TypeName(BSTR typeId, UniqueBstr& name) const noexcept {
    return TypeNameIn(table_, typeId, name);
  }
  // The same against a table read aside, with this object's default name.
  HRESULT TypeNameIn(const MainTypeTable& table, BSTR typeId, UniqueBstr& name) const noexcept;

  const MainTypeTable& Table() const noexcept { return table_; }
  void ReplaceTable(MainTypeTable&& table) noexcept { table_.swap(table); }

  STDMETHODIMP Load(IXMLDOMNode* lpMainTypeNode) noexcept override;
  STDMETHODIMP GetTypeNameByID(BSTR bstrTypeID, BSTR* lpbstrTypeName) noexcept override;

 private:
  MainTypeTable table_;
  UniqueBstr defaultName_;
};

HRESULT CreateKaSoftMainType(IUnknown* outer, REFIID riid, void** ppv) noexcept;

}  // namespace tessary
