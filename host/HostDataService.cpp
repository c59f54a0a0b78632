#include "host/HostDataService.h"

#include "common/Result.h"
#include "common/Text.h"
#include "common/Unique.h"

namespace tessary::host {

STDMETHODIMP HostDataService::GetReloadFlag(LONG* flag) noexcept {
  if (!flag) return E_POINTER;
  *flag = reloadFlag_;
  return S_OK;
}

STDMETHODIMP HostDataService::GetDataFilePath(LONG kind, BSTR* path, LONG reserved) noexcept {
  if (!path) return E_POINTER;
  *path = nullptr;
  ++pathCalls_;
  const auto found = paths_.find(kind);
  *path = ::SysAllocString(found == paths_.end() ? L"" : found->second.c_str());
  return *path ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP HostDataService::GetSetting(BSTR section, BSTR key, BSTR* value) noexcept {
  if (!value) return E_POINTER;
  *value = nullptr;
  return Guarded([&]() -> HRESULT {
    const auto found =
        settings_.find({std::wstring(TextToNul(section)), std::wstring(TextToNul(key))});
    if (found == settings_.end()) return S_FALSE;
    return CopyOut(found->second.c_str(), value);
  });
}

}  // namespace tessary::host
