#pragma once
// The status manager's link to its host: the apartment's host reference
// (hostlink/), the subscription to the host's service announcements, and the
// one to its notification service.
//
// A host may re-enter from inside any call made to it: attach this facade
// elsewhere, detach it, or let it go. Every Attach and Detach is a run; a
// run begun from inside another's call out supersedes it, and the outer one
// stops right after that call, leaving the link as the inner one settled it.
#include <windows.h>
#include <ocidl.h>
#include <wrl/client.h>

#include "TessaryLib.h"

namespace tessary {

class HostLink {
 public:
  // The facade's sinks; `identity` is its inner unknown, what a point that
  // lists its sinks may report instead.
  HostLink(IKaServiceEvents* serviceSink, IKaNotifyEvents* notifySink, IUnknown* identity) noexcept
      : serviceSink_(serviceSink), notifySink_(notifySink), identity_(identity) {}
  HostLink(const HostLink&) = delete;
  HostLink& operator=(const HostLink&) = delete;

  // Links `host` for this apartment (replacing an earlier link and its
  // subscription), subscribes to its announcements and joins a notification
  // service registered before now. Then, unless superseded meanwhile, runs
  // `ready` (the facade's own part) and publishes `published` with the host
  // as `serviceId`.
  template <typename Ready>
  void Attach(IKaHostServices* host, REFGUID serviceId, IUnknown* published,
              Ready&& ready) noexcept {
    const Run run(*this);
    Microsoft::WRL::ComPtr<IKaHostServices> current;
    if (!Connect(run, host, current)) return;
    ready();
    if (current) current->RegisterService(serviceId, published);
  }

  // Revokes `serviceId` and the host subscription, runs `release` (the
  // facade lets go of what it made) and clears this apartment's host
  // reference; each step unless a call out superseded this run. The
  // notification subscription stays: it ends with its service.
  template <typename Release>
  void Detach(REFGUID serviceId, Release&& release) noexcept {
    const Run run(*this);
    if (run.SupersededBy([&] { Revoke(serviceId); })) return;
    if (run.SupersededBy([&] { CancelHostSubscription(); })) return;
    if (run.SupersededBy(release)) return;
    Forget();
  }

  // The host's announcement that `service` came or went as its notification
  // service.
  void NotifyServiceAdded(IUnknown* service) noexcept;
  void NotifyServiceRemoved(IUnknown* service) noexcept;

 private:
  // One Attach or Detach.
  class Run {
   public:
    explicit Run(HostLink& link) noexcept : link_(link), epoch_(++link.epoch_) {}
    // Makes one call out and answers whether a run begun inside it has
    // superseded this one.
    template <typename Call>
    bool SupersededBy(Call&& call) const noexcept {
      call();
      return link_.epoch_ != epoch_;
    }

   private:
    HostLink& link_;
    const unsigned epoch_;
  };

  bool Connect(const Run& run, IKaHostServices* host,
               Microsoft::WRL::ComPtr<IKaHostServices>& current) noexcept;
  void SubscribeHostEvents(const Run& run, IKaHostServices* host) noexcept;
  void CancelHostSubscription() noexcept;
  void Revoke(REFGUID serviceId) noexcept;
  void Forget() noexcept;
  bool IsNotifySink(IUnknown* sink) const noexcept;
  bool HoldsNotifyCookie(IConnectionPoint* point, DWORD cookie) const noexcept;

  IKaServiceEvents* const serviceSink_;
  IKaNotifyEvents* const notifySink_;
  IUnknown* const identity_;
  unsigned epoch_ = 0;
  // The host-events subscription keeps the point it was made on, so Detach
  // cancels it there even when another facade's Attach has moved the
  // module's host reference on since.
  DWORD hostEventsCookie_ = 0;
  Microsoft::WRL::ComPtr<IConnectionPoint> hostEventsPoint_;
  // Only the cookie: the notification service's point holds the facade, so
  // holding the point back would keep both alive for good. The subscription
  // ends on the service that announces its removal, or with the service.
  DWORD notifyEventsCookie_ = 0;
};

}  // namespace tessary
