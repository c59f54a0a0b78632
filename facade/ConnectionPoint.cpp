#include "facade/ConnectionPoint.h"

#include <memory>
#include <utility>

#include "common/Result.h"
#include "server/ComObject.h"
#include "server/SnapshotEnum.h"

namespace tessary {

using Microsoft::WRL::ComPtr;

size_t EmbeddedConnectionPoint::ConnectionCount() const noexcept {
  size_t count = 0;
  for (const auto& sink : sinks_) count += sink ? 1 : 0;
  return count;
}

void EmbeddedConnectionPoint::ReleaseAll() noexcept {
  std::vector<ComPtr<IUnknown>> gone = std::move(sinks_);
  sinks_.clear();
}

HRESULT EmbeddedConnectionPoint::Find(REFIID riid, IConnectionPoint** out) noexcept {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (riid != iid_) return CONNECT_E_NOCONNECTION;
  *out = this;
  AddRef();
  return S_OK;
}

HRESULT EmbeddedConnectionPoint::EnumPoints(IEnumConnectionPoints** out) noexcept {
  if (!out) return E_POINTER;
  *out = nullptr;
  return Guarded([&]() -> HRESULT {
    auto items = std::make_shared<std::vector<ComPtr<IConnectionPoint>>>();
    items->emplace_back(this);
    ComPtr<ConnectionPointEnum> enumerator;
    RETURN_IF_FAILED(MakeComObject(enumerator, std::move(items), size_t{0}));
    *out = enumerator.Detach();
    return S_OK;
  });
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
  if (!sink || !cookie) return E_POINTER;
  *cookie = 0;
  ComPtr<IUnknown> typed;
  HRESULT hr = sink->QueryInterface(iid_, reinterpret_cast<void**>(typed.GetAddressOf()));
  if (hr == E_NOINTERFACE) return CONNECT_E_CANNOTCONNECT;
  RETURN_IF_FAILED(hr);
  if (!typed) return CONNECT_E_CANNOTCONNECT;
  size_t slot = 0;
  while (slot < sinks_.size() && sinks_[slot]) ++slot;
  if (slot == sinks_.size()) {
    // Cookies are 32-bit positions.
    if (sinks_.size() >= MAXDWORD) return CONNECT_E_ADVISELIMIT;
    try {
      sinks_.emplace_back();
    } catch (...) {
      return CONNECT_E_ADVISELIMIT;
    }
  }
  sinks_[slot] = std::move(typed);
  *cookie = static_cast<DWORD>(slot + 1);
  return S_OK;
}

STDMETHODIMP EmbeddedConnectionPoint::Unadvise(DWORD cookie) noexcept {
  if (cookie == 0 || cookie > sinks_.size() || !sinks_[cookie - 1]) {
    return CONNECT_E_NOCONNECTION;
  }
  // Released after the slot is emptied: the sink's release may call back in.
  ComPtr<IUnknown> gone = std::move(sinks_[cookie - 1]);
  sinks_[cookie - 1].Reset();
  return S_OK;
}

STDMETHODIMP EmbeddedConnectionPoint::EnumConnections(IEnumConnections** out) noexcept {
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

}  // namespace tessary
