#pragma once
// A container's one connection point, in the two ways a container can hold
// it:
//   EmbeddedConnectionPoint  a member of its container that shares its
//                            reference count: a client holding the point
//                            keeps the container alive, and
//                            GetConnectionPointContainer always answers.
//   ConnectionPoint          an object of its own that the container owns and
//                            holds alive; it refers back without a reference,
//                            and the container cuts that link when it goes.
// Both keep their sinks in one SinkList and answer the same way.
#include <windows.h>
#include <ocidl.h>
#include <olectl.h>
#include <wrl/client.h>

#include <vector>

#include "com/ComObject.h"
#include "com/SinkList.h"

namespace tessary {

template <typename Base>
class ConnectionPointOver : public Base {
 public:
  ConnectionPointOver(const ConnectionPointOver&) = delete;
  ConnectionPointOver& operator=(const ConnectionPointOver&) = delete;

  const IID& Iid() const noexcept { return iid_; }
  size_t ConnectionCount() const noexcept { return sinks_.Count(); }
  // The connected sinks, each already queried for the outgoing interface.
  // A copy, so sinks may advise or unadvise while being called.
  std::vector<Microsoft::WRL::ComPtr<IUnknown>> Sinks() const { return sinks_.Sinks(); }
  void ReleaseAll() noexcept { sinks_.ReleaseAll(); }

  // The container's FindConnectionPoint and EnumConnectionPoints, for a
  // container with this single point.
  HRESULT Find(REFIID riid, IConnectionPoint** out) noexcept {
    return FindSingleConnectionPoint(this, iid_, riid, out);
  }
  HRESULT EnumPoints(IEnumConnectionPoints** out) noexcept {
    return EnumSingleConnectionPoint(this, out);
  }

  STDMETHODIMP GetConnectionInterface(IID* iid) noexcept override {
    if (!iid) return E_POINTER;
    *iid = iid_;
    return S_OK;
  }
  STDMETHODIMP GetConnectionPointContainer(
      IConnectionPointContainer** container) noexcept override {
    if (!container) return E_POINTER;
    *container = container_;
    if (!container_) return E_UNEXPECTED;
    container_->AddRef();
    return S_OK;
  }
  STDMETHODIMP Advise(IUnknown* sink, DWORD* cookie) noexcept override {
    return sinks_.Advise(iid_, sink, cookie);
  }
  STDMETHODIMP Unadvise(DWORD cookie) noexcept override { return sinks_.Unadvise(cookie); }
  STDMETHODIMP EnumConnections(IEnumConnections** out) noexcept override {
    return sinks_.Enumerate(out);
  }

 protected:
  ConnectionPointOver(IConnectionPointContainer* container, REFIID iid) noexcept
      : container_(container), iid_(iid) {}
  ~ConnectionPointOver() = default;

  IConnectionPointContainer* container_;

 private:
  IID iid_;
  SinkList sinks_;
};

class EmbeddedConnectionPoint final : public ConnectionPointOver<IConnectionPoint> {
 public:
  // `container` owns this point as a member and outlives it.
  EmbeddedConnectionPoint(IConnectionPointContainer* container, REFIID iid) noexcept
      : ConnectionPointOver(container, iid) {}

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) noexcept override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid != IID_IUnknown && riid != IID_IConnectionPoint) return E_NOINTERFACE;
    *ppv = static_cast<IConnectionPoint*>(this);
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() noexcept override { return container_->AddRef(); }
  STDMETHODIMP_(ULONG) Release() noexcept override { return container_->Release(); }
};

class ConnectionPoint final
    : public ConnectionPointOver<ComObject<ConnectionPoint, IConnectionPoint>> {
 public:
  ConnectionPoint(IConnectionPointContainer* container, REFIID iid) noexcept
      : ConnectionPointOver(container, iid) {}

  // The container's destructor: from then on the point has none to name.
  void DisconnectContainer() noexcept { container_ = nullptr; }
};

}  // namespace tessary
