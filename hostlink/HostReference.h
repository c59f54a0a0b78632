#pragma once
// The reference to the host's service registry. The status manager's Attach
// sets it and Detach clears it; every other object only reads it to find host
// services and the published status manager. It is kept per apartment: an
// object finds the host attached in its own apartment, or none, and one
// apartment's Detach leaves every other apartment's host alone.
#include <windows.h>
#include <wrl/client.h>

#include "TessaryLib.h"

namespace tessary {

// Takes a reference to `host` for the calling apartment (null clears) and
// releases the apartment's previous one.
void SetHostReference(IKaHostServices* host) noexcept;
void ClearHostReference() noexcept;

// The calling apartment's host, with a new reference; empty when none is
// attached there.
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
