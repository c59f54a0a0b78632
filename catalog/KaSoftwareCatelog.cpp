#include "catalog/KaSoftwareCatelog.h"

#include <shlwapi.h>

#include <memory>

#include "catalog/CatalogFileReader.h"
#include "common/Names.h"
#include "common/Result.h"
#include "hostlink/HostReference.h"

namespace tessary {
namespace {

using Microsoft::WRL::ComPtr;

constexpr LONG kCatalogFile = 1;
constexpr LONG kRegistryKeyFile = 2;

// The path of the data file of `kind` when the host names one that exists.
// A host out of memory fails the load: read as "no file", it would empty the
// catalog.
HRESULT ExistingDataFile(IKaDataService* data, LONG kind, UniqueBstr& path,
                         bool& exists) noexcept {
  path.Reset();
  const HRESULT hr = data->GetDataFilePath(kind, path.Receive(), 0);
  RETURN_HR_IF(hr, hr == E_OUTOFMEMORY);
  exists = SUCCEEDED(hr) && !path.Empty() && ::PathFileExistsW(path.Get());
  return S_OK;
}

HRESULT ReadDataFiles(XmlReaderChoice choice, CatalogContent& content,
                      RegistryKeyTable& keys) noexcept {
  ComPtr<IKaDataService> data;
  // Without a host or data service both tables stay empty.
  if (FAILED(GetHostService(__uuidof(IKaDataService), data))) return S_OK;
  UniqueBstr path;
  bool exists = false;
  RETURN_IF_FAILED(ExistingDataFile(data.Get(), kCatalogFile, path, exists));
  if (exists) RETURN_IF_FAILED(ReadCatalogFile(path.Get(), choice, content));
  RETURN_IF_FAILED(ExistingDataFile(data.Get(), kRegistryKeyFile, path, exists));
  if (exists) RETURN_IF_FAILED(ReadRegistryKeyFile(path.Get(), choice, keys));
  return S_OK;
}

// The table of a catalog holding nothing: shared and never freed, so that
// emptying a catalog needs no allocation.
SharedNameTable EmptyNameTable() noexcept {
  static const NameTable empty;
  return SharedNameTable(SharedNameTable(), &empty);
}

}  // namespace

HRESULT KaSoftwareCatelog::FinalConstruct() noexcept {
  names_ = EmptyNameTable();
  return S_OK;
}

STDMETHODIMP KaSoftwareCatelog::Load() noexcept {
  return LoadWith(XmlReaderChoice::Streaming);
}

HRESULT KaSoftwareCatelog::LoadWith(XmlReaderChoice choice) noexcept {
  // Everything is read aside and published whole.
  CatalogContent content(mainTypes_.Get());
  RegistryKeyTable keys;
  SharedNameTable names;
  HRESULT hr = ReadDataFiles(choice, content, keys);
  if (SUCCEEDED(hr)) {
    hr = Guarded([&]() -> HRESULT {
      names = std::make_shared<const NameTable>(std::move(content.names));
      return S_OK;
    });
  }
  // Out of memory part-way: what was read aside goes, and the catalog keeps
  // what it published last.
  if (FAILED(hr)) return hr;
  names_ = std::move(names);
  regKeys_.swap(keys);
  allCount_ = content.allCount;
  recommendCount_ = content.recommendCount;
  oneKeyCount_ = content.oneKeyCount;
  popularityCount_ = content.popularityCount;
  if (content.mainTypes) {
    mainTypes_ = content.mainTypeObject;
    mainTypes_->ReplaceTable(std::move(*content.mainTypes));
  }
  // Hosts have always been answered S_FALSE here, whatever was read.
  return S_FALSE;
}

IKaSoftWare* KaSoftwareCatelog::FindByName(BSTR lowerName) const noexcept {
  if (!names_) return nullptr;
  const auto found = names_->find(lowerName);
  return found == names_->end() ? nullptr : found->second.Get();
}

STDMETHODIMP KaSoftwareCatelog::GetSoftwareByName(BSTR bstrSoftName,
                                                  IKaSoftWare** lplpSoftware) noexcept {
  if (!lplpSoftware) return E_POINTER;
  *lplpSoftware = nullptr;
  UniqueBstr name;
  if (!name.CopyFrom(bstrSoftName, ::SysStringLen(bstrSoftName))) return E_OUTOFMEMORY;
  LowerInPlace(name);
  IKaSoftWare* entry = FindByName(name.Get());
  if (!entry) return E_FAIL;
  entry->AddRef();
  *lplpSoftware = entry;
  return S_OK;
}

STDMETHODIMP KaSoftwareCatelog::GetSoftwareByRegkey(BSTR bstrSoftReg,
                                                    IKaSoftWare** lplpSoftware) noexcept {
  if (!lplpSoftware) return E_POINTER;
  *lplpSoftware = nullptr;
  const auto key = regKeys_.find(bstrSoftReg);
  if (key == regKeys_.end()) return E_FAIL;
  IKaSoftWare* entry = FindByName(key->second.Get());
  if (!entry) return E_FAIL;
  entry->AddRef();
  *lplpSoftware = entry;
  return S_OK;
}

STDMETHODIMP KaSoftwareCatelog::GetSoftwareNameByRegKey(BSTR bstrSoftReg,
                                                        BSTR* lpbstrSoftName) noexcept {
  if (!lpbstrSoftName) return E_POINTER;
  *lpbstrSoftName = nullptr;
  const auto key = regKeys_.find(bstrSoftReg);
  if (key == regKeys_.end()) return E_FAIL;
  UniqueBstr copy;
  if (!copy.CopyFrom(key->second.Get(), key->second.Length())) return E_OUTOFMEMORY;
  *lpbstrSoftName = copy.Detach();
  return S_OK;
}

STDMETHODIMP KaSoftwareCatelog::GetSoftCount(kaSoftInnerType softType,
                                             LONG* lplSoftCount) noexcept {
  if (!lplSoftCount) return E_POINTER;
  switch (softType) {
    case kaSoftInnerType_all:
      *lplSoftCount = allCount_;
      return S_OK;
    case kaSoftInnerType_recommend:
      *lplSoftCount = recommendCount_;
      return S_OK;
    case kaSoftInnerType_onekey:
      *lplSoftCount = oneKeyCount_;
      return S_OK;
    case kaSoftInnerType_popularity:
      *lplSoftCount = popularityCount_;
      return S_OK;
    default:
      *lplSoftCount = 0;
      return E_FAIL;
  }
}

STDMETHODIMP KaSoftwareCatelog::GetEnum(IKaEnumSoftware** lpEnumSoftware) noexcept {
  if (!lpEnumSoftware) return E_POINTER;
  *lpEnumSoftware = nullptr;
  cursor_.Rewind(names_);
  // Through the object's identity: an aggregating object decides.
  if (FAILED(QueryInterface(IID_PPV_ARGS(lpEnumSoftware)))) return E_FAIL;
  return S_OK;
}

STDMETHODIMP KaSoftwareCatelog::GetSoftMainType(IKaSoftMainType** lplpSoftMainType) noexcept {
  if (!lplpSoftMainType) return E_POINTER;
  *lplpSoftMainType = nullptr;
  if (!mainTypes_) return E_FAIL;
  if (FAILED(mainTypes_->QueryInterface(IID_PPV_ARGS(lplpSoftMainType)))) return E_FAIL;
  return S_OK;
}

STDMETHODIMP KaSoftwareCatelog::Next(ULONG celt, IKaSoftWare** rgelt,
                                     ULONG* pceltFetched) noexcept {
  return cursor_.Next(celt, rgelt, pceltFetched);
}

STDMETHODIMP KaSoftwareCatelog::Skip(ULONG celt) noexcept { return cursor_.Skip(celt); }

STDMETHODIMP KaSoftwareCatelog::Reset() noexcept { return cursor_.Reset(); }

STDMETHODIMP KaSoftwareCatelog::Clone(IKaEnumSoftware** ppenum) noexcept {
  return cursor_.Clone(this, ppenum);
}

HRESULT CreateKaSoftwareCatelog(IUnknown* outer, REFIID riid, void** ppv) noexcept {
  return CreateComInstance<KaSoftwareCatelog>(outer, riid, ppv);
}

}  // namespace tessary
