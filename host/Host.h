#pragma once
// Our host as a whole: the service registry with the data, icon and
// notification services registered under their identifiers. The tests,
// benchmarks and the sample host program all run the component in it.
#include <windows.h>
#include <wrl/client.h>

#include "host/HostDataService.h"
#include "host/HostIconService.h"
#include "host/HostNotifyService.h"
#include "host/HostServices.h"

namespace tessary::host {

class Host {
 public:
  Host() = default;
  ~Host() { Shutdown(); }
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  // Creates the registry and registers the three services.
  HRESULT Start() noexcept;
  // Revokes every service and drops every listener; plug-ins should have
  // detached first.
  void Shutdown() noexcept;

  IKaHostServices* Services() const noexcept { return services_.Get(); }
  HostServices& Registry() const noexcept { return *services_.Get(); }
  HostDataService& Data() const noexcept { return *data_.Get(); }
  HostIconService& Icons() const noexcept { return *icons_.Get(); }
  HostNotifyService& Notifications() const noexcept { return *notify_.Get(); }

 private:
  Microsoft::WRL::ComPtr<HostServices> services_;
  Microsoft::WRL::ComPtr<HostDataService> data_;
  Microsoft::WRL::ComPtr<HostIconService> icons_;
  Microsoft::WRL::ComPtr<HostNotifyService> notify_;
};

}  // namespace tessary::host
