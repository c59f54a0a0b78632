#include "facade/ConnectionPoint.h"

#include <memory>
#include <utility>

#include "common/Result.h"
#include "server/ComObject.h"

namespace tessary {

using Microsoft::WRL::ComPtr;

namespace {

struct Connection {
  ComPtr<IUnknown> sink;
  DWORD cookie = 0;
};

void CopyOut(const Connection& in, CONNECTDATA* out) noexcept {
  out->pUnk = in.sink.Get();
  out->pUnk->AddRef();
  out->dwCookie = in.cookie;
}

void CopyOut(const ComPtr<IConnectionPoint>& in, IConnectionPoint** out) noexcept {
  *out = in.Get();
  (*out)->AddRef();
}

// Walks a copy taken when the enumerator was made; clones share the copy.
template <typename IEnum, typename Out, typename Item>
class SnapshotEnum final : public ComObject<SnapshotEnum<IEnum, Out, Item>, IEnum> {
 public:
  using Items = std::shared_ptr<const std::vector<Item>>;
  SnapshotEnum(Items items, size_t position) noexcept
      : items_(std::move(items)), position_(position) {}

  STDMETHODIMP Next(ULONG count, Out* out, ULONG* fetched) noexcept override {
    if (!out || (count != 1 && !fetched)) return E_POINTER;
    ULONG n = 0;
    while (n < count && position_ < items_->size()) CopyOut((*items_)[position_++], &out[n++]);
    if (fetched) *fetched = n;
    return n == count ? S_OK : S_FALSE;
  }
  STDMETHODIMP Skip(ULONG count) noexcept override {
    const size_t left = items_->size() - position_;
    if (count > left) {
      position_ = items_->size();
      return S_FALSE;
    }
    position_ += count;
    return S_OK;
  }
  STDMETHODIMP Reset() noexcept override {
    position_ = 0;
    return S_OK;
  }
  STDMETHODIMP Clone(IEnum** out) noexcept override {
    if (!out) return E_POINTER;
    *out = nullptr;
    ComPtr<SnapshotEnum> copy;
    RETURN_IF_FAILED(MakeComObject(copy, items_, position_));
    *out = copy.Detach();
    return S_OK;
  }

 private:
  Items items_;
  size_t position_;
};

using ConnectionEnum = SnapshotEnum<IEnumConnections, CONNECTDATA, Connection>;
using PointEnum = SnapshotEnum<IEnumConnectionPoints, IConnectionPoint*, ComPtr<IConnectionPoint>>;

}  // namespace

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
    ComPtr<PointEnum> enumerator;
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
    auto items = std::make_shared<std::vector<Connection>>();
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
