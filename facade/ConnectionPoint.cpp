#include "facade/ConnectionPoint.h"

namespace tessary {

HRESULT EmbeddedConnectionPoint::Find(REFIID riid, IConnectionPoint** out) noexcept {
  return FindSingleConnectionPoint(this, iid_, riid, out);
}

HRESULT EmbeddedConnectionPoint::EnumPoints(IEnumConnectionPoints** out) noexcept {
  return EnumSingleConnectionPoint(this, out);
}

STDMETHODIMP EmbeddedConnectionPoint::QueryInterface(REFIID riid, void** ppv) noexcept {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (riid != IID_IUnknown && riid != IID_IConnectionPoint) return E_NOINTERFACE;
  *ppv = static_cast<IConnectionPoint*>(this);
  AddRef();
  return S_OK;
}

STDMETHODIMP EmbeddedConnectionPoint::GetConnectionInterface(IID* iid) noexcept {
  if (!iid) return E_POINTER;
  *iid = iid_;
  return S_OK;
}

STDMETHODIMP EmbeddedConnectionPoint::GetConnectionPointContainer(
    IConnectionPointContainer** container) noexcept {
  if (!container) return E_POINTER;
  *container = container_;
  container_->AddRef();
  return S_OK;
}

STDMETHODIMP EmbeddedConnectionPoint::Advise(IUnknown* sink, DWORD* cookie) noexcept {
  return sinks_.Advise(iid_, sink, cookie);
}

STDMETHODIMP EmbeddedConnectionPoint::Unadvise(DWORD cookie) noexcept {
  return sinks_.Unadvise(cookie);
}

STDMETHODIMP EmbeddedConnectionPoint::EnumConnections(IEnumConnections** out) noexcept {
  return sinks_.Enumerate(out);
}

}  // namespace tessary
