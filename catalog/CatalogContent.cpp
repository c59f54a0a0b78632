#include "catalog/CatalogContent.h"

#include "common/Result.h"

namespace tessary {

HRESULT CatalogContent::BeginMainTypeList(MainTypeTable*& table) {
  // Created once and kept: a later catalog without a list still resolves
  // through the table read here.
  if (!mainTypeObject) RETURN_IF_FAILED(MakeComObject(mainTypeObject));
  table = &mainTypes.emplace();
  return S_OK;
}

const MainTypeTable* CatalogContent::TypesInForce() const noexcept {
  if (mainTypes) return &*mainTypes;
  return mainTypeObject ? &mainTypeObject->Table() : nullptr;
}

HRESULT CatalogContent::TypeName(BSTR typeId, UniqueBstr& name) const noexcept {
  const MainTypeTable* table = TypesInForce();
  if (!table) return E_FAIL;
  return mainTypeObject->TypeNameIn(*table, typeId, name);
}

void CatalogContent::BeginSoftwareList() noexcept {
  allCount = recommendCount = oneKeyCount = popularityCount = 0;
}

HRESULT CatalogContent::AddSoftware(Microsoft::WRL::ComPtr<KaSoftWare> entry) {
  UniqueBstr key;
  RETURN_HR_IF(E_OUTOFMEMORY, !key.CopyFrom(entry->Name(), ::SysStringLen(entry->Name())));
  const auto [position, inserted] = names.try_emplace(std::move(key), entry);
  if (!inserted) return S_OK;
  const DWORD flags = entry->Flags();
  if (flags & KaSoftWare::kMainRecommend) ++recommendCount;
  if (flags & KaSoftWare::kOneKeyInstall) ++oneKeyCount;
  if (flags & KaSoftWare::kPopularity) ++popularityCount;
  return S_OK;
}

HRESULT MakeSoftware(SoftwareFields&& fields,
                     Microsoft::WRL::ComPtr<KaSoftWare>& entry) noexcept {
  RETURN_IF_FAILED(MakeComObject(entry));
  entry->Assign(std::move(fields));
  return S_OK;
}

HRESULT MakeVersionItem(VersionFields&& fields,
                        Microsoft::WRL::ComPtr<KaSoftwareVerItem>& item) noexcept {
  RETURN_IF_FAILED(MakeComObject(item));
  item->Assign(std::move(fields));
  return S_OK;
}

}  // namespace tessary
