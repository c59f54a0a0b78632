#include "host/Host.h"

#include "common/Result.h"

namespace tessary::host {

HRESULT Host::Start() noexcept {
  RETURN_IF_FAILED(MakeComObject(services_));
  RETURN_IF_FAILED(MakeComObject(data_));
  RETURN_IF_FAILED(MakeComObject(icons_));
  RETURN_IF_FAILED(MakeComObject(notify_));
  RETURN_IF_FAILED(services_->RegisterService(__uuidof(IKaDataService),
                                              static_cast<IKaDataService*>(data_.Get())));
  RETURN_IF_FAILED(services_->RegisterService(__uuidof(IKaIconService), icons_.Get()));
  RETURN_IF_FAILED(services_->RegisterService(__uuidof(IKaNotifyService),
                                              static_cast<IKaNotifyService*>(notify_.Get())));
  return S_OK;
}

void Host::Shutdown() noexcept {
  if (services_) services_->Shutdown();
  if (notify_) notify_->ReleaseListeners();
}

}  // namespace tessary::host
