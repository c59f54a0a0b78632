// The sample host: does with the component what the download manager does.
// It creates the status manager, attaches it to our host (catalog and
// registry-key files and the update ignore list from a data folder), lets the
// warm-up run, then prints what the manager's screens would show: every
// catalog program's state, the update check, the recommendations and the
// antivirus answer.
//
//   tessary_sample [--dll PATH] [DATA_FOLDER]
//
// The manager comes from the registered server; when that fails and --dll is
// given, from that file's DllGetClassObject. DATA_FOLDER holds catalog.xml,
// regkeys.xml and ignorelist.xml (default: "host" beside this program).
// Exit code: 0 done, 1 a step of the job failed, 2 nothing could start.
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <objbase.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <cstdio>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "TessaryLib.h"
#include "common/Text.h"
#include "common/Unique.h"
#include "host/Host.h"
#include "datafiles/DataFiles.h"
#include "datafiles/XmlDom.h"

namespace tessary::host {
namespace {

using Microsoft::WRL::ComPtr;

// The status manager's warm-up arrives as this timer on its hidden window.
constexpr UINT_PTR kWarmUpTimerId = 800;
constexpr DWORD kWarmUpLimitMs = 10000;

// --- Output -----------------------------------------------------------------

// UTF-8, so names outside the console code page survive a pipe.
void Print(std::wstring_view text) {
  if (text.empty()) return;
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
  if (size <= 0) return;
  std::string bytes(static_cast<size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size,
                        nullptr, nullptr);
  std::fwrite(bytes.data(), 1, bytes.size(), stdout);
}

void Line(std::wstring_view text = {}) {
  Print(text);
  Print(L"\n");
}

std::wstring Hex(HRESULT hr) {
  wchar_t text[16] = {};
  std::swprintf(text, 16, L"0x%08lX", static_cast<unsigned long>(hr));
  return text;
}

std::wstring Text(const UniqueBstr& text) { return std::wstring(BstrView(text.Get())); }

std::wstring OrNone(const UniqueBstr& text) {
  return text.Empty() ? std::wstring(L"(none)") : Text(text);
}

const wchar_t* StatusName(kaSoftInstallStatus status) {
  switch (status) {
    case kaSoftInstallStatus_installed:
      return L"installed";
    case kaSoftInstallStatus_noInstall:
      return L"not installed";
    case kaSoftInstallStatus_noIdentifyInfo:
      return L"no identification rules";
    case kaSoftInstallStatus_unknown:
      return L"not identified yet";
  }
  return L"unexpected status";
}

// Every failed step is printed where it happens and fails the job.
class Job {
 public:
  bool Check(HRESULT hr, std::wstring_view what) {
    if (SUCCEEDED(hr)) return true;
    Line(L"  FAILED: " + std::wstring(what) + L" returned " + Hex(hr));
    failed_ = true;
    return false;
  }
  bool Failed() const { return failed_; }

 private:
  bool failed_ = false;
};

// --- The host's own files -----------------------------------------------------

std::wstring JoinPath(const std::wstring& folder, const wchar_t* name) {
  if (folder.empty() || folder.back() == L'\\' || folder.back() == L'/') return folder + name;
  return folder + L"\\" + name;
}

bool ReadUtf8File(const std::wstring& path, std::wstring& text) {
  UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  LARGE_INTEGER size = {};
  if (!::GetFileSizeEx(file.get(), &size) || size.QuadPart > (1 << 20)) return false;
  std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
  DWORD read = 0;
  if (!bytes.empty() &&
      !::ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr)) {
    return false;
  }
  bytes.resize(read);
  if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) bytes.erase(0, 3);
  text.clear();
  if (bytes.empty()) return true;
  const int length =
      ::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  if (length <= 0) return false;
  text.resize(static_cast<size_t>(length));
  ::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(),
                        length);
  return true;
}

