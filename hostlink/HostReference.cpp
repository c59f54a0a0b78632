#include "hostlink/HostReference.h"

#include <objbase.h>

#include <new>
#include <utility>
#include <vector>

#include "com/Module.h"
#include "common/SrwLock.h"
#include "common/Unique.h"

namespace tessary {
namespace {

// A host's interfaces have no proxy, so a host may be called only in the
// apartment that attached it: each apartment keeps its own reference. Within
// one apartment it is the plain shared reference it always was.
//
// A single-threaded apartment is its thread, named by id and creation time:
// ids are reused, and a thread that attached and ended without Detach must
// not hand its host to a later thread of the same id.
struct Apartment {
  DWORD thread;       // 0 for the multithreaded apartment
  ULONGLONG created;  // the thread's creation time
  bool operator==(const Apartment&) const = default;
};

struct ApartmentHost {
  Apartment apartment;
  IKaHostServices* host;
};

SrwLock g_lock;
std::vector<ApartmentHost>* g_hosts = nullptr;
bool g_releaseAtUnload = false;

ULONGLONG CreationTime(HANDLE thread) noexcept {
  FILETIME created = {}, exited = {}, kernel = {}, user = {};
  if (!::GetThreadTimes(thread, &created, &exited, &kernel, &user)) return 0;
  return (static_cast<ULONGLONG>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

// The thread of a single-threaded apartment (or of a thread outside COM); 0
// for the multithreaded apartment, which all its threads share.
DWORD CurrentApartmentThread() noexcept {
  APTTYPE type = APTTYPE_CURRENT;
  APTTYPEQUALIFIER qualifier = APTTYPEQUALIFIER_NONE;
  if (SUCCEEDED(::CoGetApartmentType(&type, &qualifier)) && type == APTTYPE_MTA) return 0;
  return ::GetCurrentThreadId();
}

Apartment CurrentApartment() noexcept {
  const DWORD thread = CurrentApartmentThread();
  return {thread, thread ? CreationTime(::GetCurrentThread()) : 0};
}

// Whether the thread of a single-threaded apartment is gone: no thread has
// its id, another thread has it now, or it has run to its end.
bool HasEnded(const Apartment& apartment) noexcept {
  if (apartment.thread == 0) return false;
  const UniqueHandle thread(::OpenThread(SYNCHRONIZE | THREAD_QUERY_LIMITED_INFORMATION, FALSE,
                                         apartment.thread));
  if (!thread) return true;
  return CreationTime(thread.get()) != apartment.created ||
         ::WaitForSingleObject(thread.get(), 0) != WAIT_TIMEOUT;
}

// Drops the entries of apartments whose threads have ended, without calling
// their hosts: a host lives in its apartment, and a Release from any other
// thread would call into an object whose apartment is gone (its destructor
// would run on a foreign thread). Its reference is leaked on purpose; a host
// that forgets Detach and ends its thread leaks one object, never a crash.
void DropEndedApartments(std::vector<ApartmentHost>& hosts) noexcept {
  std::erase_if(hosts, [](const ApartmentHost& entry) { return HasEnded(entry.apartment); });
}

// Runs at unload, when no apartment can be asked any more: whatever a host
// never detached is let go from here, but for the hosts of ended apartments.
void ReleaseAtUnload() {
  std::vector<ApartmentHost>* hosts = nullptr;
  {
    SrwLock::Exclusive guard(g_lock);
    hosts = std::exchange(g_hosts, nullptr);
    g_releaseAtUnload = false;
  }
  if (!hosts) return;
  DropEndedApartments(*hosts);
  for (const ApartmentHost& entry : *hosts) entry.host->Release();
  delete hosts;
}

}  // namespace

void SetHostReference(IKaHostServices* host) noexcept {
  const Apartment apartment = CurrentApartment();
  IKaHostServices* old = nullptr;
  if (host) host->AddRef();
  bool addTerm = false;
  {
    SrwLock::Exclusive guard(g_lock);
    try {
      if (!g_hosts) g_hosts = new std::vector<ApartmentHost>();
      DropEndedApartments(*g_hosts);
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
  const DWORD thread = CurrentApartmentThread();
  // The creation time costs a call to the system: asked only when an entry
  // has this thread's id.
  ULONGLONG created = 0;
  bool timed = thread == 0;
  SrwLock::Shared guard(g_lock);
  if (!g_hosts) return nullptr;
  for (const ApartmentHost& entry : *g_hosts) {
    if (entry.apartment.thread != thread) continue;
    if (!timed) {
      created = CreationTime(::GetCurrentThread());
      timed = true;
    }
    // AddRef in the host's own apartment, taken under the lock so that no
    // Set on this apartment can release it meanwhile.
    if (entry.apartment.created == created) {
      return Microsoft::WRL::ComPtr<IKaHostServices>(entry.host);
    }
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
