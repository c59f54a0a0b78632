#pragma once
// The host's central object. It forwards status questions to the
// common-software object, hands out the catalog, type storage, updater and
// recommendations (one instance each, made on first use and kept until
// Detach), asks the module's antivirus detector and its icon request object,
// links the module to the host, and warms the two slow sub-objects up 1.5 s
// after Attach.
#include <windows.h>
#include <ocidl.h>
#include <wrl/client.h>

#include "TessaryLib.h"
#include "catalog/KaSoftTypeStorage.h"
#include "common/Unique.h"
#include "facade/ConnectionPoint.h"
#include "recommend/KaRecommendSoft.h"
#include "com/ComObject.h"
#include "com/WindowClass.h"

namespace tessary {

class KaSoftStatusManager final
    : public ComObject<KaSoftStatusManager, IKaSoftStatusManager, IConnectionPointContainer,
                       IKaHostPlugin, IKaServiceEvents, IKaNotifyEvents> {
 public:
  static constexpr UINT_PTR kWarmUpTimerId = 800;
  static constexpr UINT kWarmUpDelayMs = 1500;

  KaSoftStatusManager() noexcept
      : events_(static_cast<IConnectionPointContainer*>(this),
                __uuidof(_IKaSoftStatusManagerEvents)) {}
  ~KaSoftStatusManager();

  // Makes the hidden window that receives the warm-up timer; construction
  // succeeds without it.
  HRESULT FinalConstruct() noexcept;

  // IKaSoftStatusManager
  STDMETHODIMP GetSoftInstallStatus(BSTR bstrSoftName, kaSoftInstallStatus* lpInstallStatus,
                                    BSTR* lpbstrCurVersion,
                                    BSTR* lpbstrCurDisplayName) noexcept override;
  STDMETHODIMP GetSoftInstallStatusWithVer(BSTR bstrSoftName, BSTR bstrCurVersion,
                                           kaSoftInstallStatus* lpInstallStatus,
                                           BSTR* lpbstrCurName) noexcept override;
  STDMETHODIMP GetSoftTypeStorage(IKaSoftTypeStorage** lplpSoftTypeStorage) noexcept override;
  STDMETHODIMP GetAntivirusInstallStatus(kaSoftInstallStatus* lpInstallStatus,
                                         BSTR* lpbstrAntivirusName,
                                         BSTR* lpbstrDisplayName) noexcept override;
  STDMETHODIMP GetIcons(BSTR bstrLocalPath, BSTR bstrUrl) noexcept override;
  STDMETHODIMP RefreshAllInstalledStatus() noexcept override;
  STDMETHODIMP RefreshOneInstalledStatus(BSTR bstrSoftName) noexcept override;
  STDMETHODIMP RefreshIdentifyInfo() noexcept override;
  STDMETHODIMP GetUninstallString(BSTR bstrSoftName, BSTR bstrSoftVersion,
                                  BSTR* lpbstrUninstallString) noexcept override;
  STDMETHODIMP GetStartupExeString(BSTR bstrSoftName, BSTR* lpbstrStartupExe) noexcept override;
  STDMETHODIMP GetSoftwareCatelog(IKaSoftwareCatelog** lplpSoftwareCatelog) noexcept override;
  STDMETHODIMP GetSoftwareUpdater(IKaSoftUpdater** lplpSoftwareUpdater) noexcept override;
  STDMETHODIMP RefreshRecmdSoft() noexcept override;
  STDMETHODIMP GetRecommendSoft(IKaRecommendSoft** lplpRecmdSoft) noexcept override;

  // IConnectionPointContainer: one point, for _IKaSoftStatusManagerEvents.
  STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** out) noexcept override;
  STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** out) noexcept override;

  // IKaHostPlugin
  STDMETHODIMP Attach(IKaHostServices* host) noexcept override;
  STDMETHODIMP Detach() noexcept override;

  // IKaServiceEvents: follows the host's notification service as it comes
  // and goes.
  STDMETHODIMP OnServiceEvent(LONG kind, const GUID* serviceId,
                              IUnknown* service) noexcept override;

  // IKaNotifyEvents: category 1, code 2 reloads the data files.
  STDMETHODIMP OnNotify(LONG category, LONG code, LONG param) noexcept override;

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam,
                                     LPARAM lParam) noexcept;
  void OnTimer(UINT_PTR id) noexcept;

  // Each answers the field's object after its creation, or none: a call
  // out during the creation may have emptied or refilled the field.
  Microsoft::WRL::ComPtr<IKaCommonSoft> EnsureCommonSoft() noexcept;
  Microsoft::WRL::ComPtr<IKaSoftwareCatelog> EnsureCatalog() noexcept;
  Microsoft::WRL::ComPtr<KaSoftTypeStorage> EnsureTypeStorage() noexcept;
  int EnsureRecommendations() noexcept;
  void SubscribeHostEvents(IKaHostServices* host, unsigned epoch) noexcept;
  void CancelHostSubscription() noexcept;
  void JoinNotifyService(IUnknown* service) noexcept;
  void LeaveNotifyService(IUnknown* service) noexcept;
  bool IsNotifySink(IUnknown* sink) noexcept;
  bool HoldsNotifyCookie(IConnectionPoint* point, DWORD cookie) noexcept;
  void ReleaseSubObjects() noexcept;

  EmbeddedConnectionPoint events_;
  ModuleWindow window_;
  // Bumped by every Attach and Detach: one run from inside another's call
  // out supersedes it, and the outer one stops there.
  unsigned linkEpoch_ = 0;
  // The host-events subscription keeps the point it was made on, so Detach
  // cancels it there even when another facade's Attach has moved the
  // module's host reference on since.
  DWORD hostEventsCookie_ = 0;
  Microsoft::WRL::ComPtr<IConnectionPoint> hostEventsPoint_;
  // Only the cookie: the notification service's point holds this facade, so
  // holding the point back would keep both alive for good. The subscription
  // ends on the service that announces its removal, or with the service.
  DWORD notifyEventsCookie_ = 0;
  Microsoft::WRL::ComPtr<IKaGetIconStatus> iconRequest_;
  Microsoft::WRL::ComPtr<IKaCommonSoft> commonSoft_;
  Microsoft::WRL::ComPtr<IKaSoftwareCatelog> catalog_;
  Microsoft::WRL::ComPtr<KaSoftTypeStorage> typeStorage_;
  bool makingTypeStorage_ = false;
  UINT_PTR warmUpTimer_ = 0;
  Microsoft::WRL::ComPtr<IKaSoftUpdater> updater_;
  Microsoft::WRL::ComPtr<KaRecommendSoft> recommendations_;
};

HRESULT CreateKaSoftStatusManager(IUnknown* outer, REFIID riid, void** ppv) noexcept;

}  // namespace tessary