// The registry keys our registry-key file lists for each program (lower-cased
// name), in file order: the type storage is asked by key.
std::map<std::wstring, std::vector<std::wstring>> ReadRegistryKeys(const std::wstring& path) {
  std::map<std::wstring, std::vector<std::wstring>> keys;
  const ComPtr<IXMLDOMDocument> document = LoadXmlFile(path.c_str());
  if (!document) return keys;
  const ComPtr<IXMLDOMNode> root = SelectRoot(document.Get(), L"vedad");
  if (!root) return keys;
  ForEachChildElement(root.Get(), [&](IXMLDOMNode* soft) {
    UniqueBstr name;
    if (!AttributeByName(soft, L"name", name) || name.Empty()) return;
    std::vector<std::wstring>& list = keys[LowerCopy(BstrView(name.Get()))];
    ForEachChildElement(soft, [&](IXMLDOMNode* key) {
      const UniqueBstr text = NodeText(key);
      if (!text.Empty()) list.push_back(Text(text));
    });
  });
  return keys;
}

// --- Starting ----------------------------------------------------------------------

std::wstring RegisteredServerPath() {
  wchar_t clsid[40] = {};
  ::StringFromGUID2(CLSID_KaSoftStatusManager, clsid, 40);
  const std::wstring key = std::wstring(L"CLSID\\") + clsid + L"\\InprocServer32";
  wchar_t path[MAX_PATH] = {};
  DWORD size = sizeof(path);
  if (::RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, path,
                     &size) != ERROR_SUCCESS) {
    return L"?";
  }
  return path;
}

HRESULT CreateFromFile(const std::wstring& dllPath, UniqueModule& dll,
                       ComPtr<IKaSoftStatusManager>& manager) {
  dll.reset(::LoadLibraryW(dllPath.c_str()));
  if (!dll) return HRESULT_FROM_WIN32(::GetLastError());
  const auto getClassObject = reinterpret_cast<HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**)>(
      reinterpret_cast<void*>(::GetProcAddress(dll.get(), "DllGetClassObject")));
  if (!getClassObject) return HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
  ComPtr<IClassFactory> factory;
  const HRESULT hr = getClassObject(CLSID_KaSoftStatusManager, IID_PPV_ARGS(&factory));
  if (FAILED(hr)) return hr;
  return factory->CreateInstance(nullptr, IID_PPV_ARGS(&manager));
}

HRESULT CreateManager(const std::wstring& dllPath, UniqueModule& dll,
                      ComPtr<IKaSoftStatusManager>& manager) {
  const HRESULT hr = ::CoCreateInstance(CLSID_KaSoftStatusManager, nullptr, CLSCTX_INPROC_SERVER,
                                        IID_PPV_ARGS(&manager));
  if (SUCCEEDED(hr)) {
    Line(L"KaSoftStatusManager created through COM from " + RegisteredServerPath());
    return hr;
  }
  Line(L"CoCreateInstance(KaSoftStatusManager) returned " + Hex(hr));
  if (dllPath.empty()) {
    Line(L"  (register Tessary.dll with regsvr32, or pass --dll PATH)");
    return hr;
  }
  const HRESULT loaded = CreateFromFile(dllPath, dll, manager);
  if (SUCCEEDED(loaded)) Line(L"KaSoftStatusManager created through " + dllPath);
  return loaded;
}

// Dispatches this thread's messages until the manager's warm-up timer has
// been delivered; false when it did not come in time.
bool PumpUntilWarm(DWORD limitMs, DWORD& elapsedMs) {
  const ULONGLONG start = ::GetTickCount64();
  const ULONGLONG deadline = start + limitMs;
  for (;;) {
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      const bool warmUp = msg.message == WM_TIMER && msg.wParam == kWarmUpTimerId;
      ::TranslateMessage(&msg);
      ::DispatchMessageW(&msg);
      if (warmUp) {
        elapsedMs = static_cast<DWORD>(::GetTickCount64() - start);
        return true;
      }
    }
    const ULONGLONG now = ::GetTickCount64();
    if (now >= deadline) return false;
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(deadline - now), QS_ALLINPUT);
  }
}

// --- The job ---------------------------------------------------------------------

