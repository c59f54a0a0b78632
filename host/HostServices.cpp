#include "host/HostServices.h"

#include <algorithm>

#include "common/Result.h"

namespace tessary::host {

using Microsoft::WRL::ComPtr;

namespace {
constexpr LONG kServiceAdded = 1;
constexpr LONG kServiceRemoved = 2;
}  // namespace

HostServices::~HostServices() {
  if (events_) events_->DisconnectContainer();
}

HRESULT HostServices::FinalConstruct() noexcept {
  return MakeComObject(events_, static_cast<IConnectionPointContainer*>(this),
                       __uuidof(IKaServiceEvents));
}

void HostServices::Announce(LONG kind, const GUID& id, IUnknown* service) noexcept {
  std::vector<ComPtr<IUnknown>> sinks;
  try {
    sinks = events_->Sinks();
  } catch (const std::bad_alloc&) {
    return;
  }
  for (const auto& sink : sinks) {
    static_cast<IKaServiceEvents*>(sink.Get())->OnServiceEvent(kind, &id, service);
  }
}

STDMETHODIMP HostServices::RegisterService(REFGUID iid, IUnknown* object) noexcept {
  if (!object) return E_POINTER;
  ComPtr<IUnknown> service(object);
  const auto find = [&] {
    return std::find_if(services_.begin(), services_.end(),
                        [&](const auto& entry) { return entry.first == iid; });
  };
  auto found = find();
  if (found != services_.end()) {
    ComPtr<IUnknown> old = found->second;
    Announce(kServiceRemoved, iid, old.Get());
    // Listeners may have registered or revoked services meanwhile.
    found = find();
  }
  if (found != services_.end()) {
    found->second = service;
  } else {
    RETURN_IF_FAILED(Guarded([&]() -> HRESULT {
      services_.emplace_back(iid, service);
      return S_OK;
    }));
  }
  Announce(kServiceAdded, iid, object);
  return S_OK;
}

STDMETHODIMP HostServices::RevokeService(REFGUID iid) noexcept {
  for (size_t i = 0; i < services_.size(); ++i) {
    if (services_[i].first != iid) continue;
    // Announced while still registered, as listeners unsubscribe from it.
    ComPtr<IUnknown> service = services_[i].second;
    Announce(kServiceRemoved, iid, service.Get());
    for (size_t j = 0; j < services_.size(); ++j) {
      if (services_[j].first == iid) {
        services_.erase(services_.begin() + static_cast<ptrdiff_t>(j));
        break;
      }
    }
    return S_OK;
  }
  return S_FALSE;
}

STDMETHODIMP HostServices::GetService(REFGUID iid, IUnknown** object) noexcept {
  if (!object) return E_POINTER;
  *object = nullptr;
  for (const auto& [id, service] : services_) {
    if (id == iid) {
      *object = service.Get();
      service->AddRef();
      return S_OK;
    }
  }
  return E_NOINTERFACE;
}

void HostServices::Shutdown() noexcept {
  while (!services_.empty()) {
    const GUID id = services_.back().first;
    RevokeService(id);
  }
  if (events_) events_->ReleaseAll();
}

STDMETHODIMP HostServices::EnumConnectionPoints(IEnumConnectionPoints** out) noexcept {
  return events_->EnumPoints(out);
}

STDMETHODIMP HostServices::FindConnectionPoint(REFIID riid, IConnectionPoint** out) noexcept {
  return events_->Find(riid, out);
}

}  // namespace tessary::host
