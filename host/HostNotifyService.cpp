#include "host/HostNotifyService.h"

namespace tessary::host {

using Microsoft::WRL::ComPtr;

HostNotifyService::~HostNotifyService() {
  if (events_) events_->DisconnectContainer();
}

HRESULT HostNotifyService::FinalConstruct() noexcept {
  return MakeComObject(events_, static_cast<IConnectionPointContainer*>(this),
                       __uuidof(IKaNotifyEvents));
}

int HostNotifyService::Notify(LONG category, LONG code, LONG param) noexcept {
  std::vector<ComPtr<IUnknown>> sinks;
  try {
    sinks = events_->Sinks();
  } catch (const std::bad_alloc&) {
    return 0;
  }
  for (const auto& sink : sinks) {
    static_cast<IKaNotifyEvents*>(sink.Get())->OnNotify(category, code, param);
  }
  return static_cast<int>(sinks.size());
}

size_t HostNotifyService::ListenerCount() const { return events_->Sinks().size(); }

STDMETHODIMP HostNotifyService::EnumConnectionPoints(IEnumConnectionPoints** out) noexcept {
  return events_->EnumPoints(out);
}

STDMETHODIMP HostNotifyService::FindConnectionPoint(REFIID riid, IConnectionPoint** out) noexcept {
  return events_->Find(riid, out);
}

}  // namespace tessary::host