void PrintVersions(IKaSoftWare* soft) {
  LONG count = 0;
  if (FAILED(soft->GetVersionCount(&count))) return;
  std::wstring list;
  for (LONG i = 0; i < count; ++i) {
    ComPtr<IKaSoftwareVerItem> item;
    if (FAILED(soft->GetVerItemByItem(i, &item))) continue;
    UniqueBstr shown;
    item->GetDisplayVersion(shown.Receive());
    _kaSoftVersionAttribute attribute = kaSoftVersionAttribute_normal;
    item->GetVerAttr(&attribute);
    if (!list.empty()) list += L", ";
    list += Text(shown);
    if (attribute == kaSoftVersionAttribute_try) list += L" (trial)";
  }
  Line(L"    offers          " + (list.empty() ? std::wstring(L"(no versions)") : list));
}

std::wstring FlagNames(DWORD flags) {
  std::wstring names;
  const auto add = [&](DWORD bit, const wchar_t* name) {
    if (!(flags & bit)) return;
    if (!names.empty()) names += L", ";
    names += name;
  };
  add(0x1, L"recommended");
  add(0x2, L"one-key install");
  add(0x4, L"popular");
  return names.empty() ? L"-" : names;
}

void PrintMainTypeByKey(IKaSoftTypeStorage* types, const std::vector<std::wstring>* keys) {
  if (!types) return;
  if (!keys || keys->empty()) {
    Line(L"    type by key     (no registry key in our registry-key file)");
    return;
  }
  for (const std::wstring& key : *keys) {
    UniqueBstr bstrKey;
    UniqueBstr type;
    if (!bstrKey.CopyFrom(key.c_str())) return;
    if (SUCCEEDED(types->GetSoftMainTypeByRegKey(bstrKey.Get(), type.Receive()))) {
      Line(L"    type by key     " + Text(type) + L"  (" + key + L")");
      return;
    }
  }
  Line(L"    type by key     (no type file names " + keys->front() + L")");
}

void PrintProgram(Job& job, IKaSoftStatusManager* manager, IKaSoftWare* soft,
                  IKaSoftTypeStorage* types,
                  const std::map<std::wstring, std::vector<std::wstring>>& registryKeys) {
  UniqueBstr name, displayName, company, mainType;
  soft->GetSoftName(name.Receive());
  soft->GetDisplayName(displayName.Receive());
  soft->GetCompany(company.Receive());
  soft->GetMainType(mainType.Receive());
  DWORD flags = 0;
  soft->GetSoftType(&flags);
  Line();
  Line(L"  " + Text(name) + L"  -  " + Text(displayName) + L", " + Text(company));
  Line(L"    main type       " + OrNone(mainType) + L"  [" + FlagNames(flags) + L"]");
  PrintVersions(soft);

  kaSoftInstallStatus status = kaSoftInstallStatus_unknown;
  UniqueBstr version, shownName;
  if (!job.Check(manager->GetSoftInstallStatus(name.Get(), &status, version.Receive(),
                                               shownName.Receive()),
                 L"GetSoftInstallStatus")) {
    return;
  }
  Line(L"    status          " + std::wstring(StatusName(status)));
  if (status == kaSoftInstallStatus_installed) {
    Line(L"    version         " + OrNone(version));
    Line(L"    display name    " + OrNone(shownName));
    UniqueBstr uninstall, startup;
    UniqueBstr asked;
    if (!asked.CopyFrom(version ? version.Get() : L"")) return;
    HRESULT hr = manager->GetUninstallString(name.Get(), asked.Get(), uninstall.Receive());
    Line(L"    uninstall       " +
         (SUCCEEDED(hr) ? OrNone(uninstall) : L"(none: " + Hex(hr) + L")"));
    hr = manager->GetStartupExeString(name.Get(), startup.Receive());
    Line(L"    starts          " + (SUCCEEDED(hr) ? OrNone(startup) : L"(none: " + Hex(hr) + L")"));
  }
  const auto keys = registryKeys.find(Text(name));
  PrintMainTypeByKey(types, keys == registryKeys.end() ? nullptr : &keys->second);
}

