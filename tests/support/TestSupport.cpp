#include "support/TestSupport.h"

#include <shlwapi.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <vector>

#include "common/ChildProcess.h"
#include "datafiles/DataFiles.h"

namespace tessary::testing {
namespace {

std::wstring UniqueSuffix() {
  static std::atomic<unsigned> counter{0};
  return std::to_wstring(::GetCurrentProcessId()) + L"_" + std::to_wstring(::GetTickCount()) +
         L"_" + std::to_wstring(counter++);
}

HKEY CreatePrivate(HKEY parent, const wchar_t* name) {
  HKEY key = nullptr;
  if (::RegCreateKeyExW(parent, name, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                        nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return nullptr;
  }
  return key;
}

std::wstring g_moduleFile;

// Behaves as GetModuleFileNameW does, including a cut name.
DWORD WINAPI PoseAsModule(HMODULE, LPWSTR name, DWORD capacity) {
  const DWORD length = std::min<DWORD>(static_cast<DWORD>(g_moduleFile.size()), capacity);
  wmemcpy(name, g_moduleFile.c_str(), length);
  if (length < capacity) name[length] = L'\0';
  return length;
}

}  // namespace

std::string Utf8(std::wstring_view text) {
  if (text.empty()) return {};
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(),
                        size, nullptr, nullptr);
  return bytes;
}

ScopedModuleFile::ScopedModuleFile(std::wstring moduleFile) : seam_(&PoseAsModule) {
  g_moduleFile = std::move(moduleFile);
}

RegistrySandbox::RegistrySandbox(bool classesRoot) : classesRoot_(classesRoot) {
  rootPath_ = L"Software\\TessaryTestSandbox\\" + UniqueSuffix();
  UniqueHkey root(CreatePrivate(HKEY_CURRENT_USER, rootPath_.c_str()));
  if (!root) return;
  hklm_.reset(CreatePrivate(root.get(), L"HKLM"));
  hkcu_.reset(CreatePrivate(root.get(), L"HKCU"));
  hkcr_.reset(CreatePrivate(root.get(), L"HKCR"));
  if (!hklm_ || !hkcu_ || !hkcr_) return;
  // As on 64-bit Windows: the machine's Software key has a 32-bit view, which
  // the registry keeps below this subkey once it exists.
  UniqueHkey wow64(CreatePrivate(hklm_.get(), L"Software\\Wow6432Node"));
  if (!wow64) return;
  if (::RegOverridePredefKey(HKEY_LOCAL_MACHINE, hklm_.get()) != ERROR_SUCCESS) return;
  if (::RegOverridePredefKey(HKEY_CURRENT_USER, hkcu_.get()) != ERROR_SUCCESS) return;
  if (classesRoot_ && ::RegOverridePredefKey(HKEY_CLASSES_ROOT, hkcr_.get()) != ERROR_SUCCESS) {
    return;
  }
  ok_ = true;
}

RegistrySandbox::~RegistrySandbox() {
  ::RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
  ::RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
  if (classesRoot_) ::RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr);
  hklm_.reset();
  hkcu_.reset();
  hkcr_.reset();
  ::RegDeleteTreeW(HKEY_CURRENT_USER, rootPath_.c_str());
}

bool KeyExists(HKEY root, const std::wstring& path) {
  UniqueHkey key;
  return ::RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

std::wstring ReadString(HKEY root, const std::wstring& path, const wchar_t* value) {
  DWORD size = 0;
  if (::RegGetValueW(root, path.c_str(), value, RRF_RT_REG_SZ, nullptr, nullptr, &size) !=
      ERROR_SUCCESS) {
    return L"<missing>";
  }
  std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1);
  if (::RegGetValueW(root, path.c_str(), value, RRF_RT_REG_SZ, nullptr, buffer.data(), &size) !=
      ERROR_SUCCESS) {
    return L"<missing>";
  }
  return buffer.data();
}

