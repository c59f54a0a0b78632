#pragma once
// The sinks of one connection point, by cookie: what Advise, Unadvise and
// EnumConnections share whichever object the point lives in.
#include <windows.h>
#include <ocidl.h>
#include <wrl/client.h>

#include <vector>

namespace tessary {

class SinkList {
 public:
  // Queries `sink` for `iid` and keeps it; the cookie is its 1-based slot,
  // the first empty slot reused.
  HRESULT Advise(REFIID iid, IUnknown* sink, DWORD* cookie) noexcept;
  HRESULT Unadvise(DWORD cookie) noexcept;
  HRESULT Enumerate(IEnumConnections** out) const noexcept;

  size_t Count() const noexcept;
  // A copy, so sinks may advise or unadvise while being called.
  std::vector<Microsoft::WRL::ComPtr<IUnknown>> Sinks() const;
  // Drops every sink, outside the list, as their release may call back in.
  void ReleaseAll() noexcept;

 private:
  std::vector<Microsoft::WRL::ComPtr<IUnknown>> sinks_;
};

// FindConnectionPoint of a container whose only point is `point`, which
// serves `pointIid`; a null point is no connection.
HRESULT FindSingleConnectionPoint(IConnectionPoint* point, REFIID pointIid, REFIID riid,
                                  IConnectionPoint** out) noexcept;
// EnumConnectionPoints of a container whose only point is `point`.
HRESULT EnumSingleConnectionPoint(IConnectionPoint* point, IEnumConnectionPoints** out) noexcept;

}  // namespace tessary
