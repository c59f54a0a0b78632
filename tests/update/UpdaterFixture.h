#pragma once
// The DLL's updater in our host, next to a stand-in status manager that
// hands out a catalog of the DLL (loaded from files our host names) and
// answers install status from a table.
#include <windows.h>

#include <gtest/gtest.h>
#include <wrl/client.h>

#include <initializer_list>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "TessaryLib.h"
#include "host/Host.h"
#include "server/ComObject.h"
#include "support/TestSupport.h"

namespace tessary::testing {

class FakeStatusManager final : public ComObject<FakeStatusManager, IKaSoftStatusManager> {
 public:
  struct Install {
    kaSoftInstallStatus status;
    std::wstring version;
  };

  Microsoft::WRL::ComPtr<IKaSoftwareCatelog> catalog;  // none: GetSoftwareCatelog fails
  std::map<std::wstring, Install> installed;           // by the name as asked
  int statusCalls = 0;
  bool displayNameAsked = false;

  STDMETHODIMP GetSoftInstallStatus(BSTR name, kaSoftInstallStatus* status, BSTR* version,
                                    BSTR* displayName) noexcept override {
    ++statusCalls;
    displayNameAsked = displayNameAsked || displayName != nullptr;
    const auto found = installed.find(name ? name : L"");
    *status = found == installed.end() ? kaSoftInstallStatus_noIdentifyInfo : found->second.status;
    *version = found == installed.end() ? nullptr : ::SysAllocString(found->second.version.c_str());
    return S_OK;
  }
  STDMETHODIMP GetSoftwareCatelog(IKaSoftwareCatelog** out) noexcept override {
    *out = catalog.Get();
    if (!catalog) return E_FAIL;
    catalog->AddRef();
    return S_OK;
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
  STDMETHODIMP GetSoftwareUpdater(IKaSoftUpdater**) noexcept override { return E_NOTIMPL; }
  STDMETHODIMP RefreshRecmdSoft() noexcept override { return E_NOTIMPL; }
  STDMETHODIMP GetRecommendSoft(IKaRecommendSoft**) noexcept override { return E_NOTIMPL; }
};

// One update entry as the host reads it.
struct Update {
  std::wstring name;
  std::wstring installed;
  std::vector<std::wstring> versions;
  bool operator==(const Update&) const = default;
};

// A catalog software element; a version ending in '*' is a trial release.
std::string Soft(const char* name, std::initializer_list<const char*> versions);

class UpdaterFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The catalog file holds one main type and these software elements.
  void SetCatalog(const std::string& software);
  void Install(const wchar_t* name, const wchar_t* version,
               kaSoftInstallStatus status = kaSoftInstallStatus_installed) {
    facade_->installed[name] = {status, version};
  }
  void SetIgnoreList(const std::wstring& xml) {
    host_.Data().SetSetting(L"update", L"ignorelist", xml);
  }
  void PublishFacade();

  // Software count, version count, ignored count.
  std::vector<LONG> Counts();
  Update Entry(LONG index);
  std::vector<Update> Entries();
  // The ignore mark of a version item of the facade's current catalog.
  VARIANT_BOOL IgnoreMark(const wchar_t* name, const wchar_t* version);

  TessaryDll dll_;
  host::Host host_;
  TempDir dir_;
  Microsoft::WRL::ComPtr<IKaHostPlugin> plugin_;
  Microsoft::WRL::ComPtr<FakeStatusManager> facade_;
  Microsoft::WRL::ComPtr<IKaSoftUpdater> updater_;
};

std::wstring NameOf(IKaSoftWare* software);
std::vector<std::wstring> TakeStrings(SAFEARRAY* array);

}  // namespace tessary::testing
