#pragma once
// A host written the usual way, unlike ours in host/: each connection point
// lives inside its container and shares its reference count, and nothing
// clears listeners at shutdown; an object goes when its last reference does.
// Hooks let a test call back into the component from inside the host's
// calls; each runs once.
#include <windows.h>
#include <ocidl.h>
#include <wrl/client.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "TessaryLib.h"
#include "com/ComObject.h"
#include "com/SinkList.h"

namespace tessary::testing {

using Hook = std::function<void()>;

// Host objects alive in this process.
int PlainHostObjects() noexcept;
// Calls any host object took on a thread other than the one that made it:
// a host's interfaces have no proxy, so each is the component's fault.
int PlainHostForeignCalls() noexcept;

class PlainHostObject {
 protected:
  PlainHostObject() noexcept;
  ~PlainHostObject();
  // Notes a call made on a foreign thread.
  void Touch() const noexcept;

 private:
  DWORD owner_;
};

// Runs `hook` once, after emptying it.
void RunOnce(Hook& hook);

// The container's one point, counted with it.
class PlainPoint final : public IConnectionPoint, PlainHostObject {
 public:
  PlainPoint(IConnectionPointContainer* container, REFIID iid) noexcept
      : container_(container), iid_(iid) {}

  HRESULT Find(REFIID riid, IConnectionPoint** out) noexcept {
    return FindSingleConnectionPoint(this, iid_, riid, out);
  }
  std::vector<Microsoft::WRL::ComPtr<IUnknown>> Sinks() const { return sinks_.Sinks(); }
  size_t Count() const noexcept { return sinks_.Count(); }
  // Runs once a sink is connected, before Advise returns its cookie.
  Hook onAdvise;

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) noexcept override;
  STDMETHODIMP_(ULONG) AddRef() noexcept override { return container_->AddRef(); }
  STDMETHODIMP_(ULONG) Release() noexcept override { return container_->Release(); }
  STDMETHODIMP GetConnectionInterface(IID* iid) noexcept override;
  STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** out) noexcept override;
  STDMETHODIMP Advise(IUnknown* sink, DWORD* cookie) noexcept override;
  STDMETHODIMP Unadvise(DWORD cookie) noexcept override {
    Touch();
    return sinks_.Unadvise(cookie);
  }
  STDMETHODIMP EnumConnections(IEnumConnections** out) noexcept override {
    Touch();
    return sinks_.Enumerate(out);
  }

 private:
  IConnectionPointContainer* container_;
  IID iid_;
  SinkList sinks_;
};

class PlainRegistry final
    : public ComObject<PlainRegistry, IKaHostServices, IConnectionPointContainer>,
      PlainHostObject {
 public:
  PlainPoint events{this, __uuidof(IKaServiceEvents)};
  Hook onGetService;

  STDMETHODIMP RegisterService(REFGUID iid, IUnknown* object) noexcept override;
  STDMETHODIMP RevokeService(REFGUID iid) noexcept override;
  STDMETHODIMP GetService(REFGUID iid, IUnknown** object) noexcept override;
  STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** out) noexcept override {
    return EnumSingleConnectionPoint(&events, out);
  }
  STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** out) noexcept override {
    return events.Find(riid, out);
  }

 private:
  void Announce(LONG kind, const GUID& iid, IUnknown* service) noexcept;
  std::vector<std::pair<GUID, Microsoft::WRL::ComPtr<IUnknown>>> services_;
};

class PlainNotifyService final
    : public ComObject<PlainNotifyService, IKaNotifyService, IConnectionPointContainer>,
      PlainHostObject {
 public:
  PlainPoint events{this, __uuidof(IKaNotifyEvents)};

  void Notify(LONG category, LONG code) noexcept;
  STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** out) noexcept override {
    return EnumSingleConnectionPoint(&events, out);
  }
  STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** out) noexcept override {
    return events.Find(riid, out);
  }
};

// Answers the paths it is given, empty ones by default (nothing to read),
// and counts the questions.
class PlainDataService final : public ComObject<PlainDataService, IKaDataService>,
                               PlainHostObject {
 public:
  LONG reloadFlag = 0;
  int pathCalls = 0;
  std::wstring catalogPath;
  std::wstring registryKeyPath;
  Hook onDataFilePath;

  STDMETHODIMP GetReloadFlag(LONG* flag) noexcept override;
  STDMETHODIMP GetDataFilePath(LONG kind, BSTR* path, LONG reserved) noexcept override;
  STDMETHODIMP Reserved3() noexcept override { return E_NOTIMPL; }
  STDMETHODIMP Reserved4() noexcept override { return E_NOTIMPL; }
  STDMETHODIMP Reserved5() noexcept override { return E_NOTIMPL; }
  STDMETHODIMP Reserved6() noexcept override { return E_NOTIMPL; }
  STDMETHODIMP Reserved8() noexcept override { return E_NOTIMPL; }
  STDMETHODIMP Reserved9() noexcept override { return E_NOTIMPL; }
  STDMETHODIMP Reserved10() noexcept override { return E_NOTIMPL; }
  STDMETHODIMP Reserved11() noexcept override { return E_NOTIMPL; }
  STDMETHODIMP Reserved12() noexcept override { return E_NOTIMPL; }
  STDMETHODIMP Reserved13() noexcept override { return E_NOTIMPL; }
  STDMETHODIMP Reserved14() noexcept override { return E_NOTIMPL; }
  STDMETHODIMP Reserved15() noexcept override { return E_NOTIMPL; }
};

// The registry with its data service; the notification service is made
// too, and registered when the test says.
struct PlainHost {
  HRESULT Start() noexcept;
  HRESULT RegisterNotify() noexcept {
    return registry->RegisterService(__uuidof(IKaNotifyService),
                                     static_cast<IKaNotifyService*>(notify.Get()));
  }
  // Drops the test's references; whatever nobody else holds goes.
  void Release() noexcept {
    registry.Reset();
    data.Reset();
    notify.Reset();
  }

  Microsoft::WRL::ComPtr<PlainRegistry> registry;
  Microsoft::WRL::ComPtr<PlainDataService> data;
  Microsoft::WRL::ComPtr<PlainNotifyService> notify;
};

}  // namespace tessary::testing
