#pragma once
// Our host's notification service: listeners connect for IKaNotifyEvents
// and hear what the host announces.
#include <windows.h>
#include <ocidl.h>
#include <wrl/client.h>

#include "TessaryLib.h"
#include "com/ComObject.h"
#include "com/ConnectionPoint.h"

namespace tessary::host {

class HostNotifyService final
    : public ComObject<HostNotifyService, IKaNotifyService, IConnectionPointContainer> {
 public:
  // Category 1 with code 2: the host's data files changed.
  static constexpr LONG kCategoryData = 1;
  static constexpr LONG kCodeDataChanged = 2;

  HostNotifyService() noexcept = default;
  ~HostNotifyService();
  HRESULT FinalConstruct() noexcept;

  // Calls every connected listener; returns how many were called.
  int Notify(LONG category, LONG code, LONG param) noexcept;
  size_t ListenerCount() const;
  void ReleaseListeners() noexcept { events_->ReleaseAll(); }

  STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** out) noexcept override;
  STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** out) noexcept override;

 private:
  Microsoft::WRL::ComPtr<ConnectionPoint> events_;
};

}  // namespace tessary::host
