#pragma once
// The module-wide reference to the host's service registry. The status
// manager's Attach sets it and Detach clears it; every other object only
// reads it to find host services and the published status manager.
#include <windows.h>
#include <wrl/client.h>

#include "TessaryLib.h"

namespace tessary {

// Takes a reference to `host` (null clears) and releases the previous one.
void SetHostReference(IKaHostServices* host) noexcept;
void ClearHostReference() noexcept;

// The current host, with a new reference; empty when none is attached.
Microsoft::WRL::ComPtr<IKaHostServices> HostReference() noexcept;

// Asks the host for the service `serviceId` and the interface `riid` on it.
// E_FAIL when no host is attached or the host has no such service; the
// interface query's failure when the service lacks `riid`. *ppv is null on
// every failure.
HRESULT GetHostService(REFGUID serviceId, REFIID riid, void** ppv) noexcept;

template <typename T>
HRESULT GetHostService(REFGUID serviceId, Microsoft::WRL::ComPtr<T>& out) noexcept {
  out.Reset();
  return GetHostService(serviceId, __uuidof(T), reinterpret_cast<void**>(out.GetAddressOf()));
}

}  // namespace tessary
