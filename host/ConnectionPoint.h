#pragma once
// A standard connection point and the snapshot enumerators that
// IConnectionPoint and IConnectionPointContainer hand out.
#include <windows.h>
#include <ocidl.h>
#include <olectl.h>
#include <wrl/client.h>

#include <memory>
#include <vector>

#include "common/Result.h"
#include "com/ComObject.h"
#include "com/SinkList.h"

namespace tessary::host {

// Keeps the sinks of one outgoing interface. The container owns the point
// and holds it alive; the point refers back to the container without a
// reference, and the container cuts that link when it goes.
class ConnectionPoint final : public ComObject<ConnectionPoint, IConnectionPoint> {
 public:
  ConnectionPoint(IConnectionPointContainer* container, REFIID iid) noexcept
      : container_(container), iid_(iid) {}

  void DisconnectContainer() noexcept { container_ = nullptr; }
  const IID& Iid() const noexcept { return iid_; }

  // The connected sinks, each already queried for the outgoing interface.
  // A copy, so sinks may advise or unadvise while being called.
  std::vector<Microsoft::WRL::ComPtr<IUnknown>> Sinks() const { return sinks_.Sinks(); }
  void ReleaseAll() noexcept { sinks_.ReleaseAll(); }

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

// The container side for objects that offer a single connection point.
HRESULT FindSingleConnectionPoint(ConnectionPoint* point, REFIID riid,
                                  IConnectionPoint** out) noexcept;

}  // namespace tessary::host