void PrintCatalog(Job& job, IKaSoftStatusManager* manager, const std::wstring& registryKeyFile) {
  Line();
  Line(L"== Catalog");
  ComPtr<IKaSoftwareCatelog> catalog;
  if (!job.Check(manager->GetSoftwareCatelog(&catalog), L"GetSoftwareCatelog")) return;
  LONG counts[4] = {};
  for (int kind = kaSoftInnerType_all; kind <= kaSoftInnerType_popularity; ++kind) {
    job.Check(catalog->GetSoftCount(static_cast<kaSoftInnerType>(kind), &counts[kind - 1]),
              L"GetSoftCount");
  }
  Line(L"  " + std::to_wstring(counts[0]) + L" programs: " + std::to_wstring(counts[1]) +
       L" recommended, " + std::to_wstring(counts[2]) + L" one-key install, " +
       std::to_wstring(counts[3]) + L" popular");

  ComPtr<IKaSoftTypeStorage> types;
  job.Check(manager->GetSoftTypeStorage(&types), L"GetSoftTypeStorage");
  const auto registryKeys = ReadRegistryKeys(registryKeyFile);

  ComPtr<IKaEnumSoftware> programs;
  if (!job.Check(catalog->GetEnum(&programs), L"GetEnum")) return;
  for (;;) {
    ComPtr<IKaSoftWare> soft;
    ULONG fetched = 0;
    if (programs->Next(1, soft.GetAddressOf(), &fetched) != S_OK || !soft) break;
    PrintProgram(job, manager, soft.Get(), types.Get(), registryKeys);
  }
}

struct SafeArrayOwner {
  SAFEARRAY* array = nullptr;
  ~SafeArrayOwner() {
    if (array) ::SafeArrayDestroy(array);
  }
};

void PrintUpdate(Job& job, IKaSoftUpdater* updater, LONG index) {
  ComPtr<IKaSoftWare> soft;
  UniqueBstr installed;
  SafeArrayOwner newer;
  if (!job.Check(updater->GetUpdateSoftByIndex(index, &soft, installed.Receive(), &newer.array),
                 L"GetUpdateSoftByIndex")) {
    return;
  }
  UniqueBstr name;
  soft->GetSoftName(name.Receive());
  std::wstring list;
  LONG lower = 0, upper = -1;
  if (newer.array) {
    ::SafeArrayGetLBound(newer.array, 1, &lower);
    ::SafeArrayGetUBound(newer.array, 1, &upper);
  }
  for (LONG i = lower; i <= upper; ++i) {
    UniqueBstr version;
    if (FAILED(::SafeArrayGetElement(newer.array, &i, version.Receive()))) continue;
    std::wstring entry = Text(version);
    ComPtr<IKaSoftwareVerItem> item;
    if (SUCCEEDED(soft->GetVerItemByVersion(version.Get(), &item))) {
      _kaSoftVersionAttribute attribute = kaSoftVersionAttribute_normal;
      VARIANT_BOOL ignored = VARIANT_FALSE;
      item->GetVerAttr(&attribute);
      item->GetBeIgnored(&ignored);
      std::wstring marks;
      if (attribute == kaSoftVersionAttribute_try) marks = L"trial";
      if (ignored) marks += marks.empty() ? L"ignored" : L", ignored";
      if (!marks.empty()) entry += L" (" + marks + L")";
    }
    if (!list.empty()) list += L", ";
    list += entry;
  }
  Line(L"  " + Text(name) + L": installed " + Text(installed) + L", newer " + list);
}

