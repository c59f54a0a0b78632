#pragma once
// Programs found through the start menu, and the executable paths derived
// for programs found in the Uninstall keys.
#include <windows.h>
#include <msxml.h>
#include <unknwn.h>
#include <wrl/client.h>

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "identify/IdentificationRules.h"
#include "identify/InstalledSoftRecord.h"
#include "inventory/InstalledProgramInventory.h"

namespace tessary {

// A software entry of the rules file that names start-menu locations.
struct StartMenuRule {
  std::wstring name;  // lower-cased
  std::vector<StartMenuLocation> locations;  // never empty
};

// Reads the start_menu elements of the rules file. Entries are appended in
// document order and duplicates are kept. False, with `rules` unchanged, when
// the file is missing, does not parse, lacks the "vedad" root or has a
// non-zero "result"; a root without child nodes also leaves `rules` as it
// was but counts as success. May throw bad_alloc.
bool LoadStartMenuRules(const wchar_t* path, std::vector<StartMenuRule>& rules);
// The same from a document already loaded from the rules file.
bool LoadStartMenuRules(IXMLDOMDocument* document, std::vector<StartMenuRule>& rules);

// --- Programs folders -----------------------------------------------------------

using FolderPathQuery = HRESULT(WINAPI*)(HWND owner, int csidl, HANDLE token, DWORD flags,
                                         LPWSTR path);

// Replaces SHGetFolderPathW for the Programs folders (null restores it) and
// returns the previous query.
FolderPathQuery SetFolderPathQuery(FolderPathQuery query) noexcept;

enum class ProgramsFolder { kUser, kCommon };

// The two Programs folders, each fetched once and kept; a failed fetch is
// tried again next time. They are looked up only on NT 5.0 to 5.2 and on 6.x
// other than 6.1 (version classes 0 to 3): elsewhere, Windows 7 among them,
// no start-menu record is ever made.
class KnownFolderCache {
 public:
  // Empty when the folder is unavailable. May throw bad_alloc.
  const std::wstring& Get(ProgramsFolder which);

 private:
  std::wstring user_;
  std::wstring common_;
};

// Reads shell-link targets through IShellLinkW on this thread's apartment.
// COM is initialised for the resolver's lifetime (balanced at its end, so the
// thread's own COM state is left as it was) and the link class is looked up
// once, so resolving hundreds of links pays for both once. On a thread of a
// multithreaded apartment nothing resolves.
class ShortcutResolver {
 public:
  ShortcutResolver() noexcept;
  ~ShortcutResolver();
  ShortcutResolver(const ShortcutResolver&) = delete;
  ShortcutResolver& operator=(const ShortcutResolver&) = delete;

  // The link's target; nothing when the link cannot be loaded or has no
  // target that fits a path. May throw bad_alloc.
  std::optional<std::wstring> Resolve(const std::wstring& linkPath);

 private:
  HRESULT initialized_;
  Microsoft::WRL::ComPtr<IClassFactory> factory_;
};

// Resolves start-menu rules into records. One scanner serves one index
// build: it lists each folder and resolves each shortcut once, however many
// rules ask, so a build walks every folder at most once.
class StartMenuScanner {
 public:
  explicit StartMenuScanner(KnownFolderCache& folders) noexcept : folders_(folders) {}

  // Tries each location in the all-users Programs folder, then the user's;
  // true at the first folder whose shortcuts give `record` an application
  // or uninstaller path. May throw bad_alloc.
  bool Resolve(const StartMenuRule& rule, InstalledSoftRecord& record);

  // Scans one folder for the location's shortcuts. May throw bad_alloc.
  bool ScanFolder(const std::wstring& folder, const StartMenuRule& rule,
                  const StartMenuLocation& location, InstalledSoftRecord& record);

 private:
  struct Listing {
    bool ok = false;
    std::vector<std::wstring> names;
  };
  const Listing& List(const std::wstring& folder);
  const std::wstring* Target(const std::wstring& link);

  KnownFolderCache& folders_;
  std::optional<ShortcutResolver> resolver_;  // made at the first link
  std::map<std::wstring, Listing, std::less<>> listings_;
  std::map<std::wstring, std::optional<std::wstring>, std::less<>> targets_;
};

// The version of a start-menu record under kaSoftVersionPolicy_oppFile or
// _oppProduct, read from the fixed version block of the file at
// `relativePath` beside the application, else beside the uninstaller.
// E_INVALIDARG for another policy, E_FAIL when neither yields a version.
// On S_OK the record's policyVersion holds the same text. May throw
// bad_alloc.
HRESULT StartMenuVersion(InstalledSoftRecord& record, int policy,
                         std::wstring_view relativePath, std::wstring& version);

}  // namespace tessary
