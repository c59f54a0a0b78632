#pragma once
// A stand-in for the status manager that tests and benchmarks publish in our
// host: every method answers E_NOTIMPL until the derived class overrides it.
//
//   class Fake final : public StatusManagerStub<Fake> { ...overrides... };
#include <windows.h>

#include "TessaryLib.h"
#include "com/ComObject.h"

namespace tessary::testing {

template <typename Derived>
class StatusManagerStub : public ComObject<Derived, IKaSoftStatusManager> {
 public:
  STDMETHODIMP GetSoftInstallStatus(BSTR, kaSoftInstallStatus*, BSTR*, BSTR*) noexcept override {
    return E_NOTIMPL;
  }
  STDMETHODIMP GetSoftInstallStatusWithVer(BSTR, BSTR, kaSoftInstallStatus*,
                                           BSTR*) noexcept override {
    return E_NOTIMPL;
  }
  STDMETHODIMP GetSoftTypeStorage(IKaSoftTypeStorage**) noexcept override { return E_NOTIMPL; }
  STDMETHODIMP GetAntivirusInstallStatus(kaSoftInstallStatus*, BSTR*, BSTR*) noexcept override {
    return E_NOTIMPL;
  }
  STDMETHODIMP GetIcons(BSTR, BSTR) noexcept override { return E_NOTIMPL; }
  STDMETHODIMP RefreshAllInstalledStatus() noexcept override { return E_NOTIMPL; }
  STDMETHODIMP RefreshOneInstalledStatus(BSTR) noexcept override { return E_NOTIMPL; }
  STDMETHODIMP RefreshIdentifyInfo() noexcept override { return E_NOTIMPL; }
  STDMETHODIMP GetUninstallString(BSTR, BSTR, BSTR*) noexcept override { return E_NOTIMPL; }
  STDMETHODIMP GetStartupExeString(BSTR, BSTR*) noexcept override { return E_NOTIMPL; }
  STDMETHODIMP GetSoftwareCatelog(IKaSoftwareCatelog**) noexcept override { return E_NOTIMPL; }
  STDMETHODIMP GetSoftwareUpdater(IKaSoftUpdater**) noexcept override { return E_NOTIMPL; }
  STDMETHODIMP RefreshRecmdSoft() noexcept override { return E_NOTIMPL; }
  STDMETHODIMP GetRecommendSoft(IKaRecommendSoft**) noexcept override { return E_NOTIMPL; }

 protected:
  StatusManagerStub() noexcept = default;
};

}  // namespace tessary::testing
