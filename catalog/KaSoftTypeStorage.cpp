#include "catalog/KaSoftTypeStorage.h"

#include <shlwapi.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "common/Result.h"
#include "hostlink/HostReference.h"
#include "datafiles/DataFiles.h"
#include "datafiles/XmlDom.h"

namespace tessary {
namespace {

using Microsoft::WRL::ComPtr;

constexpr wchar_t kTypeFolder[] = L"..\\KaData\\SoftType";

struct FolderEntry {
  std::wstring name;
  bool directory = false;
};

// Case-insensitive name order, ties broken by exact order: the same folder
// reads the same way on every file system.
bool NameOrder(const FolderEntry& a, const FolderEntry& b) noexcept {
  const int folded = ::CompareStringOrdinal(a.name.c_str(), -1, b.name.c_str(), -1, TRUE);
  if (folded != CSTR_EQUAL) return folded == CSTR_LESS_THAN;
  return a.name < b.name;
}

std::vector<FolderEntry> ListFolder(const std::wstring& folder) {
  std::vector<FolderEntry> entries;
  // A pattern that does not fit a path buffer is not listed, whatever the
  // platform accepts: that also ends a walk circling through a linked folder.
  const std::wstring pattern = folder + L"\\*.*";
  if (pattern.size() >= MAX_PATH) return entries;
  WIN32_FIND_DATAW data;
  UniqueFindHandle find(::FindFirstFileW(pattern.c_str(), &data));
  if (!find) return entries;
  do {
    const std::wstring_view name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    entries.push_back({std::wstring(name), (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
  } while (::FindNextFileW(find.get(), &data));
  std::sort(entries.begin(), entries.end(), NameOrder);
  return entries;
}

}  // namespace

HRESULT KaSoftTypeStorage::FinalConstruct() noexcept {
  ComPtr<IKaSoftStatusManager> manager;
  if (FAILED(GetHostService(__uuidof(IKaSoftStatusManager), manager))) return S_OK;
  ComPtr<IKaSoftwareCatelog> catalog;
  if (FAILED(manager->GetSoftwareCatelog(catalog.GetAddressOf())) || !catalog) return S_OK;
  if (FAILED(catalog->GetSoftMainType(mainTypes_.GetAddressOf()))) mainTypes_.Reset();
  return S_OK;
}

std::wstring KaSoftTypeStorage::DefaultFolder() { return DataFilePath(kTypeFolder); }

HRESULT KaSoftTypeStorage::Scan(const std::wstring& folder) noexcept {
  // Without main types nothing can be named, so nothing is read.
  if (!mainTypes_ || folder.empty()) return S_OK;
  return Guarded([&] { return ScanFolder(folder); });
}

HRESULT KaSoftTypeStorage::ScanFolder(const std::wstring& folder) {
  for (const FolderEntry& entry : ListFolder(folder)) {
    const std::wstring path = folder + L"\\" + entry.name;
    if (path.size() >= MAX_PATH) continue;
    if (entry.directory) {
      RETURN_IF_FAILED(ScanFolder(path));
    } else if (::lstrcmpiW(::PathFindExtensionW(entry.name.c_str()), L".xml") == 0) {
      RETURN_IF_FAILED(ReadTypeFile(path));
    }
  }
  return S_OK;
}

HRESULT KaSoftTypeStorage::ReadTypeFile(const std::wstring& path) {
  ComPtr<IXMLDOMDocument> document;
  const HRESULT loaded = LoadXmlFileWithResult(path.c_str(), document);
  RETURN_HR_IF(loaded, loaded == E_OUTOFMEMORY);
  if (FAILED(loaded)) return S_OK;
  // Out of memory is reported, not read as a file without a root.
  ComPtr<IXMLDOMNode> root;
  RETURN_IF_FAILED(SelectRoot(document.Get(), L"vedad", root));
  return ForEachChildElement(root.Get(), [&](IXMLDOMNode* element) -> HRESULT {
    UniqueBstr regKey;
    UniqueBstr typeId;
    HRESULT present = AttributeByName(element, L"regkey", regKey);
    if (present == S_OK) present = AttributeByName(element, L"maintype", typeId);
    if (present != S_OK) return FAILED(present) ? present : S_OK;
    LowerInPlace(regKey);
    UniqueBstr typeName;
    const HRESULT named = mainTypes_->GetTypeNameByID(typeId.Get(), typeName.Receive());
    RETURN_HR_IF(named, named == E_OUTOFMEMORY);
    if (FAILED(named)) return S_OK;
    types_.try_emplace(std::move(regKey), std::move(typeName));
    return S_OK;
  });
}

STDMETHODIMP KaSoftTypeStorage::GetSoftMainTypeByRegKey(BSTR bstrRegKey,
                                                        BSTR* lpbstrMainType) noexcept {
  if (!lpbstrMainType) return E_POINTER;
  *lpbstrMainType = nullptr;
  UniqueBstr key;
  if (!key.CopyFrom(bstrRegKey, ::SysStringLen(bstrRegKey))) return E_OUTOFMEMORY;
  LowerInPlace(key);
  const auto found = types_.find(key.Get());
  if (found == types_.end()) return E_FAIL;
  UniqueBstr copy;
  if (!copy.CopyFrom(found->second.Get(), found->second.Length())) return E_OUTOFMEMORY;
  *lpbstrMainType = copy.Detach();
  return S_OK;
}

HRESULT CreateKaSoftTypeStorage(IUnknown* outer, REFIID riid, void** ppv) noexcept {
  return CreateComInstance<KaSoftTypeStorage>(outer, riid, ppv);
}

}  // namespace tessary
