#include "host/ConnectionPoint.h"

#include <cguid.h>

#include "common/Result.h"

namespace tessary::host {

using Microsoft::WRL::ComPtr;

STDMETHODIMP ConnectionPoint::GetConnectionInterface(IID* iid) noexcept {
  if (!iid) return E_POINTER;
  *iid = iid_;
  return S_OK;
}

STDMETHODIMP ConnectionPoint::GetConnectionPointContainer(
    IConnectionPointContainer** container) noexcept {
  if (!container) return E_POINTER;
  *container = container_;
  if (!container_) return E_UNEXPECTED;
  container_->AddRef();
  return S_OK;
}

STDMETHODIMP ConnectionPoint::Advise(IUnknown* sink, DWORD* cookie) noexcept {
  return sinks_.Advise(iid_, sink, cookie);
}

STDMETHODIMP ConnectionPoint::Unadvise(DWORD cookie) noexcept { return sinks_.Unadvise(cookie); }

STDMETHODIMP ConnectionPoint::EnumConnections(IEnumConnections** out) noexcept {
  return sinks_.Enumerate(out);
}

HRESULT FindSingleConnectionPoint(ConnectionPoint* point, REFIID riid,
                                  IConnectionPoint** out) noexcept {
  return tessary::FindSingleConnectionPoint(point, point ? point->Iid() : IID_NULL, riid, out);
}

}  // namespace tessary::host