void PrintUpdates(Job& job, IKaSoftStatusManager* manager) {
  Line();
  Line(L"== Update check");
  ComPtr<IKaSoftUpdater> updater;
  if (!job.Check(manager->GetSoftwareUpdater(&updater), L"GetSoftwareUpdater")) return;
  if (!job.Check(updater->RefreshUpdateStatus(), L"RefreshUpdateStatus")) return;
  LONG programs = 0, versions = 0, ignored = 0;
  job.Check(updater->GetUpdateSoftCount(&programs), L"GetUpdateSoftCount");
  job.Check(updater->GetUpdateVersionCount(&versions), L"GetUpdateVersionCount");
  job.Check(updater->GetIgnoredSoftCount(&ignored), L"GetIgnoredSoftCount");
  Line(L"  " + std::to_wstring(programs) + L" programs with newer versions: " +
       std::to_wstring(versions) + L" versions, " + std::to_wstring(ignored) + L" of them ignored");
  for (LONG i = 0; i < programs; ++i) PrintUpdate(job, updater.Get(), i);
}

// Script hosts reach the lists through IDispatch; ask the count that way too.
HRESULT DispatchCount(IDispatch* object, LONG& count) {
  OLECHAR name[] = L"GetCount";
  LPOLESTR names[] = {name};
  DISPID id = 0;
  HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(hr)) return hr;
  DISPPARAMS none = {};
  UniqueVariant result;
  hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, &result, nullptr,
                      nullptr);
  if (FAILED(hr)) return hr;
  if (result.Get().vt != VT_I4) return DISP_E_TYPEMISMATCH;
  count = result.Get().lVal;
  return S_OK;
}

void PrintRecommendations(Job& job, IKaSoftStatusManager* manager) {
  Line();
  Line(L"== Recommendations");
  ComPtr<IKaRecommendSoft> recommendations;
  if (!job.Check(manager->GetRecommendSoft(&recommendations), L"GetRecommendSoft")) return;
  LONG count = 0;
  if (!job.Check(recommendations->GetCount(&count), L"GetCount")) return;
  LONG dispatched = -1;
  job.Check(DispatchCount(recommendations.Get(), dispatched), L"IDispatch GetCount");
  Line(L"  " + std::to_wstring(count) + L" lists (through IDispatch: " +
       std::to_wstring(dispatched) + L")");
  for (LONG i = 0; i < count; ++i) {
    ComPtr<IKaRecommendCatalog> list;
    if (!job.Check(recommendations->GetcatalogByIndex(i, &list), L"GetcatalogByIndex")) continue;
    UniqueBstr name, description;
    LONG importance = 0, programs = 0;
    list->GetName(name.Receive());
    list->GetDescription(description.Receive());
    list->GetImportance(&importance);
    list->GetSoftCount(&programs);
    Line(L"  " + Text(name) + L" (importance " + std::to_wstring(importance) + L"): " +
         Text(description));
    for (LONG j = 0; j < programs; ++j) {
      UniqueBstr program;
      LONG order = 0;
      if (!job.Check(list->GetSoftByIndex(j, program.Receive(), &order), L"GetSoftByIndex")) {
        continue;
      }
      kaSoftInstallStatus status = kaSoftInstallStatus_unknown;
      UniqueBstr version;
      std::wstring state = L"?";
      if (SUCCEEDED(
              manager->GetSoftInstallStatus(program.Get(), &status, version.Receive(), nullptr))) {
        state = StatusName(status);
        if (status == kaSoftInstallStatus_installed && !version.Empty()) {
          state += L" " + Text(version);
        }
      }
      Line(L"    " + std::to_wstring(order) + L". " + Text(program) + L"  [" + state + L"]");
    }
  }
}

void PrintAntivirus(Job& job, IKaSoftStatusManager* manager) {
  Line();
  Line(L"== Antivirus");
  kaSoftInstallStatus status = kaSoftInstallStatus_unknown;
  UniqueBstr product, shown;
  if (!job.Check(manager->GetAntivirusInstallStatus(&status, product.Receive(), shown.Receive()),
                 L"GetAntivirusInstallStatus")) {
    return;
  }
  if (status == kaSoftInstallStatus_installed) {
    Line(L"  installed: " + Text(product) + L" (" + Text(shown) + L")");
  } else {
    Line(L"  " + std::wstring(StatusName(status)));
  }
}

