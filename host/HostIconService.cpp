#include "host/HostIconService.h"

#include <urlmon.h>

#include "common/Result.h"
#include "common/Text.h"

namespace tessary::host {

HostIconService::~HostIconService() {
  for (auto& request : requests_) {
    if (request.cookie) ::SysFreeString(request.cookie);
  }
}

STDMETHODIMP HostIconService::RequestIcon(BSTR url, BSTR localPath, HWND window, UINT message,
                                          BSTR cookie) noexcept {
  // The cookie becomes ours with the call, whatever happens next.
  BSTR owned = cookie;
  const HRESULT hr = Guarded([&]() -> HRESULT {
    Request request;
    request.url = TextToNul(url);
    request.localPath = TextToNul(localPath);
    request.window = window;
    request.message = message;
    requests_.push_back(std::move(request));
    requests_.back().cookie = owned;
    owned = nullptr;
    return S_OK;
  });
  if (owned) ::SysFreeString(owned);
  RETURN_IF_FAILED(hr);
  if (!hold_) Finish(requests_.back());
  return S_OK;
}

void HostIconService::Finish(Request& request) noexcept {
  if (!request.cookie) return;
  request.downloaded = SUCCEEDED(::URLDownloadToFileW(nullptr, request.url.c_str(),
                                                      request.localPath.c_str(), 0, nullptr));
  // Posted, so the answer arrives on the requester's own thread. Without a
  // window nobody would take the cookie: it stays ours.
  if (request.window &&
      ::PostMessageW(request.window, request.message, reinterpret_cast<WPARAM>(request.cookie),
                     0)) {
    request.cookie = nullptr;
  }
}

int HostIconService::Complete() noexcept {
  int done = 0;
  for (auto& request : requests_) {
    if (!request.cookie) continue;
    Finish(request);
    ++done;
  }
  return done;
}

size_t HostIconService::Waiting() const noexcept {
  size_t waiting = 0;
  for (const auto& request : requests_) {
    if (request.cookie) ++waiting;
  }
  return waiting;
}

}  // namespace tessary::host
