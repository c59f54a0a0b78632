#pragma once
// Tells the host whether an icon file is on disk and, when it is not, asks the
// host's icon service to fetch it, once until the fetch reports back through
// the object's hidden window (message 3525, the cookie string as wParam).
#include <windows.h>
#include <wrl/client.h>

#include <map>
#include <string>

#include "TessaryLib.h"
#include "com/ComObject.h"
#include "com/HiddenWindow.h"

namespace tessary {

inline constexpr UINT kIconDoneMessage = 3525;
inline constexpr wchar_t kIconWindowName[] = L"ZORARADAD_EREDOVEVODAZO_VUDUVEVAR";

class KaGetIconStatus final : public ComObject<KaGetIconStatus, IKaGetIconStatus> {
 public:
  KaGetIconStatus() noexcept = default;
  ~KaGetIconStatus();

  // Makes the hidden window and fixes the base folder for relative paths;
  // always succeeds.
  HRESULT FinalConstruct() noexcept;

  // S_OK when a file or folder exists at the path now; E_FAIL otherwise,
  // whether or not this call asked for a download.
  STDMETHODIMP GetIconStatus(BSTR bstrLocalPath, BSTR bstrUrl) noexcept override;

  HWND window() const noexcept { return window_.get(); }
  // The folder above the host executable's folder, with a trailing backslash.
  const std::wstring& iconBaseFolder() const noexcept { return iconBaseFolder_; }
  size_t PendingCount() const noexcept { return pending_.size(); }

 private:
  static void OnWindowMessage(void* self, WPARAM cookie, LPARAM) noexcept;
  void OnIconDone(BSTR cookie) noexcept;

  HiddenWindow window_;
  std::wstring iconBaseFolder_;
  // Full paths awaiting their download, each with the cookie handed to the
  // host (null when no request could be made). The host owns a cookie until
  // it hands it back; only cookies listed here are taken back.
  std::map<std::wstring, BSTR> pending_;
  Microsoft::WRL::ComPtr<IKaIconService> iconService_;
};

// Class-table creation; refuses aggregation.
HRESULT CreateKaGetIconStatus(IUnknown* outer, REFIID riid, void** ppv) noexcept;

// How the status manager makes its own request object at Attach:
//   ComPtr<IKaGetIconStatus> icons;
//   if (SUCCEEDED(MakeKaGetIconStatus(icons))) ... icons->GetIconStatus(path, url);
HRESULT MakeKaGetIconStatus(Microsoft::WRL::ComPtr<IKaGetIconStatus>& out) noexcept;

}  // namespace tessary