bool WriteRaw(HKEY root, const std::wstring& path, const wchar_t* value, DWORD type,
              const void* data, DWORD size, REGSAM view) {
  UniqueHkey key;
  if (::RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, key.put(),
                        nullptr) != ERROR_SUCCESS) {
    return false;
  }
  if (!value && !data) return true;
  return ::RegSetValueExW(key.get(), value, 0, type, static_cast<const BYTE*>(data), size) ==
         ERROR_SUCCESS;
}

bool WriteString(HKEY root, const std::wstring& path, const wchar_t* value, std::wstring_view data,
                 REGSAM view) {
  std::wstring text(data);
  return WriteRaw(root, path, value, REG_SZ, text.c_str(),
                  static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)), view);
}

bool AddUninstallEntry(HKEY root, const std::wstring& name, const Values& values, REGSAM view) {
  const std::wstring path = kUninstallPath + name;
  if (!WriteRaw(root, path, nullptr, REG_SZ, nullptr, 0, view)) return false;
  for (const auto& [value, data] : values) {
    if (!WriteString(root, path, value, data, view)) return false;
  }
  return true;
}

std::wstring Take(BSTR text) {
  if (!text) return L"<null>";
  std::wstring copy(text, ::SysStringLen(text));
  ::SysFreeString(text);
  return copy;
}

TempDir::TempDir() {
  wchar_t temp[MAX_PATH + 1] = {};
  ::GetTempPathW(MAX_PATH, temp);
  path_ = std::wstring(temp) + L"tessary_" + UniqueSuffix();
  ::CreateDirectoryW(path_.c_str(), nullptr);
}

TempDir::~TempDir() { RemoveTree(path_); }

std::wstring TempDir::Join(std::wstring_view relative) const {
  return path_ + L"\\" + std::wstring(relative);
}

bool WriteFileBytes(const std::wstring& path, std::string_view bytes) {
  UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  DWORD written = 0;
  return ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                     nullptr) &&
         written == bytes.size();
}

bool CreateDirectories(const std::wstring& path) {
  for (size_t pos = path.find(L'\\', 3); pos != std::wstring::npos;
       pos = path.find(L'\\', pos + 1)) {
    ::CreateDirectoryW(path.substr(0, pos).c_str(), nullptr);
  }
  ::CreateDirectoryW(path.c_str(), nullptr);
  return ::PathIsDirectoryW(path.c_str()) != FALSE;
}

void RemoveTree(const std::wstring& path) {
  WIN32_FIND_DATAW data;
  UniqueFindHandle find(::FindFirstFileW((path + L"\\*").c_str(), &data));
  if (find) {
    do {
      const std::wstring name = data.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring child = path + L"\\" + name;
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(child);
      } else {
        ::SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileW(child.c_str());
      }
    } while (::FindNextFileW(find.get(), &data));
  }
  find.reset();
  ::RemoveDirectoryW(path.c_str());
}

std::wstring ExeDirectory() {
  wchar_t path[MAX_PATH * 4] = {};
  ::GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
  ::PathRemoveFileSpecW(path);
  return path;
}

PosedRelease& Posed() {
  static PosedRelease posed;
  return posed;
}

namespace {
BOOL WINAPI PoseAsRelease(OSVERSIONINFOW* info) {
  const PosedRelease& posed = Posed();
  const bool extended = info->dwOSVersionInfoSize == sizeof(OSVERSIONINFOEXW);
  if (extended ? posed.extendedFails : posed.basicFails) return FALSE;
  info->dwPlatformId = posed.platform;
  info->dwMajorVersion = posed.major;
  info->dwMinorVersion = posed.minor;
  info->dwBuildNumber = 1;
  return TRUE;
}
}  // namespace

ScopedOsVersion::ScopedOsVersion(DWORD major, DWORD minor) : seam_(&PoseAsRelease) {
  Posed() = {};
  Posed().major = major;
  Posed().minor = minor;
}

std::wstring BuiltDllPath() { return ExeDirectory() + L"\\Tessary.dll"; }

