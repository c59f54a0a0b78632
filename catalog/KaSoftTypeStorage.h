#pragma once
// Registry key names of installed programs to the name of their main type,
// read from the type files below the data folder.
#include <windows.h>
#include <wrl/client.h>

#include <map>
#include <string>

#include "TessaryLib.h"
#include "catalog/CatalogKeys.h"
#include "common/Unique.h"
#include "com/ComObject.h"

namespace tessary {

class KaSoftTypeStorage final : public ComObject<KaSoftTypeStorage, IKaSoftTypeStorage> {
 public:
  KaSoftTypeStorage() noexcept = default;

  // Borrows the main types of the catalog that the published status manager
  // hands out. Creation goes on without them; the storage then stays empty.
  HRESULT FinalConstruct() noexcept;

  // Reads every ".xml" file below `folder`, subfolders included. Entries of
  // all files share one table, first key wins; each folder is read in name
  // order so the outcome does not hang on the file system's listing order.
  HRESULT Scan(const std::wstring& folder) noexcept;
  // The folder the status manager scans: "..\KaData\SoftType" beside the module.
  static std::wstring DefaultFolder();

  STDMETHODIMP GetSoftMainTypeByRegKey(BSTR bstrRegKey, BSTR* lpbstrMainType) noexcept override;

 private:
  // Each fails only when memory runs out.
  HRESULT ScanFolder(const std::wstring& folder);
  HRESULT ReadTypeFile(const std::wstring& path);

  Microsoft::WRL::ComPtr<IKaSoftMainType> mainTypes_;
  std::map<UniqueBstr, UniqueBstr, KeyLess> types_;
};

HRESULT CreateKaSoftTypeStorage(IUnknown* outer, REFIID riid, void** ppv) noexcept;

}  // namespace tessary
