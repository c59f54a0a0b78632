#include "catalog/CatalogContent.h"

#include "common/Result.h"

namespace tessary {

HRESULT CatalogContent::BeginMainTypeList(MainTypeTable*& table) {
  // Created once and kept: a later catalog without a list still resolves
  // through the table read here.
  if (!mainTypeObject) RETURN_IF_FAILED(MakeComObject(mainTypeObject));
  table = &mainTypes.emplace();
  resolved_.clear();
  return S_OK;
}

const MainTypeTable* CatalogContent::TypesInForce() const noexcept {
  if (mainTypes) return &*mainTypes;
  return mainTypeObject ? &mainTypeObject->Table() : nullptr;
}

HRESULT CatalogContent::TypeName(std::wstring_view typeId, const UniqueBstr*& name) const {
  const MainTypeTable* table = TypesInForce();
  if (!table) return E_FAIL;
  auto [cached, added] = resolved_.try_emplace(std::wstring(typeId));
  auto& [hr, resolvedName] = cached->second;
  if (added) {
    UniqueBstr id;
    RETURN_HR_IF(E_OUTOFMEMORY, !id.CopyFrom(typeId.data(), static_cast<UINT>(typeId.size())));
    hr = mainTypeObject->TypeNameIn(*table, id.Get(), resolvedName);
    if (FAILED(hr)) {
      const HRESULT failure = hr;
      resolved_.erase(cached);
      return failure;
    }
  }
  name = &resolvedName;
  return hr;
}

void CatalogContent::BeginSoftwareList() noexcept {
  // The counters are those of the last list read.
  ++softwareList_;
  allCount = 0;
}

HRESULT CatalogContent::AddSoftware(Microsoft::WRL::ComPtr<KaSoftWare> entry) {
  UniqueBstr key;
  RETURN_HR_IF(E_OUTOFMEMORY, !key.CopyFrom(entry->Name(), entry->NameLength()));
  // Kept in step with the entries: a failure drops the whole content.
  softwareMarks_.emplace_back(entry->Flags(), softwareList_);
  software_.Add(std::move(key), std::move(entry));
  return S_OK;
}

void CatalogContent::Finish() {
  std::vector<size_t> kept;
  // Hosts look programs up by name one by one, thousands per update check.
  software_.KeepSortKeys();
  software_.Build(names, &kept);
  recommendCount = oneKeyCount = popularityCount = 0;
  for (const size_t position : kept) {
    const auto [flags, list] = softwareMarks_[position];
    if (list != softwareList_) continue;
    if (flags & KaSoftWare::kMainRecommend) ++recommendCount;
    if (flags & KaSoftWare::kOneKeyInstall) ++oneKeyCount;
    if (flags & KaSoftWare::kPopularity) ++popularityCount;
  }
  softwareMarks_.clear();
}

HRESULT MakeSoftware(const SoftwareFields& fields,
                     Microsoft::WRL::ComPtr<KaSoftWare>& entry) noexcept {
  RETURN_IF_FAILED(MakeComObject(entry));
  return entry->Assign(fields);
}

}  // namespace tessary
