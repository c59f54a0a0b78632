#include "facade/HostLink.h"

#include <utility>

#include "common/Result.h"
#include "hostlink/HostReference.h"

namespace tessary {

using Microsoft::WRL::ComPtr;

namespace {

HRESULT FindPoint(IUnknown* container, REFIID iid, ComPtr<IConnectionPoint>& point) noexcept {
  point.Reset();
  ComPtr<IConnectionPointContainer> points;
  RETURN_IF_FAILED(container->QueryInterface(IID_PPV_ARGS(&points)));
  RETURN_IF_FAILED(points->FindConnectionPoint(iid, &point));
  return point ? S_OK : E_FAIL;
}

}  // namespace

bool HostLink::Connect(const Run& run, IKaHostServices* host,
                       ComPtr<IKaHostServices>& current) noexcept {
  // Attached again without a Detach: the earlier subscription would be left
  // with the host holding this facade for good.
  if (run.SupersededBy([&] { CancelHostSubscription(); })) return false;
  if (run.SupersededBy([&] { SetHostReference(host); })) return false;
  current = HostReference();
  if (!current) return true;
  if (run.SupersededBy([&] { SubscribeHostEvents(run, current.Get()); })) return false;
  // A notification service registered before now is never announced to
  // this facade: join it as its announcement would.
  ComPtr<IUnknown> notify;
  HRESULT found = E_FAIL;
  if (run.SupersededBy([&] {
        found = current->GetService(__uuidof(IKaNotifyService), notify.GetAddressOf());
      })) {
    return false;
  }
  if (FAILED(found) || !notify) return true;
  return !run.SupersededBy([&] { NotifyServiceAdded(notify.Get()); });
}

void HostLink::SubscribeHostEvents(const Run& run, IKaHostServices* host) noexcept {
  ComPtr<IConnectionPoint> point;
  HRESULT found = E_FAIL;
  if (run.SupersededBy([&] { found = FindPoint(host, __uuidof(IKaServiceEvents), point); }) ||
      FAILED(found)) {
    return;
  }
  DWORD made = 0;
  HRESULT advised = E_FAIL;
  const bool superseded = run.SupersededBy([&] { advised = point->Advise(serviceSink_, &made); });
  if (FAILED(advised) || made == 0) return;
  // A Detach or Attach run from inside Advise has settled the link already.
  if (superseded || hostEventsCookie_ != 0) {
    point->Unadvise(made);
    return;
  }
  hostEventsPoint_ = std::move(point);
  hostEventsCookie_ = made;
}

void HostLink::CancelHostSubscription() noexcept {
  const DWORD held = std::exchange(hostEventsCookie_, 0);
  ComPtr<IConnectionPoint> point;
  point.Swap(hostEventsPoint_);
  if (point && held != 0) point->Unadvise(held);
}

void HostLink::Revoke(REFGUID serviceId) noexcept {
  if (const ComPtr<IKaHostServices> host = HostReference()) host->RevokeService(serviceId);
}

void HostLink::Forget() noexcept { ClearHostReference(); }

bool HostLink::IsNotifySink(IUnknown* sink) const noexcept {
  return sink && (sink == notifySink_ || sink == identity_);
}

bool HostLink::HoldsNotifyCookie(IConnectionPoint* point, DWORD cookie) const noexcept {
  ComPtr<IEnumConnections> connections;
  // A point that cannot list its sinks is taken at its word.
  if (FAILED(point->EnumConnections(connections.GetAddressOf())) || !connections) return true;
  bool ours = false;
  CONNECTDATA data{};
  while (!ours && connections->Next(1, &data, nullptr) == S_OK) {
    ours = data.dwCookie == cookie && IsNotifySink(data.pUnk);
    if (data.pUnk) data.pUnk->Release();
  }
  return ours;
}

void HostLink::NotifyServiceAdded(IUnknown* service) noexcept {
  ComPtr<IConnectionPoint> point;
  if (!service || FAILED(FindPoint(service, __uuidof(IKaNotifyEvents), point))) return;
  // Never two subscriptions to one service. A cookie this service does not
  // know is from a service that went without a word, or from an older one
  // that keeps its sinks until it goes: it is replaced.
  const DWORD held = notifyEventsCookie_;
  if (held != 0 && HoldsNotifyCookie(point.Get(), held)) return;
  if (notifyEventsCookie_ != held) return;
  DWORD made = 0;
  if (FAILED(point->Advise(notifySink_, &made)) || made == 0) return;
  // Subscribed from inside Advise already: that one stays.
  if (notifyEventsCookie_ != held) {
    point->Unadvise(made);
    return;
  }
  notifyEventsCookie_ = made;
}

void HostLink::NotifyServiceRemoved(IUnknown* service) noexcept {
  const DWORD held = notifyEventsCookie_;
  ComPtr<IConnectionPoint> point;
  if (!service || held == 0 || FAILED(FindPoint(service, __uuidof(IKaNotifyEvents), point))) {
    return;
  }
  // The cookie of another service's subscription means nothing here.
  if (!HoldsNotifyCookie(point.Get(), held) || notifyEventsCookie_ != held) return;
  notifyEventsCookie_ = 0;
  point->Unadvise(held);
}

}  // namespace tessary
