#pragma once
// One installed program as the installed-software engine keeps it, the
// ordered index of such records, and the version computed for a record under
// a version policy, cached per record.
#include <windows.h>

#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "TessaryLib.h"

namespace tessary {

// The engine's own result codes.
inline constexpr HRESULT kVersionComputed = static_cast<HRESULT>(0x00070000);
inline constexpr HRESULT kNoRecordForKey = static_cast<HRESULT>(0x80070001);
inline constexpr HRESULT kVersionFileMissing = static_cast<HRESULT>(0x80070002);
inline constexpr HRESULT kVersionUnreadable = static_cast<HRESULT>(0x80070005);

struct InstalledSoftRecord {
  std::wstring keyName;
  std::wstring displayVersion;
  std::wstring arpImagePath;
  // A one-entry cache: the version the last computation under `policy` gave.
  std::wstring policyVersion;
  int policy = kaSoftVersionPolicy_none;
  std::wstring uninstallString;
  std::wstring uninstallerPath;
  // The uninstaller's path in the letter case it was found in, for opening
  // files beside it: uninstallerPath is lower-cased once a version is read
  // through it, and a file system that is not case-insensitive by nature
  // (Wine's) lists every folder of such a path to find it.
  std::wstring uninstallerFile;
  std::wstring applicationPath;

  // Provenance, for explanations: where the record was read (a
  // kaUninstallSource; 0 for a start-menu record), the file its cached
  // version was read from or looked for and the result of that computation,
  // and the shortcuts a start-menu record was resolved from.
  int source = 0;
  std::wstring versionFile;
  HRESULT versionResult = S_OK;
  std::wstring appShortcut;
  std::wstring uninstallShortcut;
};

// The record that answered a version question, and whether it already held
// a version under the policy asked (so nothing was computed).
struct VersionOrigin {
  const InstalledSoftRecord* record = nullptr;
  bool cached = false;
};

// Keys are lower-cased before insertion and lookup; records under one key
// keep their insertion order (HKLM's before HKCU's).
using InstalledSoftIndex = std::multimap<std::wstring, InstalledSoftRecord, std::less<>>;

// Start-menu records share the key space: the rule's name and this suffix.
inline constexpr wchar_t kStartMenuKeySuffix[] = L"_startmenu";

// The version as queries see it: DisplayVersion under the registry policy,
// otherwise the cached version, computed first when the cached policy
// differs. Always kVersionComputed; `version` may come back empty.
HRESULT RecordVersion(InstalledSoftRecord& record, int policy, std::wstring_view relativePath,
                      std::wstring& version);

// Recomputes and caches the record's version under `policy`. A failed read
// through a relative path leaves the cache at kaSoftVersionPolicy_none, so
// the next request computes again; a failed ARP-cache read keeps the policy.
HRESULT ComputePolicyVersion(InstalledSoftRecord& record, int policy,
                             std::wstring_view relativePath);

// The game platform's install folder joined with `relativePart`; empty when
// its key or value cannot be read.
std::wstring GlobalLinkInstallPath(std::wstring_view relativePart);

// A version as read from a file, cleaned for keeping: version letters at
// both ends dropped, then blanks removed and commas turned into full stops.
std::wstring CleanFileVersion(const wchar_t* raw);

}  // namespace tessary
