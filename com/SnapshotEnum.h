#pragma once
// Enumerators over a copy of a connection point's sinks, or of a container's
// points, taken when they are made: what IConnectionPoint and
// IConnectionPointContainer hand out.
#include <windows.h>
#include <ocidl.h>
#include <wrl/client.h>

#include <memory>
#include <vector>

#include "common/Result.h"
#include "com/ComObject.h"

namespace tessary {

struct ConnectionItem {
  Microsoft::WRL::ComPtr<IUnknown> sink;
  DWORD cookie = 0;
};

inline void CopyOut(const ConnectionItem& in, CONNECTDATA* out) noexcept {
  out->pUnk = in.sink.Get();
  out->pUnk->AddRef();
  out->dwCookie = in.cookie;
}
inline void CopyOut(const Microsoft::WRL::ComPtr<IConnectionPoint>& in,
                    IConnectionPoint** out) noexcept {
  *out = in.Get();
  (*out)->AddRef();
}

// Enumerates a fixed copy of the items; clones share the copy.
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
    Microsoft::WRL::ComPtr<SnapshotEnum> copy;
    RETURN_IF_FAILED(MakeComObject(copy, items_, position_));
    *out = copy.Detach();
    return S_OK;
  }

 private:
  Items items_;
  size_t position_;
};

using ConnectionEnum = SnapshotEnum<IEnumConnections, CONNECTDATA, ConnectionItem>;
using ConnectionPointEnum =
    SnapshotEnum<IEnumConnectionPoints, IConnectionPoint*, Microsoft::WRL::ComPtr<IConnectionPoint>>;

}  // namespace tessary
