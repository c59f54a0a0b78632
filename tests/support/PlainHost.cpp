#include "support/PlainHost.h"

#include <olectl.h>

#include <algorithm>
#include <atomic>

#include "common/Result.h"

namespace tessary::testing {

using Microsoft::WRL::ComPtr;

namespace {
std::atomic<int> g_live = 0;
std::atomic<int> g_foreign = 0;
}  // namespace

int PlainHostObjects() noexcept { return g_live; }
int PlainHostForeignCalls() noexcept { return g_foreign; }
PlainHostObject::PlainHostObject() noexcept : owner_(::GetCurrentThreadId()) { ++g_live; }
PlainHostObject::~PlainHostObject() {
  Touch();
  --g_live;
}
void PlainHostObject::Touch() const noexcept {
  if (::GetCurrentThreadId() != owner_) ++g_foreign;
}

void RunOnce(Hook& hook) {
  Hook run = std::move(hook);
  hook = nullptr;
  if (run) run();
}

STDMETHODIMP PlainPoint::QueryInterface(REFIID riid, void** ppv) noexcept {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (riid != IID_IUnknown && riid != IID_IConnectionPoint) return E_NOINTERFACE;
  *ppv = static_cast<IConnectionPoint*>(this);
  AddRef();
  return S_OK;
}

STDMETHODIMP PlainPoint::GetConnectionInterface(IID* iid) noexcept {
  if (!iid) return E_POINTER;
  *iid = iid_;
  return S_OK;
}

STDMETHODIMP PlainPoint::GetConnectionPointContainer(IConnectionPointContainer** out) noexcept {
  if (!out) return E_POINTER;
  *out = container_;
  container_->AddRef();
  return S_OK;
}

STDMETHODIMP PlainPoint::Advise(IUnknown* sink, DWORD* cookie) noexcept {
  Touch();
  const HRESULT hr = sinks_.Advise(iid_, sink, cookie);
  if (SUCCEEDED(hr)) RunOnce(onAdvise);
  return hr;
}

void PlainRegistry::Announce(LONG kind, const GUID& iid, IUnknown* service) noexcept {
  for (const auto& sink : events.Sinks()) {
    static_cast<IKaServiceEvents*>(sink.Get())->OnServiceEvent(kind, &iid, service);
  }
}

STDMETHODIMP PlainRegistry::RegisterService(REFGUID iid, IUnknown* object) noexcept {
  Touch();
  if (!object) return E_POINTER;
  services_.emplace_back(iid, object);
  Announce(1, iid, object);
  return S_OK;
}

STDMETHODIMP PlainRegistry::RevokeService(REFGUID iid) noexcept {
  Touch();
  const auto found = std::find_if(services_.begin(), services_.end(),
                                  [&](const auto& entry) { return entry.first == iid; });
  if (found == services_.end()) return S_FALSE;
  const ComPtr<IUnknown> service = found->second;
  services_.erase(found);
  Announce(2, iid, service.Get());
  return S_OK;
}

STDMETHODIMP PlainRegistry::GetService(REFGUID iid, IUnknown** object) noexcept {
  Touch();
  if (!object) return E_POINTER;
  *object = nullptr;
  RunOnce(onGetService);
  for (const auto& [id, service] : services_) {
    if (id != iid) continue;
    *object = service.Get();
    service->AddRef();
    return S_OK;
  }
  return E_NOINTERFACE;
}

void PlainNotifyService::Notify(LONG category, LONG code) noexcept {
  Touch();
  for (const auto& sink : events.Sinks()) {
    static_cast<IKaNotifyEvents*>(sink.Get())->OnNotify(category, code, 0);
  }
}

STDMETHODIMP PlainDataService::GetReloadFlag(LONG* flag) noexcept {
  Touch();
  if (!flag) return E_POINTER;
  *flag = reloadFlag;
  return S_OK;
}

STDMETHODIMP PlainDataService::GetDataFilePath(LONG kind, BSTR* path, LONG) noexcept {
  Touch();
  if (!path) return E_POINTER;
  ++pathCalls;
  RunOnce(onDataFilePath);
  *path = ::SysAllocString(kind == 1   ? catalogPath.c_str()
                           : kind == 2 ? registryKeyPath.c_str()
                                       : L"");
  return S_OK;
}

HRESULT PlainHost::Start() noexcept {
  RETURN_IF_FAILED(MakeComObject(registry));
  RETURN_IF_FAILED(MakeComObject(data));
  RETURN_IF_FAILED(MakeComObject(notify));
  return registry->RegisterService(__uuidof(IKaDataService),
                                   static_cast<IKaDataService*>(data.Get()));
}

}  // namespace tessary::testing
