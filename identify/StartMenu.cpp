#include "identify/StartMenu.h"

#include <shlobj.h>
#include <shlwapi.h>
#include <wrl/client.h>

#include <cwchar>
#include <utility>

#include "common/Names.h"
#include "common/Text.h"
#include "common/Unique.h"
#include "inventory/FileVersion.h"
#include "inventory/WindowsVersion.h"
#include "datafiles/DataFiles.h"
#include "datafiles/XmlDom.h"

using Microsoft::WRL::ComPtr;

namespace tessary {
namespace {

FolderPathQuery g_folderPathQuery = &::SHGetFolderPathW;

// This reader takes "ver_filepath" as written: an empty value is no path.
StartMenuLocation ReadLocation(IXMLDOMNode* element) {
  StartMenuLocation location;
  ForEachAttribute(element, [&](BSTR name, BSTR text) {
    if (LoweredNameEquals(name, L"path")) {
      location.subFolder = TextToNul(text);
    } else if (LoweredNameEquals(name, L"uninstall_file")) {
      location.uninstallFile = TextToNul(text);
    } else if (LoweredNameEquals(name, L"app_file")) {
      location.appFile = TextToNul(text);
    } else if (LoweredNameEquals(name, L"policy")) {
      location.policy = TextToInt(text);
    } else if (LoweredNameEquals(name, L"ver_filepath")) {
      AppendCommaList(TextToNul(text), location.verFilePaths);
    }
  });
  return location;
}

}  // namespace

bool LoadStartMenuRules(const wchar_t* path, std::vector<StartMenuRule>& rules) {
  const ComPtr<IXMLDOMDocument> document = LoadXmlFile(path);
  return LoadStartMenuRules(document.Get(), rules);
}

bool LoadStartMenuRules(IXMLDOMDocument* document, std::vector<StartMenuRule>& rules) {
  if (!document) return false;
  const ComPtr<IXMLDOMNode> root = SelectRoot(document, L"vedad");
  if (!root) return false;
  bool accepted = true;
  ForEachAttribute(root.Get(), [&](BSTR name, BSTR text) {
    if (LoweredNameEquals(name, L"result") && TextToInt(text) != 0) accepted = false;
  });
  if (!accepted) return false;
  if (ChildNodeCount(root.Get()) == 0) return true;

  std::vector<StartMenuRule> loaded;
  ForEachChildElement(root.Get(), [&](IXMLDOMNode* element) {
    StartMenuRule rule;
    ForEachChildElement(element, [&](IXMLDOMNode* child) {
      const UniqueBstr name = NodeName(child);
      if (SameText(name.Get(), L"start_menu")) rule.locations.push_back(ReadLocation(child));
    });
    // Most entries name registry keys only; their names are not needed.
    if (rule.locations.empty()) return;
    ForEachAttribute(element, [&](BSTR name, BSTR text) {
      if (LoweredNameEquals(name, L"name")) rule.name = LowerCopy(TextToNul(text));
    });
    loaded.push_back(std::move(rule));
  });
  rules.swap(loaded);
  return true;
}

FolderPathQuery SetFolderPathQuery(FolderPathQuery query) noexcept {
  return std::exchange(g_folderPathQuery, query ? query : &::SHGetFolderPathW);
}

const std::wstring& KnownFolderCache::Get(ProgramsFolder which) {
  std::wstring& cached = which == ProgramsFolder::kUser ? user_ : common_;
  if (!cached.empty()) return cached;
  const WindowsVersionClass versionClass = ClassifyWindowsVersion();
  if (versionClass == WindowsVersionClass::kUnset ||
      static_cast<int>(versionClass) > static_cast<int>(WindowsVersionClass::kNt6x)) {
    cached.clear();
    return cached;
  }
  wchar_t path[MAX_PATH] = {};
  const int csidl = which == ProgramsFolder::kUser ? CSIDL_PROGRAMS : CSIDL_COMMON_PROGRAMS;
  if (SUCCEEDED(g_folderPathQuery(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path))) {
    path[MAX_PATH - 1] = L'\0';
    cached = path;
  } else {
    cached.clear();
  }
  return cached;
}

const StartMenuScanner::Listing& StartMenuScanner::List(const std::wstring& folder) {
  const auto known = listings_.find(folder);
  if (known != listings_.end()) return known->second;
  Listing listing;
  const std::wstring pattern = folder + L"\\*.*";
  WIN32_FIND_DATAW data;
  // A pattern that does not fit a path buffer lists nothing rather than a
  // folder cut short.
  UniqueFindHandle find;
  if (FitsPath(pattern)) find.reset(::FindFirstFileW(pattern.c_str(), &data));
  if (find) {
    do {
      const std::wstring_view name(data.cFileName);
      if (name.empty() || name.front() == L'.') continue;
      if (data.dwFileAttributes == FILE_ATTRIBUTE_DIRECTORY) continue;
      // Shortcuts whose full path would not fit cannot be opened as named.
      if (!FitsPath(folder) || folder.size() + 1 + name.size() >= MAX_PATH) continue;
      listing.names.emplace_back(name);
    } while (::FindNextFileW(find.get(), &data));
    listing.ok = ::GetLastError() == ERROR_NO_MORE_FILES;
  }
  if (!listing.ok) listing.names.clear();
  return listings_.emplace(folder, std::move(listing)).first->second;
}

const std::wstring* StartMenuScanner::Target(const std::wstring& link) {
  auto known = targets_.find(link);
  if (known == targets_.end()) {
    if (!resolver_) resolver_.emplace();
    known = targets_.emplace(link, resolver_->Resolve(link)).first;
  }
  const std::optional<std::wstring>& target = known->second;
  return target ? &*target : nullptr;
}

bool StartMenuScanner::ScanFolder(const std::wstring& folder, const StartMenuRule& rule,
                                  const StartMenuLocation& location,
                                  InstalledSoftRecord& record) {
  if (!FitsPath(folder) || !::PathFileExistsW(folder.c_str())) return false;
  const Listing& listing = List(folder);
  if (!listing.ok) return false;
  const std::wstring* appLink = nullptr;
  const std::wstring* uninstallLink = nullptr;
  for (const std::wstring& name : listing.names) {
    // Both tests on every entry: the last match in listing order wins.
    if (!location.appFile.empty() && name.find(location.appFile) != std::wstring::npos) {
      appLink = &name;
    }
    if (!location.uninstallFile.empty() &&
        name.find(location.uninstallFile) != std::wstring::npos) {
      uninstallLink = &name;
    }
  }
  record.keyName = rule.name;

  if (appLink) {
    record.appShortcut = folder + L'\\' + *appLink;
    if (const std::wstring* target = Target(record.appShortcut)) {
      if (location.verFilePaths.empty()) {
        record.applicationPath = *target;
      } else {
        std::wstring candidate = *target;
        for (const std::wstring& entry : location.verFilePaths) {
          if (candidate.find(entry) != std::wstring::npos) {
            record.applicationPath = candidate;
            break;
          }
          // A target without a folder has no file name to replace, and a
          // replacement that does not fit names no file: both are skipped.
          const size_t slash = candidate.rfind(L'\\');
          if (slash == std::wstring::npos || slash + 1 + entry.size() >= MAX_PATH) continue;
          candidate.replace(slash + 1, std::wstring::npos, entry);
          if (::PathFileExistsW(candidate.c_str())) {
            record.applicationPath = candidate;
            break;
          }
        }
      }
    }
  }
  if (uninstallLink) {
    record.uninstallShortcut = folder + L'\\' + *uninstallLink;
    if (const std::wstring* target = Target(record.uninstallShortcut)) {
      record.uninstallerPath = *target;
      record.uninstallerFile = *target;
    }
  }
  return !record.uninstallerPath.empty() || !record.applicationPath.empty();
}

bool StartMenuScanner::Resolve(const StartMenuRule& rule, InstalledSoftRecord& record) {
  for (const StartMenuLocation& location : rule.locations) {
    const std::wstring common = folders_.Get(ProgramsFolder::kCommon);
    // Without the all-users folder the location is not tried at all.
    if (common.empty()) continue;
    const auto folderFor = [&](const std::wstring& programs) {
      return location.subFolder.empty() ? programs : programs + L'\\' + location.subFolder;
    };
    if (ScanFolder(folderFor(common), rule, location, record)) return true;
    const std::wstring user = folders_.Get(ProgramsFolder::kUser);
    if (!user.empty() && ScanFolder(folderFor(user), rule, location, record)) return true;
  }
  return false;
}

ShortcutResolver::ShortcutResolver() noexcept : initialized_(::CoInitialize(nullptr)) {}

ShortcutResolver::~ShortcutResolver() {
  // Everything taken from COM goes before COM itself.
  factory_.Reset();
  if (SUCCEEDED(initialized_)) ::CoUninitialize();
}

std::optional<std::wstring> ShortcutResolver::Resolve(const std::wstring& linkPath) {
  if (linkPath.empty() || FAILED(initialized_)) return std::nullopt;
  if (!factory_ &&
      FAILED(::CoGetClassObject(CLSID_ShellLink, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                reinterpret_cast<void**>(factory_.GetAddressOf())))) {
    return std::nullopt;
  }
  ComPtr<IShellLinkW> link;
  ComPtr<IPersistFile> file;
  if (FAILED(factory_->CreateInstance(nullptr, IID_IShellLinkW,
                                      reinterpret_cast<void**>(link.GetAddressOf()))) ||
      FAILED(link->QueryInterface(IID_IPersistFile,
                                  reinterpret_cast<void**>(file.GetAddressOf()))) ||
      FAILED(file->Load(linkPath.c_str(), STGM_READ))) {
    return std::nullopt;
  }
  // One character more than a path holds: GetPath cuts silently, and a cut
  // target would name some other file.
  wchar_t target[MAX_PATH + 1] = {};
  if (FAILED(link->GetPath(target, MAX_PATH + 1, nullptr, 0))) return std::nullopt;
  target[MAX_PATH] = L'\0';
  if (target[0] == L'\0' || !FitsPath(target)) return std::nullopt;
  return std::wstring(target);
}

HRESULT StartMenuVersion(InstalledSoftRecord& record, int policy,
                         std::wstring_view relativePath, std::wstring& version) {
  version.clear();
  if (policy != kaSoftVersionPolicy_oppFile && policy != kaSoftVersionPolicy_oppProduct) {
    return E_INVALIDARG;
  }
  const std::wstring relative(relativePath);
  for (const std::wstring* source : {&record.applicationPath, &record.uninstallerPath}) {
    // An empty source names no file (a bare relative path would be looked
    // up in whatever the current directory is).
    if (source->empty() || !FitsPath(*source)) continue;
    wchar_t path[MAX_PATH] = {};
    CopyBounded(path, *source);
    if (!relative.empty()) {
      if (!FitsPath(relative)) continue;
      ::PathRemoveFileSpecW(path);
      if (!::PathAppendW(path, relative.c_str())) continue;
    }
    if (!::PathFileExistsW(path)) continue;
    VersionText fileVersion = {};
    VersionText productVersion = {};
    if (!ReadFixedFileVersion(path, &fileVersion, &productVersion)) continue;
    record.policyVersion = CleanFileVersion(
        policy == kaSoftVersionPolicy_oppFile ? fileVersion : productVersion);
    record.versionFile = path;
    record.versionResult = S_OK;
    version = record.policyVersion;
    return S_OK;
  }
  record.versionFile.clear();
  record.versionResult = E_FAIL;
  return E_FAIL;
}

}  // namespace tessary
