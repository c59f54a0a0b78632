#pragma once
// Our own host: the service registry the component attaches to, with a
// connection point that announces services as they come and go.
#include <windows.h>
#include <ocidl.h>
#include <wrl/client.h>

#include <utility>
#include <vector>

#include "TessaryLib.h"
#include "com/ComObject.h"
#include "com/ConnectionPoint.h"

namespace tessary::host {

class HostServices final
    : public ComObject<HostServices, IKaHostServices, IConnectionPointContainer> {
 public:
  HostServices() noexcept = default;
  ~HostServices();

  HRESULT FinalConstruct() noexcept;

  // Revokes every service, announcing each removal, and drops the sinks:
  // breaks the cycles a host and its attached plug-ins form.
  void Shutdown() noexcept;
  size_t ServiceCount() const noexcept { return services_.size(); }

  // IKaHostServices. Registering an identifier again replaces the service
  // (the old one is announced as removed first).
  STDMETHODIMP RegisterService(REFGUID iid, IUnknown* object) noexcept override;
  STDMETHODIMP RevokeService(REFGUID iid) noexcept override;
  STDMETHODIMP GetService(REFGUID iid, IUnknown** object) noexcept override;

  // IConnectionPointContainer: one point, for IKaServiceEvents.
  STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** out) noexcept override;
  STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** out) noexcept override;

 private:
  void Announce(LONG kind, const GUID& id, IUnknown* service) noexcept;

  std::vector<std::pair<GUID, Microsoft::WRL::ComPtr<IUnknown>>> services_;
  Microsoft::WRL::ComPtr<ConnectionPoint> events_;
};

}  // namespace tessary::host
