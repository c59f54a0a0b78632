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

class KaSoftMainType final : public ComObject<KaSoftMainType, IKaSoftMainType> {
 public:
  KaSoftMainType() noexcept = default;
  HRESULT FinalConstruct() noexcept;

  // A copy of the display name of `typeId` (S_OK), or of the default type
  // name when the table lacks it (S_FALSE).
  HRESULT TypeName(BSTR typeId, UniqueBstr& name) const noexcept;

  STDMETHODIMP Load(IXMLDOMNode* lpMainTypeNode) noexcept override;
  STDMETHODIMP GetTypeNameByID(BSTR bstrTypeID, BSTR* lpbstrTypeName) noexcept override;

 private:
  std::map<UniqueBstr, UniqueBstr, KeyLess> table_;
  UniqueBstr defaultName_;
};

HRESULT CreateKaSoftMainType(IUnknown* outer, REFIID riid, void** ppv) noexcept;

}  // namespace tessary
