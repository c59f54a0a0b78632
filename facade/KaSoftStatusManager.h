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
#include "com/ComObject.h"
#include "com/ConnectionPoint.h"
#include "com/HiddenWindow.h"
#include "facade/HostLink.h"
#include "recommend/KaRecommendSoft.h"

namespace tessary {

class KaCommonSoft;
class KaSoftUpdater;
class KaSoftwareCatelog;

class KaSoftStatusManager final
    : public ComObject<KaSoftStatusManager, IKaSoftStatusManager, IConnectionPointContainer,
                       IKaHostPlugin, IKaServiceEvents, IKaNotifyEvents> {
 public:
  static constexpr UINT_PTR kWarmUpTimerId = 800;
  static constexpr UINT kWarmUpDelayMs = 1500;

  KaSoftStatusManager() noexcept
      : events_(static_cast<IConnectionPointContainer*>(this),
                __uuidof(_IKaSoftStatusManagerEvents)),
        link_(static_cast<IKaServiceEvents*>(this), static_cast<IKaNotifyEvents*>(this),
              InnerUnknown()) {}
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
  // A sub-object made on first use, by `Made`'s creation, and kept until
  // Detach. `making` refuses it to a request from inside its own making (the
  // type storage's asks the host for this facade's catalog), rather than
  // making it without end.
  template <typename Made, typename Interface = Made>
  struct SubObject {
    Microsoft::WRL::ComPtr<Interface> object;
    bool making = false;
  };

  // The field's object, made and finished first if it has none; none when
  // it cannot be made or a call out during its making emptied the field.
  template <typename Made, typename Interface>
  Microsoft::WRL::ComPtr<Interface> Ensure(SubObject<Made, Interface>& field) noexcept;

  static void OnWarmUpTimer(void* self, WPARAM id, LPARAM) noexcept;
  void OnTimer(UINT_PTR id) noexcept;
  // What Attach sets up once linked: the icon request object and the
  // warm-up timer.
  void StartServing() noexcept;
  void StopWarmUp() noexcept;
  void ReleaseSubObjects() noexcept;

  EmbeddedConnectionPoint events_;
  HostLink link_;
  HiddenWindow window_;
  UINT_PTR warmUpTimer_ = 0;
  Microsoft::WRL::ComPtr<IKaGetIconStatus> iconRequest_;
  SubObject<KaCommonSoft, IKaCommonSoft> commonSoft_;
  SubObject<KaSoftwareCatelog, IKaSoftwareCatelog> catalog_;
  SubObject<KaSoftTypeStorage> typeStorage_;
  SubObject<KaSoftUpdater, IKaSoftUpdater> updater_;
  SubObject<KaRecommendSoft> recommendations_;
};

HRESULT CreateKaSoftStatusManager(IUnknown* outer, REFIID riid, void** ppv) noexcept;

}  // namespace tessary
