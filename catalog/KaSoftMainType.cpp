#include "catalog/KaSoftMainType.h"

#include "catalog/CatalogGrammar.h"
#include "catalog/DomNodeSource.h"
#include "com/Module.h"
#include "com/ResourceIds.h"
#include "common/Result.h"

namespace tessary {
namespace {

// The module's default type name, for a module built without its string table.
constexpr wchar_t kDefaultTypeName[] = L"\x672a\x77e5\x7c7b\x522b";

}  // namespace

HRESULT KaSoftMainType::FinalConstruct() noexcept {
  // With a zero length LoadStringW points into the resource itself.
  const wchar_t* text = nullptr;
  const int length = ::LoadStringW(Module::Handle(), IDS_DefaultTypeName,
                                   reinterpret_cast<wchar_t*>(&text), 0);
  const bool copied = length > 0 && text ? defaultName_.CopyFrom(text, static_cast<UINT>(length))
                                         : defaultName_.CopyFrom(kDefaultTypeName);
  return copied ? S_OK : E_OUTOFMEMORY;
}

HRESULT ReadMainTypeList(IXMLDOMNode* list, MainTypeTable& table) {
  DomNodeSource source(nullptr);
  return catalog_rules::MainTypeList(source, list, table);
}

HRESULT KaSoftMainType::TypeNameIn(const MainTypeTable& table, BSTR typeId,
                                   UniqueBstr& name) const noexcept {
  const auto found = table.find(typeId);
  const UniqueBstr& source = found == table.end() ? defaultName_ : found->second;
  if (!name.CopyFrom(source.Get(), source.Length())) return E_OUTOFMEMORY;
  return found == table.end() ? S_FALSE : S_OK;
}

STDMETHODIMP KaSoftMainType::Load(IXMLDOMNode* lpMainTypeNode) noexcept {
  if (!lpMainTypeNode) return E_POINTER;
  return Guarded([&]() -> HRESULT {
    // Read aside: running out of memory leaves the table as it was.
    MainTypeTable table;
    RETURN_IF_FAILED(ReadMainTypeList(lpMainTypeNode, table));
    table_.swap(table);
    return S_OK;
  });
}

STDMETHODIMP KaSoftMainType::GetTypeNameByID(BSTR bstrTypeID, BSTR* lpbstrTypeName) noexcept {
  if (!bstrTypeID) return E_INVALIDARG;
  if (!lpbstrTypeName) return E_POINTER;
  *lpbstrTypeName = nullptr;
  UniqueBstr name;
  const HRESULT hr = TypeName(bstrTypeID, name);
  if (FAILED(hr)) return hr;
  *lpbstrTypeName = name.Detach();
  return hr;
}

HRESULT CreateKaSoftMainType(IUnknown* outer, REFIID riid, void** ppv) noexcept {
  return CreateComInstance<KaSoftMainType>(outer, riid, ppv);
}

}  // namespace tessary
