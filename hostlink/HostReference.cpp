#include "hostlink/HostReference.h"

#include <utility>

#include "com/Module.h"

namespace tessary {
namespace {

// Apartment-threaded callers only: the reference is read and written on the
// host's thread, as the host attaches and detaches there.
IKaHostServices* g_host = nullptr;
bool g_releaseAtUnload = false;

void ReleaseAtUnload() { ClearHostReference(); }

}  // namespace

void SetHostReference(IKaHostServices* host) noexcept {
  if (host) {
    host->AddRef();
    // A host that never detaches is still released when the module goes.
    if (!g_releaseAtUnload) g_releaseAtUnload = Module::AddTermFunction(&ReleaseAtUnload);
  }
  // Released after the swap: the old host's destructor may call back in.
  IKaHostServices* old = std::exchange(g_host, host);
  if (old) old->Release();
}

void ClearHostReference() noexcept { SetHostReference(nullptr); }

Microsoft::WRL::ComPtr<IKaHostServices> HostReference() noexcept {
  return Microsoft::WRL::ComPtr<IKaHostServices>(g_host);
}

HRESULT GetHostService(REFGUID serviceId, REFIID riid, void** ppv) noexcept {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  const Microsoft::WRL::ComPtr<IKaHostServices> host = HostReference();
  if (!host) return E_FAIL;
  Microsoft::WRL::ComPtr<IUnknown> service;
  if (FAILED(host->GetService(serviceId, service.GetAddressOf())) || !service) return E_FAIL;
  return service->QueryInterface(riid, ppv);
}

}  // namespace tessary
