#pragma once
// Installed programs by their Uninstall key name, and programs the start-menu
// rules resolve: the engine behind identification by software name.
#include <windows.h>
#include <msxml.h>
#include <wrl/client.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "TessaryLib.h"
#include "com/Dispatch.h"
#include "identify/InstalledProgramList.h"
#include "identify/InstalledSoftRecord.h"
#include "identify/StartMenu.h"
#include "inventory/InstalledProgramInventory.h"
#include "com/ComObject.h"

namespace tessary {

class KaInstalledSoft final : public ComObject<KaInstalledSoft, IKaInstalledSoft,
                                               DualInterface<IKaInstalledPrograms2>> {
 public:
  KaInstalledSoft() noexcept = default;
  // For an owner that has just loaded the rules file itself: the first build
  // reads its start-menu rules from `rules` instead of loading it again.
  explicit KaInstalledSoft(Microsoft::WRL::ComPtr<IXMLDOMDocument> rules) noexcept
      : preloadedRules_(std::move(rules)) {}

  // Builds the index before the object is handed out.
  HRESULT FinalConstruct() noexcept;
  // A host that creates the object for its list gets the list's values read
  // in the build's own walk, from the same moment as the records, rather
  // than in a second walk when it first asks for an item.
  void ReadListInBuild() noexcept { listInBuild_ = true; }
  // The first list interface, asked for by its own identifier.
  HRESULT QueryExtraInterface(REFIID riid, void** ppv) noexcept;

  STDMETHODIMP QueryInstallStatus(BSTR bstrRegKey,
                                  kaSoftInstallStatus* lpInstallStatus) noexcept override;
  STDMETHODIMP QueryInstallStatusWithVersion(BSTR bstrRegKey, kaSoftVersionPolicy verPolicy,
                                             BSTR verRelateFilePath, BSTR bstrVersion,
                                             kaSoftInstallStatus* lpInstallStatus) noexcept
      override;
  STDMETHODIMP QueryUninstallStringWithVersion(BSTR bstrRegKey, kaSoftVersionPolicy verPolicy,
                                               BSTR verRelateFilePath, BSTR bstrVersion,
                                               BSTR* lpbstrUninstallString) noexcept override;
  STDMETHODIMP GetSoftVersion(BSTR bstrRegKey, kaSoftVersionPolicy verPolicy,
                              BSTR verRelateFilePath, BSTR* lpbstrPolicyVer) noexcept override;
  STDMETHODIMP SetSoftVersion(BSTR bstrRegKey, kaSoftVersionPolicy verPolicy,
                              BSTR verRelateFilePath) noexcept override;
  STDMETHODIMP ReBuildInstalledVerInfo() noexcept override;
  STDMETHODIMP GetStartupExeString(BSTR bstrRegKey, BSTR* lpbstrStartupExe) noexcept override;
  STDMETHODIMP GetSoftVersionFromStartMenu(BSTR bstrSoftName, kaSoftVersionPolicy verPolicy,
                                           BSTR bstrRelateFilePath,
                                           BSTR* pbstrPolicyVer) noexcept override;

  // IKaInstalledPrograms2: the Uninstall entries of the last build; items
  // carry their values whole.
  STDMETHODIMP get_Count(LONG* lplCount) noexcept override;
  STDMETHODIMP get_EntryCount(LONG* lplEntryCount) noexcept override;
  STDMETHODIMP get_Item(LONG lIndex, IKaInstalledProgram** lplpProgram) noexcept override;
  // NOLINTNEXTLINE(bugprone-reserved-identifier): the interface's name for it
  STDMETHODIMP _NewEnum(IUnknown** lplpEnum) noexcept override;

  // The same questions for callers inside the module, without COM strings.
  // Keys are lower-cased here. They may throw bad_alloc.
  // `origin`, when given, learns which record answered.
  HRESULT VersionOf(std::wstring_view key, int policy, std::wstring_view relativePath,
                    std::wstring& version, VersionOrigin* origin = nullptr);
  kaSoftInstallStatus StatusWithVersion(std::wstring_view key, int policy,
                                        std::wstring_view relativePath,
                                        std::wstring_view version);
  HRESULT UninstallStringWithVersion(std::wstring_view key, int policy,
                                     std::wstring_view relativePath, std::wstring_view version,
                                     std::wstring& uninstallString);
  HRESULT StartupExe(std::wstring_view key, std::wstring& path);
  HRESULT StartMenuVersionOf(std::wstring_view name, int policy, std::wstring_view relativePath,
                             std::wstring& version, VersionOrigin* origin = nullptr);
  // Replaces the index and the list whole, or leaves them as they were.
  // May throw bad_alloc.
  HRESULT BuildIndex();
  // The records of a key in index order, for explanations. May throw
  // bad_alloc.
  std::vector<const InstalledSoftRecord*> RecordsFor(std::wstring_view key);

  // Holds the version caches of some keys' records and puts them back as
  // they were when it goes, so an explanation computes versions without
  // changing what any later question sees. Valid until the next build.
  class VersionCacheKeeper {
   public:
    VersionCacheKeeper() = default;
    VersionCacheKeeper(VersionCacheKeeper&&) = default;
    VersionCacheKeeper& operator=(VersionCacheKeeper&&) = delete;
    ~VersionCacheKeeper();

   private:
    friend class KaInstalledSoft;
    struct Kept {
      InstalledSoftRecord* record;
      std::wstring policyVersion;
      int policy;
      std::wstring versionFile;
      HRESULT versionResult;
    };
    std::vector<Kept> kept_;
  };
  // May throw bad_alloc, before anything is held.
  VersionCacheKeeper KeepVersionCaches(const std::vector<std::wstring>& keys);

 private:
  using Range = std::pair<InstalledSoftIndex::iterator, InstalledSoftIndex::iterator>;
  Range RecordsOf(std::wstring_view key);
  // The first record of the key whose version under `policy` is `version`
  // (blanks around it ignored); end of the index when none matches.
  InstalledSoftIndex::iterator FirstMatch(std::wstring_view key, int policy,
                                          std::wstring_view relativePath,
                                          std::wstring_view version);

  Microsoft::WRL::ComPtr<IXMLDOMDocument> preloadedRules_;  // used by the first build only
  InstalledSoftIndex index_;
  InstalledProgramSnapshot programs_;  // the list of the last build
  bool listInBuild_ = false;
  InstalledProgramInventory inventory_;  // holds records only during a build
  std::vector<StartMenuRule> startMenuRules_;
  KnownFolderCache folders_;
  std::wstring lookupKey_;  // reused for lower-casing lookup keys
};

HRESULT CreateKaInstalledSoft(IUnknown* outer, REFIID riid, void** ppv) noexcept;

}  // namespace tessary
