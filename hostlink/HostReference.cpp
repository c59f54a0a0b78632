#include "hostlink/HostReference.h"

#include <objbase.h>

#include <new>
#include <utility>
#include <vector>

#include "com/Module.h"
#include "common/SrwLock.h"

namespace tessary {
namespace {

// A host's interfaces have no proxy, so a host may be called only in the
// apartment that attached it: each apartment keeps its own reference. Within
// one apartment it is the plain shared reference it always was.
struct ApartmentHost {
  DWORD apartment;
  IKaHostServices* host;
};

SrwLock g_lock;
std::vector<ApartmentHost>* g_hosts = nullptr;
bool g_releaseAtUnload = false;

// The thread for a single-threaded apartment (or a thread outside COM); 0
// for the multithreaded apartment, which all its threads share.
DWORD CurrentApartment() noexcept {
  APTTYPE type = APTTYPE_CURRENT;
  APTTYPEQUALIFIER qualifier = APTTYPEQUALIFIER_NONE;
  if (SUCCEEDED(::CoGetApartmentType(&type, &qualifier)) && type == APTTYPE_MTA) return 0;
  return ::GetCurrentThreadId();
}

// Runs at unload, when no apartment can be asked any more: whatever a host
// never detached is let go from here.
void ReleaseAtUnload() {
  std::vector<ApartmentHost>* hosts = nullptr;
  {
    SrwLock::Exclusive guard(g_lock);
    hosts = std::exchange(g_hosts, nullptr);
    g_releaseAtUnload = false;
  }
  if (!hosts) return;
  for (const ApartmentHost& entry : *hosts) entry.host->Release();
  delete hosts;
}

}  // namespace

void SetHostReference(IKaHostServices* host) noexcept {
  const DWORD apartment = CurrentApartment();
  IKaHostServices* old = nullptr;
  if (host) host->AddRef();
  bool addTerm = false;
  {
    SrwLock::Exclusive guard(g_lock);
    try {
      if (!g_hosts) g_hosts = new std::vector<ApartmentHost>();
      auto it = g_hosts->begin();
      while (it != g_hosts->end() && it->apartment != apartment) ++it;
      if (it != g_hosts->end()) {
        old = std::exchange(it->host, host);
        if (!host) g_hosts->erase(it);
      } else if (host) {
        g_hosts->push_back({apartment, host});
      }
      host = nullptr;  // kept
    } catch (const std::bad_alloc&) {
      // Not kept: this apartment's objects then find no host, and fail cleanly.
    }
    // A host that never detaches is still released when the module goes.
    if (g_hosts && !g_hosts->empty() && !g_releaseAtUnload) addTerm = g_releaseAtUnload = true;
  }
  if (addTerm && !Module::AddTermFunction(&ReleaseAtUnload)) {
    SrwLock::Exclusive guard(g_lock);
    g_releaseAtUnload = false;
  }
  // Released outside the lock: a host's destructor may call back in.
  if (host) host->Release();
  if (old) old->Release();
}

void ClearHostReference() noexcept { SetHostReference(nullptr); }

Microsoft::WRL::ComPtr<IKaHostServices> HostReference() noexcept {
  const DWORD apartment = CurrentApartment();
  SrwLock::Shared guard(g_lock);
  if (!g_hosts) return nullptr;
  for (const ApartmentHost& entry : *g_hosts) {
    // AddRef in the host's own apartment, taken under the lock so that no
    // Set on this apartment can release it meanwhile.
    if (entry.apartment == apartment) return Microsoft::WRL::ComPtr<IKaHostServices>(entry.host);
  }
  return nullptr;
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
