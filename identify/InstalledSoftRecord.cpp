#include "identify/InstalledSoftRecord.h"

#include <shlwapi.h>

#include <algorithm>
#include <cwchar>
#include <memory>

#include "common/RegistryReader.h"
#include "common/Names.h"
#include "common/Text.h"
#include "identify/VersionPolicy.h"
#include "inventory/FileVersion.h"

namespace tessary {
namespace {

// The game platform registers under this Uninstall key name and keeps its
// programs below a folder of its own.
constexpr wchar_t kGlobalLinkKeyName[] = L"\x8054\x4f17\x4e16\x754c";
constexpr wchar_t kGlobalLinkSharePath[] = L"Software\\GlobalLink\\Game\\Share";

bool Exists(const wchar_t* path) noexcept { return path[0] != L'\0' && ::PathFileExistsW(path); }

// The folder of the uninstaller: its path cut after the first ".exe", with
// the file name removed. False when it does not fit a path buffer.
bool UninstallerFolder(std::wstring_view uninstallerPath, wchar_t (&folder)[MAX_PATH]) noexcept {
  const size_t exe = uninstallerPath.find(L".exe");
  if (exe != std::wstring_view::npos) uninstallerPath = uninstallerPath.substr(0, exe + 4);
  if (!FitsPath(uninstallerPath)) return false;
  CopyBounded(folder, uninstallerPath);
  ::PathRemoveFileSpecW(folder);
  return true;
}

// The same folder in the letter case the path was found in: cut where the
// lower-cased path is cut (lower-casing keeps every position), so the two
// name one folder. The lower-cased one when the path found is not known.
void UninstallerFolderAsFound(std::wstring_view lowered, std::wstring_view found,
                              wchar_t (&folder)[MAX_PATH]) noexcept {
  if (found.size() != lowered.size()) found = lowered;
  const size_t exe = lowered.find(L".exe");
  if (exe != std::wstring_view::npos) found = found.substr(0, exe + 4);
  CopyBounded(folder, found);
  ::PathRemoveFileSpecW(folder);
}

// Joins the folder and the relative part with "." and ".." resolved; an
// absolute relative part stands alone. A path that would not fit, or one
// left relative to whatever the current directory is, names no file.
bool JoinCandidate(const wchar_t* folder, const std::wstring& relative,
                   wchar_t (&candidate)[MAX_PATH]) noexcept {
  candidate[0] = L'\0';
  if (!FitsPath(relative)) return false;
  if (folder[0] == L'\0') {
    if (relative.empty() || ::PathIsRelativeW(relative.c_str())) return false;
    CopyBounded(candidate, relative);
    return true;
  }
  return ::PathCombineW(candidate, folder, relative.c_str()) != nullptr;
}

}  // namespace

std::wstring CleanFileVersion(const wchar_t* raw) {
  std::wstring version(TrimVersionLetters(ViewOf(raw)));
  NormalizeVersion(version);
  return version;
}

std::wstring GlobalLinkInstallPath(std::wstring_view relativePart) {
  UniqueHkey key;
  if (!OpenRegistryKey(HKEY_CURRENT_USER, kGlobalLinkSharePath, KEY_READ, key)) return {};
  // One character more than a path holds, to tell a full path from a cut one.
  wchar_t folder[MAX_PATH + 1] = {};
  auto reader = std::make_unique<RegistryTextReader>();
  if (!reader->Read(key.get(), L"Path", folder) || !FitsPath(folder)) return {};
  std::wstring path(folder);
  path += L'\\';
  path += relativePart;
  return path;
}

namespace {

HRESULT ComputeAndNoteFile(InstalledSoftRecord& record, int policy,
                           std::wstring_view relativePath) {
  record.policy = policy;
  record.versionFile.clear();
  if (policy == kaSoftVersionPolicy_reg) return kVersionComputed;

  VersionText fileVersion = {};
  VersionText productVersion = {};
  if (policy == kaSoftVersionPolicy_arpFile || policy == kaSoftVersionPolicy_arpProduct) {
    record.versionFile = record.arpImagePath;
    if (record.arpImagePath.empty() || !FitsPath(record.arpImagePath) ||
        !::PathFileExistsW(record.arpImagePath.c_str())) {
      record.policyVersion.clear();
      return kVersionFileMissing;
    }
    if (!ReadFixedFileVersion(record.arpImagePath.c_str(), &fileVersion, &productVersion)) {
      record.policyVersion.clear();
      return kVersionUnreadable;
    }
    record.policyVersion =
        CleanFileVersion(policy == kaSoftVersionPolicy_arpFile ? fileVersion : productVersion);
    return kVersionComputed;
  }

  LowerInPlace(record.uninstallerPath);
  std::wstring relative(relativePath);
  std::replace(relative.begin(), relative.end(), L'/', L'\\');
  wchar_t folder[MAX_PATH] = {};
  wchar_t candidate[MAX_PATH] = {};
  // The file is opened by the same path in the letter case it was found in;
  // the record names it lower-cased, as it always has.
  wchar_t foundFolder[MAX_PATH] = {};
  wchar_t file[MAX_PATH] = {};
  bool exists = UninstallerFolder(record.uninstallerPath, folder) &&
                JoinCandidate(folder, relative, candidate);
  if (exists) {
    UninstallerFolderAsFound(record.uninstallerPath, record.uninstallerFile, foundFolder);
    if (!JoinCandidate(foundFolder, relative, file)) CopyBounded(file, candidate);
    exists = Exists(file);
  }
  if (!exists && record.keyName == kGlobalLinkKeyName) {
    const std::wstring installed = GlobalLinkInstallPath(relative);
    // A path that does not fit is not cut into another one: it names no file.
    if (!installed.empty()) {
      CopyBounded(candidate, FitsPath(installed) ? std::wstring_view(installed) : L"");
      CopyBounded(file, candidate);
      exists = Exists(candidate);
    }
  }
  if (!exists && !record.applicationPath.empty() && FitsPath(record.applicationPath) &&
      ::PathFileExistsW(record.applicationPath.c_str())) {
    CopyBounded(candidate, record.applicationPath);
    CopyBounded(file, candidate);
    exists = true;
  }
  record.versionFile = candidate;
  if (!exists) {
    record.policyVersion.clear();
    record.policy = kaSoftVersionPolicy_none;
    return kVersionFileMissing;
  }
  if (!ReadVersionStrings(file, &fileVersion, &productVersion)) {
    record.policyVersion.clear();
    return kVersionUnreadable;
  }
  record.policyVersion =
      CleanFileVersion(policy == kaSoftVersionPolicy_oppFile ? fileVersion : productVersion);
  return kVersionComputed;
}

}  // namespace

HRESULT ComputePolicyVersion(InstalledSoftRecord& record, int policy,
                             std::wstring_view relativePath) {
  record.versionResult = ComputeAndNoteFile(record, policy, relativePath);
  return record.versionResult;
}

HRESULT RecordVersion(InstalledSoftRecord& record, int policy, std::wstring_view relativePath,
                      std::wstring& version) {
  if (policy == kaSoftVersionPolicy_reg) {
    version = record.displayVersion;
    return kVersionComputed;
  }
  if (policy != record.policy) ComputePolicyVersion(record, policy, relativePath);
  version = record.policyVersion;
  return kVersionComputed;
}

}  // namespace tessary