namespace {

// Wine's heap complaints in a child's log, passed on to this process's
// error output, where they fail the suite as its own would.
void EchoHeapComplaints(const std::wstring& logPath, size_t from) {
  std::string text;
  if (FAILED(ReadWholeFile(logPath.c_str(), 1LL << 30, text))) return;
  for (size_t at = from, end; at < text.size(); at = end + 1) {
    end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string_view line(text.data() + at, end - at);
    if (line.find("err:heap") != std::string_view::npos ||
        line.find("warn:heap") != std::string_view::npos) {
      std::fprintf(stderr, "child: %.*s\n", static_cast<int>(line.size()), line.data());
    }
  }
}

}  // namespace

DWORD RunTestChild(const std::wstring& exe, std::wstring_view filter,
                   const std::wstring& logPath, DWORD timeoutMs) {
  UniqueFileHandle log(::CreateFileW(logPath.c_str(), FILE_APPEND_DATA,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!log) return ~0u;
  LARGE_INTEGER logStart = {};
  ::GetFileSizeEx(log.get(), &logStart);
  const ChildRun run =
      RunChildProcess(exe.c_str(), L"\"" + exe + L"\" --gtest_filter=" + std::wstring(filter),
                      timeoutMs, log.get());
  if (run.started != S_OK || run.timedOut) return ~0u;
  EchoHeapComplaints(logPath, static_cast<size_t>(logStart.QuadPart));
  return run.exitCode;
}

PrivateDllCopy::PrivateDllCopy(std::wstring_view fileName) : path_(dir_.Join(fileName)) {
  ok_ = ::CopyFileW(BuiltDllPath().c_str(), path_.c_str(), FALSE) != FALSE;
}

bool PrivateDllCopy::WriteData(std::wstring_view relative, std::string_view bytes) const {
  const std::wstring file = dir_.Join(L"KaData\\" + std::wstring(relative));
  return CreateDirectories(file.substr(0, file.rfind(L'\\'))) && WriteFileBytes(file, bytes);
}

TessaryDll::TessaryDll(const std::wstring& path) {
  module_ = ::LoadLibraryW(path.c_str());
  if (!module_) return;
  getClassObject_ = reinterpret_cast<decltype(getClassObject_)>(
      reinterpret_cast<void*>(::GetProcAddress(module_, "DllGetClassObject")));
  canUnloadNow_ = reinterpret_cast<decltype(canUnloadNow_)>(
      reinterpret_cast<void*>(::GetProcAddress(module_, "DllCanUnloadNow")));
  registerServer_ = reinterpret_cast<decltype(registerServer_)>(
      reinterpret_cast<void*>(::GetProcAddress(module_, "DllRegisterServer")));
  unregisterServer_ = reinterpret_cast<decltype(unregisterServer_)>(
      reinterpret_cast<void*>(::GetProcAddress(module_, "DllUnregisterServer")));
}

TessaryDll::~TessaryDll() {
  if (module_) ::FreeLibrary(module_);
}

HRESULT TessaryDll::GetClassObject(REFCLSID clsid, REFIID iid, void** ppv) const {
  return getClassObject_ ? getClassObject_(clsid, iid, ppv) : E_UNEXPECTED;
}
HRESULT TessaryDll::CanUnloadNow() const { return canUnloadNow_ ? canUnloadNow_() : E_UNEXPECTED; }
HRESULT TessaryDll::RegisterServer() const {
  return registerServer_ ? registerServer_() : E_UNEXPECTED;
}
HRESULT TessaryDll::UnregisterServer() const {
  return unregisterServer_ ? unregisterServer_() : E_UNEXPECTED;
}

HRESULT TessaryDll::Create(REFCLSID clsid, REFIID iid, void** ppv, IUnknown* outer) const {
  IClassFactory* factory = nullptr;
  const HRESULT hr = GetClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory));
  if (FAILED(hr)) return hr;
  const HRESULT created = factory->CreateInstance(outer, iid, ppv);
  factory->Release();
  return created;
}

}  // namespace tessary::testing
