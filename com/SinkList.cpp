#include "com/SinkList.h"

#include <olectl.h>

#include <memory>
#include <utility>

#include "common/Result.h"
#include "com/SnapshotEnum.h"

namespace tessary {

using Microsoft::WRL::ComPtr;

HRESULT SinkList::Advise(REFIID iid, IUnknown* sink, DWORD* cookie) noexcept {
  if (!sink || !cookie) return E_POINTER;
  *cookie = 0;
  ComPtr<IUnknown> typed;
  const HRESULT hr = sink->QueryInterface(iid, reinterpret_cast<void**>(typed.GetAddressOf()));
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

HRESULT SinkList::Unadvise(DWORD cookie) noexcept {
  if (cookie == 0 || cookie > sinks_.size() || !sinks_[cookie - 1]) {
    return CONNECT_E_NOCONNECTION;
  }
  // Released after the slot is emptied: the sink's release may call back in.
  ComPtr<IUnknown> gone = std::move(sinks_[cookie - 1]);
  sinks_[cookie - 1].Reset();
  return S_OK;
}

HRESULT SinkList::Enumerate(IEnumConnections** out) const noexcept {
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

size_t SinkList::Count() const noexcept {
  size_t count = 0;
  for (const auto& sink : sinks_) count += sink ? 1 : 0;
  return count;
}

std::vector<ComPtr<IUnknown>> SinkList::Sinks() const {
  std::vector<ComPtr<IUnknown>> sinks;
  for (const auto& sink : sinks_) {
    if (sink) sinks.push_back(sink);
  }
  return sinks;
}

void SinkList::ReleaseAll() noexcept {
  std::vector<ComPtr<IUnknown>> gone = std::move(sinks_);
  sinks_.clear();
}

HRESULT FindSingleConnectionPoint(IConnectionPoint* point, REFIID pointIid, REFIID riid,
                                  IConnectionPoint** out) noexcept {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!point || riid != pointIid) return CONNECT_E_NOCONNECTION;
  *out = point;
  point->AddRef();
  return S_OK;
}

HRESULT EnumSingleConnectionPoint(IConnectionPoint* point, IEnumConnectionPoints** out) noexcept {
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

}  // namespace tessary
