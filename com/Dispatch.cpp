#include "com/Dispatch.h"

#include "com/Module.h"

namespace tessary {
namespace {

ITypeLib* g_library = nullptr;

void ReleaseLibrary() {
  if (ITypeLib* library = static_cast<ITypeLib*>(
          ::InterlockedExchangePointer(reinterpret_cast<void**>(&g_library), nullptr))) {
    library->Release();
  }
}

HRESULT ModuleLibrary(ITypeLib** out) noexcept {
  *out = nullptr;
  if (ITypeLib* cached = g_library) {
    cached->AddRef();
    *out = cached;
    return S_OK;
  }
  wchar_t path[MAX_PATH * 4] = {};
  const DWORD length = ::GetModuleFileNameW(Module::Handle(), path, MAX_PATH * 4);
  if (length == 0 || length >= MAX_PATH * 4) return E_FAIL;
  ITypeLib* library = nullptr;
  const HRESULT hr = ::LoadTypeLibEx(path, REGKIND_NONE, &library);
  if (FAILED(hr)) return hr;
  // Publish once; a loser of the race keeps the winner's copy.
  if (::InterlockedCompareExchangePointer(reinterpret_cast<void**>(&g_library), library,
                                          nullptr) == nullptr) {
    library->AddRef();
    Module::AddTermFunction(&ReleaseLibrary);
    *out = library;
    return S_OK;
  }
  library->Release();
  return ModuleLibrary(out);
}

}  // namespace

HRESULT GetModuleTypeInfo(REFIID iid, ITypeInfo** info, bool dispatchSide) noexcept {
  if (!info) return E_POINTER;
  *info = nullptr;
  Microsoft::WRL::ComPtr<ITypeLib> library;
  HRESULT hr = ModuleLibrary(&library);
  if (FAILED(hr)) return hr;
  Microsoft::WRL::ComPtr<ITypeInfo> found;
  hr = library->GetTypeInfoOfGuid(iid, &found);
  if (FAILED(hr)) return hr;
  // A dual is found by its dispatch side; calls go through the vtable side.
  HREFTYPE vtable = 0;
  Microsoft::WRL::ComPtr<ITypeInfo> interfaceSide;
  if (!dispatchSide && SUCCEEDED(found->GetRefTypeOfImplType(-1, &vtable)) &&
      SUCCEEDED(found->GetRefTypeInfo(vtable, &interfaceSide))) {
    *info = interfaceSide.Detach();
    return S_OK;
  }
  *info = found.Detach();
  return S_OK;
}

}  // namespace tessary
