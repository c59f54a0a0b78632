#pragma once
// Which antivirus product is installed: the security center answers on
// Windows XP (NT 5.1), and everywhere else the rules file "KaAntivirusIdentify.xml"
// decides by the Uninstall subkeys each product leaves behind. The module has
// one detector, made on first use and freed when the module goes.
#include <windows.h>
#include <oleauto.h>

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "TessaryLib.h"
#include "common/SrwLock.h"

namespace tessary {

// --- What the status manager calls ----------------------------------------------

// Detects with the module's detector. `*status` becomes
// kaSoftInstallStatus_installed or kaSoftInstallStatus_noInstall. On a find,
// each present out string receives a new string owned by the caller; with no
// find both are left untouched, so callers initialise them. E_POINTER when
// `status` is null; E_OUTOFMEMORY when an out string cannot be made (nothing
// is written then); S_OK otherwise.
HRESULT DetectAntivirus(kaSoftInstallStatus* status, BSTR* name, BSTR* displayName) noexcept;

// Loads the module's rules file again at once; 1 when it loaded, else 0 (the
// rules read before stay in use).
int ReloadAntivirusRules() noexcept;

// --- The security-center seam ------------------------------------------------------

// Runs the WMI query of the security center. A success means the query ran;
// `*displayName` is then the first product's name, or null when there is no
// product or it has no name. Any failure means the security center is silent.
using SecurityCenterQuery = HRESULT (*)(BSTR* displayName);

// Replaces the query (the WMI one by default; null restores it) and returns the
// previous one.
SecurityCenterQuery SetSecurityCenterQuery(SecurityCenterQuery query) noexcept;

// The real query: ROOT\SECURITYCENTER, "SELECT * FROM antivirusproduct".
HRESULT QueryWmiSecurityCenter(BSTR* displayName) noexcept;

// --- The detector -------------------------------------------------------------------

class AntivirusDetector {
 public:
  struct Marker {
    int index = -1;            // kept, not used to detect
    std::wstring value;        // Uninstall subkey name
    std::wstring displayName;  // as written
  };
  struct Entry {
    std::wstring name;         // lower-cased
    std::wstring displayName;  // lower-cased
    std::vector<Marker> markers;
  };
  using Entries = std::map<std::wstring, Entry>;

  explicit AntivirusDetector(std::wstring rulesPath) noexcept : rulesPath_(std::move(rulesPath)) {}
  AntivirusDetector(const AntivirusDetector&) = delete;
  AntivirusDetector& operator=(const AntivirusDetector&) = delete;

  // Loads the rules unless they are loaded; a failed load is tried again next
  // time. Callers on other threads wait for a load in progress.
  void EnsureLoaded() noexcept;
  // Forgets the loaded mark and loads at once; the new mark (0 or 1).
  int Reload() noexcept;
  // As DetectAntivirus above, with this detector's rules.
  HRESULT Detect(kaSoftInstallStatus* status, BSTR* name, BSTR* displayName) noexcept;

  bool rulesLoaded() const noexcept;
  // The rules in use, never changed once published; null before any load.
  std::shared_ptr<const Entries> entries() const noexcept;
  const std::wstring& rulesPath() const noexcept { return rulesPath_; }

 private:
  bool LoadRules();
  void Load() noexcept;

  const std::wstring rulesPath_;
  // The module's one detector serves every apartment: a reload publishes a
  // new table, and a reader keeps the one it took.
  mutable SrwLock lock_;
  std::shared_ptr<const Entries> entries_;
  bool rulesLoaded_ = false;
  // One load at a time; the thread loading, so a nested call on it does not
  // load again (nor wait for itself).
  SrwLock loadLock_;
  std::atomic<DWORD> loadingThread_{0};
};

}  // namespace tessary
