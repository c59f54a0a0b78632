#pragma once
// Answers for a program named the way the host names it: the name goes
// through the identification rules to registry keys and start-menu locations,
// which the owned installed-software engine answers for. Outcomes are kept
// per name until a refresh.
#include <windows.h>
#include <wrl/client.h>

#include <string>

#include "TessaryLib.h"
#include "identify/IdentificationRules.h"
#include "identify/KaInstalledSoft.h"
#include "com/ComObject.h"

namespace tessary {

class KaCommonSoft final : public ComObject<KaCommonSoft, IKaCommonSoft, IKaIdentifyExplain> {
 public:
  KaCommonSoft() noexcept = default;

  // Loads the rules and builds the engine; never fails the creation.
  HRESULT FinalConstruct() noexcept;

  STDMETHODIMP QuerySoftInstallStatus(BSTR bstrSoftName,
                                      kaSoftInstallStatus* lpInstallStatus) noexcept override;
  STDMETHODIMP QuerySoftInstallStatusWithVersion(BSTR bstrSoftName, BSTR bstrVersion,
                                                 kaSoftInstallStatus* lpInstallStatus,
                                                 BSTR* lpbstrDisplayName) noexcept override;
  STDMETHODIMP GetSoftVersion(BSTR bstrSoftName, kaSoftInstallStatus* lpInstallStatus,
                              BSTR* lpbstrVersion, BSTR* lpbstrDisplayName) noexcept override;
  STDMETHODIMP RefreshIdentifyInfo() noexcept override;
  STDMETHODIMP RefreshInstalledInfo() noexcept override;
  STDMETHODIMP RefreshOneInstalledInfo(BSTR bstrSoftName) noexcept override;
  STDMETHODIMP GetUninstallString(BSTR bstrSoftName, BSTR bstrSoftVersion,
                                  BSTR* lpbstrUninstallString) noexcept override;
  STDMETHODIMP GetStartupExeString(BSTR bstrSoftName, BSTR* lpbstrStartupExe) noexcept override;

  // IKaIdentifyExplain: identifies the name again with its steps and renders
  // them; the cached outcome is left as it is.
  STDMETHODIMP ExplainIdentification(BSTR bstrSoftName,
                                     BSTR* lpbstrExplanation) noexcept override;

 private:
  // The entry for a name in any letter case; null when the rules do not
  // know it. May throw bad_alloc.
  SoftwareRule* Lookup(BSTR name);
  // The rule entry of `name`, identified if it was not yet; null (with the
  // status to report) when there is none or it cannot be identified.
  HRESULT LookupIdentified(BSTR name, kaSoftInstallStatus* status, SoftwareRule*& entry);
  // Keeps the engine's answer for the entry.
  void Identify(SoftwareRule& entry);

  IdentificationRuleTable rules_;
  std::wstring rulesPath_;
  Microsoft::WRL::ComPtr<KaInstalledSoft> engine_;  // null when it could not be made
  std::wstring lookupName_;  // reused for lower-casing looked-up names
};

HRESULT CreateKaCommonSoft(IUnknown* outer, REFIID riid, void** ppv) noexcept;

}  // namespace tessary
