#include "catalog/KaSoftwareCatelog.h"

#include <shlwapi.h>

#include <memory>

#include "common/Result.h"
#include "hostlink/HostReference.h"
#include "datafiles/DataFiles.h"
#include "datafiles/XmlDom.h"

namespace tessary {
namespace {

using Microsoft::WRL::ComPtr;

constexpr LONG kCatalogFile = 1;
constexpr LONG kRegistryKeyFile = 2;

// The "vedad" root of the data file of `kind`; `root` stays null when the
// host names no file, the file is missing or does not parse. Only running out
// of memory fails.
HRESULT LoadDataFileRoot(IKaDataService* data, LONG kind, ComPtr<IXMLDOMNode>& root) noexcept {
  UniqueBstr path;
  if (FAILED(data->GetDataFilePath(kind, path.Receive(), 0)) || path.Empty()) return S_OK;
  if (!::PathFileExistsW(path.Get())) return S_OK;
  ComPtr<IXMLDOMDocument> document;
  const HRESULT hr = LoadXmlFileWithResult(path.Get(), document);
  RETURN_HR_IF(hr, hr == E_OUTOFMEMORY);
  if (SUCCEEDED(hr)) root = SelectRoot(document.Get(), L"vedad");
  return S_OK;
}

// The table of a catalog holding nothing: shared and never freed, so that
// emptying a catalog needs no allocation.
SharedNameTable EmptyNameTable() noexcept {
  static const NameTable empty;
  return SharedNameTable(SharedNameTable(), &empty);
}

HRESULT CopyOf(BSTR text, UniqueBstr& copy) noexcept {
  return copy.CopyFrom(text, ::SysStringLen(text)) ? S_OK : E_OUTOFMEMORY;
}

}  // namespace

HRESULT KaSoftwareCatelog::FinalConstruct() noexcept {
  names_ = EmptyNameTable();
  return S_OK;
}

STDMETHODIMP KaSoftwareCatelog::Load() noexcept {
  allCount_ = recommendCount_ = oneKeyCount_ = popularityCount_ = 0;
  regKeys_.clear();
  // Built-in and cloned cursors keep the table they hold; this one is new.
  names_ = EmptyNameTable();
  const HRESULT hr = Guarded([&]() -> HRESULT {
    auto names = std::make_shared<NameTable>();
    names_ = names;
    ComPtr<IKaDataService> data;
    // Without a host or data service both tables stay empty.
    if (FAILED(GetHostService(__uuidof(IKaDataService), data))) return S_OK;
    RETURN_IF_FAILED(ReadCatalog(data.Get(), *names));
    return ReadRegistryKeys(data.Get());
  });
  if (FAILED(hr)) {
    // Out of memory part-way: keep nothing half-read.
    allCount_ = recommendCount_ = oneKeyCount_ = popularityCount_ = 0;
    regKeys_.clear();
    // Still a collection: a rewound cursor reports the end, not a failure.
    names_ = EmptyNameTable();
    return hr;
  }
  // Hosts have always been answered S_FALSE here, whatever was read.
  return S_FALSE;
}

HRESULT KaSoftwareCatelog::ReadCatalog(IKaDataService* data, NameTable& names) {
  ComPtr<IXMLDOMNode> root;
  RETURN_IF_FAILED(LoadDataFileRoot(data, kCatalogFile, root));
  return ForEachChildElement(root.Get(), [&](IXMLDOMNode* element) -> HRESULT {
    UniqueBstr tag = NodeName(element);
    LowerBstr(tag);
    const int match = MatchName(tag.Get(), {L"main_type_list", L"software_list"});
    if (match == 0) {
      // Created once and kept: a later catalog without a list still
      // resolves through the table read here.
      if (!mainTypes_) RETURN_HR_IF(E_OUTOFMEMORY, MakeComObject(mainTypes_) == E_OUTOFMEMORY);
      if (mainTypes_) RETURN_HR_IF(E_OUTOFMEMORY, mainTypes_->Load(element) == E_OUTOFMEMORY);
    } else if (match == 1) {
      return ReadSoftwareList(element, names);
    }
    return S_OK;
  });
}

HRESULT KaSoftwareCatelog::ReadSoftwareList(IXMLDOMNode* list, NameTable& names) {
  // Every child node counts, comments included, accepted or not.
  allCount_ = static_cast<LONG>(ChildNodeCount(list));
  recommendCount_ = oneKeyCount_ = popularityCount_ = 0;
  return ForEachChildElement(list, [&](IXMLDOMNode* element) -> HRESULT {
    // Entries need the main types to be read first.
    if (!mainTypes_) return S_OK;
    ComPtr<KaSoftWare> entry;
    RETURN_HR_IF(E_OUTOFMEMORY, FAILED(MakeComObject(entry)));
    const HRESULT filled = entry->Fill(element, mainTypes_.Get());
    RETURN_HR_IF(filled, filled == E_OUTOFMEMORY);
    if (FAILED(filled)) return S_OK;
    UniqueBstr name;
    RETURN_IF_FAILED(CopyOf(entry->Name(), name));
    // The first entry of a name stays; a later one is neither kept nor counted.
    const auto [position, inserted] = names.try_emplace(std::move(name), entry);
    if (!inserted) return S_OK;
    const DWORD flags = entry->Flags();
    if (flags & KaSoftWare::kMainRecommend) ++recommendCount_;
    if (flags & KaSoftWare::kOneKeyInstall) ++oneKeyCount_;
    if (flags & KaSoftWare::kPopularity) ++popularityCount_;
    return S_OK;
  });
}

HRESULT KaSoftwareCatelog::ReadRegistryKeys(IKaDataService* data) {
  ComPtr<IXMLDOMNode> root;
  RETURN_IF_FAILED(LoadDataFileRoot(data, kRegistryKeyFile, root));
  if (!root) return S_OK;
  bool rejected = false;
  ForEachAttribute(root.Get(), [&](BSTR name, BSTR text) {
    if (NameEquals(name, L"result") && TextToInt(text) != 0) rejected = true;
  });
  if (rejected) return S_OK;
  return ForEachChildElement(root.Get(), [&](IXMLDOMNode* software) -> HRESULT {
    UniqueBstr softName;
    if (!AttributeByName(software, L"name", softName)) return S_OK;
    LowerBstr(softName);
    return ForEachChildElement(software, [&](IXMLDOMNode* keyElement) -> HRESULT {
      UniqueBstr name;
      RETURN_IF_FAILED(CopyOf(softName.Get(), name));
      // Keys stay as written: lookups by registry key are case-sensitive.
      // The first software named for a key keeps it.
      regKeys_.try_emplace(NodeText(keyElement), std::move(name));
      return S_OK;
    });
  });
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
  LowerBstr(name);
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
