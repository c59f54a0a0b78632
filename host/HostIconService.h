#pragma once
// Our host's icon downloads: fetches a URL to a local file and tells the
// requester through its window, handing the cookie string over as wParam.
#include <windows.h>

#include <string>
#include <vector>

#include "TessaryLib.h"
#include "com/ComObject.h"

namespace tessary::host {

class HostIconService final : public ComObject<HostIconService, IKaIconService> {
 public:
  struct Request {
    std::wstring url;
    std::wstring localPath;
    HWND window = nullptr;
    UINT message = 0;
    BSTR cookie = nullptr;  // owned until handed to the window
    bool downloaded = false;
  };

  ~HostIconService();

  // Held requests wait for Complete(); by default each completes at once.
  void HoldRequests(bool hold) noexcept { hold_ = hold; }
  // Downloads and reports every waiting request; returns how many.
  int Complete() noexcept;
  const std::vector<Request>& Requests() const noexcept { return requests_; }
  size_t Waiting() const noexcept;

  STDMETHODIMP Reserved3() noexcept override { return E_NOTIMPL; }
  STDMETHODIMP Reserved4() noexcept override { return E_NOTIMPL; }
  STDMETHODIMP Reserved5() noexcept override { return E_NOTIMPL; }
  STDMETHODIMP Reserved6() noexcept override { return E_NOTIMPL; }
  STDMETHODIMP Reserved7() noexcept override { return E_NOTIMPL; }
  STDMETHODIMP RequestIcon(BSTR url, BSTR localPath, HWND window, UINT message,
                           BSTR cookie) noexcept override;

 private:
  void Finish(Request& request) noexcept;

  std::vector<Request> requests_;
  bool hold_ = false;
};

}  // namespace tessary::host
