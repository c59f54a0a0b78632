#pragma once
// A connection point that lives inside its container and shares its
// reference count, as the container's one event source: a client holding the
// point keeps the container alive, and GetConnectionPointContainer can always
// answer.
#include <windows.h>
#include <ocidl.h>
#include <olectl.h>
#include <wrl/client.h>

#include <vector>

#include "com/SinkList.h"

namespace tessary {

class EmbeddedConnectionPoint final : public IConnectionPoint {
 public:
  // `container` owns this point as a member and outlives it.
  EmbeddedConnectionPoint(IConnectionPointContainer* container, REFIID iid) noexcept
      : container_(container), iid_(iid) {}
  EmbeddedConnectionPoint(const EmbeddedConnectionPoint&) = delete;
  EmbeddedConnectionPoint& operator=(const EmbeddedConnectionPoint&) = delete;

  const IID& Iid() const noexcept { return iid_; }
  size_t ConnectionCount() const noexcept { return sinks_.Count(); }
  void ReleaseAll() noexcept { sinks_.ReleaseAll(); }

  // The container's FindConnectionPoint and EnumConnectionPoints for a
  // container with this single point.
  HRESULT Find(REFIID riid, IConnectionPoint** out) noexcept;
  HRESULT EnumPoints(IEnumConnectionPoints** out) noexcept;

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) noexcept override;
  STDMETHODIMP_(ULONG) AddRef() noexcept override { return container_->AddRef(); }
  STDMETHODIMP_(ULONG) Release() noexcept override { return container_->Release(); }

  STDMETHODIMP GetConnectionInterface(IID* iid) noexcept override;
  STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** container) noexcept override;
  STDMETHODIMP Advise(IUnknown* sink, DWORD* cookie) noexcept override;
  STDMETHODIMP Unadvise(DWORD cookie) noexcept override;
  STDMETHODIMP EnumConnections(IEnumConnections** out) noexcept override;

 private:
  IConnectionPointContainer* container_;
  IID iid_;
  SinkList sinks_;
};

}  // namespace tessary