struct Options {
  std::wstring dllPath;
  std::wstring dataFolder;
};

bool ParseOptions(int argc, wchar_t** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::wstring_view arg = argv[i];
    if (arg == L"--dll" && i + 1 < argc) {
      options.dllPath = argv[++i];
    } else if (!arg.empty() && arg[0] != L'-' && options.dataFolder.empty()) {
      options.dataFolder = argv[i];
    } else {
      return false;
    }
  }
  if (options.dataFolder.empty()) options.dataFolder = ModuleDirectory(nullptr) + L"host";
  return true;
}

// Configures our host the way the download manager is set up. False when
// there is no catalog: the component would load an empty one without a word.
bool ConfigureHost(Host& host, const std::wstring& folder) {
  const std::wstring catalog = JoinPath(folder, L"catalog.xml");
  if (::GetFileAttributesW(catalog.c_str()) == INVALID_FILE_ATTRIBUTES) {
    Line(L"No catalog: " + catalog + L" is missing");
    return false;
  }
  host.Data().SetDataFilePath(HostDataService::kCatalogFile, catalog);
  host.Data().SetDataFilePath(HostDataService::kRegistryKeyFile, JoinPath(folder, L"regkeys.xml"));
  std::wstring ignoreList;
  if (ReadUtf8File(JoinPath(folder, L"ignorelist.xml"), ignoreList)) {
    host.Data().SetSetting(L"update", L"ignorelist", ignoreList);
  } else {
    Line(L"(no ignorelist.xml in " + folder + L": no update is ignored)");
  }
  Line(L"Host data: " + folder);
  return true;
}

int RunJob(const Options& options) {
  Job job;
  // Declared first so the DLL outlives every object it made.
  UniqueModule dll;
  ComPtr<IKaSoftStatusManager> manager;
  if (FAILED(CreateManager(options.dllPath, dll, manager))) return 2;

  Host host;
  if (!job.Check(host.Start(), L"starting our host")) return 2;
  if (!ConfigureHost(host, options.dataFolder)) return 2;

  ComPtr<IKaHostPlugin> plugin;
  if (!job.Check(manager.As(&plugin), L"QueryInterface(IKaHostPlugin)")) return 1;
  if (!job.Check(plugin->Attach(host.Services()), L"Attach")) return 1;
  DWORD elapsed = 0;
  if (PumpUntilWarm(kWarmUpLimitMs, elapsed)) {
    Line(L"Attached; warm-up ran after " + std::to_wstring(elapsed) + L" ms");
  } else {
    Line(L"Attached; no warm-up within " + std::to_wstring(kWarmUpLimitMs / 1000) +
         L" s (no display?): objects are built on first use");
  }
  std::fflush(stdout);

  PrintCatalog(job, manager.Get(), JoinPath(options.dataFolder, L"regkeys.xml"));
  std::fflush(stdout);
  PrintUpdates(job, manager.Get());
  PrintRecommendations(job, manager.Get());
  PrintAntivirus(job, manager.Get());

  Line();
  job.Check(plugin->Detach(), L"Detach");
  plugin.Reset();
  manager.Reset();
  host.Shutdown();
  Line(job.Failed() ? L"Done, with failures." : L"Done.");
  std::fflush(stdout);
  return job.Failed() ? 1 : 0;
}

}  // namespace
}  // namespace tessary::host

int wmain(int argc, wchar_t** argv) {
  using namespace tessary::host;
  _setmode(_fileno(stdout), _O_BINARY);
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    Line(L"usage: tessary_sample [--dll PATH] [DATA_FOLDER]");
    return 2;
  }
  // The component's objects are apartment-threaded: the host runs an STA.
  const HRESULT initialized = ::CoInitialize(nullptr);
  if (FAILED(initialized)) {
    Line(L"CoInitialize returned " + Hex(initialized));
    return 2;
  }
  int code = 2;
  try {
    code = RunJob(options);
  } catch (const std::bad_alloc&) {
    Line(L"out of memory");
  }
  ::CoUninitialize();
  return code;
}
