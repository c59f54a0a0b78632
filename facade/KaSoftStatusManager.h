#pragma once
// The host's central object. So far it links the module to the host
// (Attach/Detach) and hands out the catalog and the type storage; the
// status queries, updater, recommendations, events and warm-up are not
// built yet and answer E_NOTIMPL.
#include <windows.h>
#include <wrl/client.h>

#include "TessaryLib.h"
#include "server/ComObject.h"

namespace tessary {

class KaSoftStatusManager final
    : public ComObject<KaSoftStatusManager, IKaSoftStatusManager, IKaHostPlugin> {
 public:
  KaSoftStatusManager() noexcept = default;

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

  // IKaHostPlugin
  STDMETHODIMP Attach(IKaHostServices* host) noexcept override;
  STDMETHODIMP Detach() noexcept override;

 private:
  bool EnsureCatalog() noexcept;

  Microsoft::WRL::ComPtr<IKaSoftwareCatelog> catalog_;
  Microsoft::WRL::ComPtr<IKaSoftTypeStorage> typeStorage_;
};

HRESULT CreateKaSoftStatusManager(IUnknown* outer, REFIID riid, void** ppv) noexcept;

}  // namespace tessary
