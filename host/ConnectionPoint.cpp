#include "host/ConnectionPoint.h"

#include "common/Result.h"

namespace tessary::host {

using Microsoft::WRL::ComPtr;

std::vector<ComPtr<IUnknown>> ConnectionPoint::Sinks() const {
  std::vector<ComPtr<IUnknown>> sinks;
  for (const auto& sink : sinks_) {
    if (sink) sinks.push_back(sink);
  }
  return sinks;
}

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
  if (!sink || !cookie) return E_POINTER;
  *cookie = 0;
  ComPtr<IUnknown> typed;
  if (FAILED(sink->QueryInterface(iid_, reinterpret_cast<void**>(typed.GetAddressOf())))) {
    return CONNECT_E_CANNOTCONNECT;
  }
  return Guarded([&]() -> HRESULT {
    size_t slot = 0;
    while (slot < sinks_.size() && sinks_[slot]) ++slot;
    if (slot == sinks_.size()) sinks_.emplace_back();
    sinks_[slot] = typed;
    *cookie = static_cast<DWORD>(slot + 1);
    return S_OK;
  });
}

STDMETHODIMP ConnectionPoint::Unadvise(DWORD cookie) noexcept {
  if (cookie == 0 || cookie > sinks_.size() || !sinks_[cookie - 1]) {
    return CONNECT_E_NOCONNECTION;
  }
  // Released outside the list: the sink's destructor may call back in.
  ComPtr<IUnknown> gone = std::move(sinks_[cookie - 1]);
  sinks_[cookie - 1].Reset();
  return S_OK;
}

STDMETHODIMP ConnectionPoint::EnumConnections(IEnumConnections** out) noexcept {
  if (!out) return E_POINTER;
  *out = nullptr;
  return Guarded([&]() -> HRESULT {
    auto items = std::make_shared<std::vector<ConnectionItem>>();
    for (size_t i = 0; i < sinks_.size(); ++i) {
      if (sinks_[i]) items->push_back({sinks_[i], static_cast<DWORD>(i + 1)});
    }
    ComPtr<ConnectionEnum> enumerator;
    RETURN_IF_FAILED(MakeComObject(enumerator, std::move(items), size_t{0}));
    *out = enumerator.Detach();
    return S_OK;
  });
}

HRESULT FindSingleConnectionPoint(ConnectionPoint* point, REFIID riid,
                                  IConnectionPoint** out) noexcept {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!point || riid != point->Iid()) return CONNECT_E_NOCONNECTION;
  *out = point;
  point->AddRef();
  return S_OK;
}

HRESULT EnumSingleConnectionPoint(ConnectionPoint* point, IEnumConnectionPoints** out) noexcept {
  if (!out) return E_POINTER;
  *out = nullptr;
  return Guarded([&]() -> HRESULT {
    auto items = std::make_shared<std::vector<ComPtr<IConnectionPoint>>>();
    if (point) items->emplace_back(point);
    ComPtr<ConnectionPointEnum> enumerator;
    RETURN_IF_FAILED(MakeComObject(enumerator, std::move(items), size_t{0}));
    *out = enumerator.Detach();
    return S_OK;
  });
}

}  // namespace tessary::host
