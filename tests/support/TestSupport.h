#pragma once
// Shared test fixtures: a private registry, temporary folders, and the DLL
// under test reached through its real exports.
#include <windows.h>
#include <objbase.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/Unique.h"
#include "datafiles/DataFiles.h"
#include "inventory/WindowsVersion.h"
#include "support/ScopedSeam.h"

namespace tessary::testing {

// COM strings are held in the product's UniqueBstr. An argument made from
// text (null stays null); the text of an owner ("" for null); an owner
// emptied for a callee to write its out string into.
inline UniqueBstr MakeBstr(const wchar_t* text) {
  UniqueBstr owned;
  owned.CopyFrom(text);
  return owned;
}
inline std::wstring Text(const UniqueBstr& owned) {
  return std::wstring(owned.Get() ? owned.Get() : L"", owned.Length());
}
inline BSTR* Out(UniqueBstr& owned) {
  owned.Reset();
  return owned.Receive();
}
// The text of a string a callee handed out, which is freed; "<null>" for none.
std::wstring Take(BSTR text);

// Redirects HKLM and HKCU (and optionally HKCR) of this process to fresh
// private keys for the fixture's lifetime, then deletes them. The private
// HKLM has both registry views, as on 64-bit Windows.
class RegistrySandbox {
 public:
  explicit RegistrySandbox(bool classesRoot = false);
  ~RegistrySandbox();
  RegistrySandbox(const RegistrySandbox&) = delete;
  RegistrySandbox& operator=(const RegistrySandbox&) = delete;

  bool ok() const { return ok_; }

 private:
  std::wstring rootPath_;
  UniqueHkey hklm_, hkcu_, hkcr_;
  bool classesRoot_ = false;
  bool ok_ = false;
};

// Registry helpers that go through the (possibly redirected) predefined keys;
// `view` (KEY_WOW64_32KEY or KEY_WOW64_64KEY) writes into that registry view.
bool KeyExists(HKEY root, const std::wstring& path);
std::wstring ReadString(HKEY root, const std::wstring& path, const wchar_t* value);
bool WriteString(HKEY root, const std::wstring& path, const wchar_t* value, std::wstring_view data,
                 REGSAM view = 0);
bool WriteRaw(HKEY root, const std::wstring& path, const wchar_t* value, DWORD type,
              const void* data, DWORD size, REGSAM view = 0);

inline constexpr wchar_t kUninstallPath[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";

// A registry value's name and text.
struct Value {
  Value(const wchar_t* name, std::wstring_view data) : name(name), data(data) {}
  const wchar_t* name;
  std::wstring data;
};
using Values = std::vector<Value>;

// Writes the subkey `name` of the Uninstall key under `root` with `values`.
bool AddUninstallEntry(HKEY root, const std::wstring& name, const Values& values = {},
                       REGSAM view = 0);

// A fresh folder under %TEMP%, removed with its contents at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::wstring& path() const { return path_; }
  std::wstring Join(std::wstring_view relative) const;

 private:
  std::wstring path_;
};

bool WriteFileBytes(const std::wstring& path, std::string_view bytes);
bool CreateDirectories(const std::wstring& path);
void RemoveTree(const std::wstring& path);

// Text as UTF-8 bytes, for data files written by tests.
std::string Utf8(std::wstring_view text);

// Makes the component take `moduleFile` as its module's file name (and so
// find KaData beside it) for the object's lifetime.
class ScopedModuleFile {
 public:
  explicit ScopedModuleFile(std::wstring moduleFile);

 private:
  ScopedSeam<&SetModuleFileNameQuery> seam_;
};

// What the component's version query answers while a ScopedOsVersion lives.
struct PosedRelease {
  DWORD platform = VER_PLATFORM_WIN32_NT;
  DWORD major = 6;
  DWORD minor = 1;
  bool extendedFails = false;  // the query with the extended block fails
  bool basicFails = false;     // and with the basic block
};
PosedRelease& Posed();

// Poses as a Windows release to the component for the object's lifetime;
// Posed() may be changed meanwhile.
class ScopedOsVersion {
 public:
  explicit ScopedOsVersion(DWORD major = 6, DWORD minor = 1);

 private:
  ScopedSeam<&SetOsVersionQuery> seam_;
};

// The folder of the running test executable, where Tessary.dll is built.
std::wstring ExeDirectory();

// Runs the test executable `exe` in a child process (RunChildProcess: in a
// job, ended with this process) on the tests `filter` selects, its output
// appended to `logPath`, for at most `timeoutMs`. The child's exit code;
// ~0u when it could not start or was stopped for time.
inline constexpr DWORD kTestChildLimitMs = 10 * 60 * 1000;
DWORD RunTestChild(const std::wstring& exe, std::wstring_view filter,
                   const std::wstring& logPath, DWORD timeoutMs = kTestChildLimitMs);
std::wstring BuiltDllPath();

// A copy of the built DLL in a fresh folder of its own, where it reads the
// KaData written beside it. Declare it before what loads the copy: the
// folder goes with it.
class PrivateDllCopy {
 public:
  explicit PrivateDllCopy(std::wstring_view fileName = L"Tessary.dll");

  bool ok() const { return ok_; }
  const std::wstring& folder() const { return dir_.path(); }
  const std::wstring& path() const { return path_; }
  std::wstring Join(std::wstring_view relative) const { return dir_.Join(relative); }
  // Writes KaData\`relative` beside the copy, making its folders.
  bool WriteData(std::wstring_view relative, std::string_view bytes) const;

 private:
  TempDir dir_;
  std::wstring path_;
  bool ok_ = false;
};

// The DLL loaded for real, with its four exports.
class TessaryDll {
 public:
  // Loads the built DLL, or a private copy of it at `path` when given.
  explicit TessaryDll(const std::wstring& path = BuiltDllPath());
  ~TessaryDll();
  TessaryDll(const TessaryDll&) = delete;
  TessaryDll& operator=(const TessaryDll&) = delete;

  bool ok() const { return module_ != nullptr && getClassObject_ != nullptr; }
  HMODULE module() const { return module_; }

  HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** ppv) const;
  HRESULT CanUnloadNow() const;
  HRESULT RegisterServer() const;
  HRESULT UnregisterServer() const;

  // Creates an instance through the class object, as CoCreateInstance would.
  HRESULT Create(REFCLSID clsid, REFIID iid, void** ppv, IUnknown* outer = nullptr) const;
  template <typename T>
  HRESULT Create(REFCLSID clsid, T** out) const {
    return Create(clsid, __uuidof(T), reinterpret_cast<void**>(out));
  }

 private:
  HMODULE module_ = nullptr;
  HRESULT(STDAPICALLTYPE* getClassObject_)(REFCLSID, REFIID, void**) = nullptr;
  HRESULT(STDAPICALLTYPE* canUnloadNow_)() = nullptr;
  HRESULT(STDAPICALLTYPE* registerServer_)() = nullptr;
  HRESULT(STDAPICALLTYPE* unregisterServer_)() = nullptr;
};

}  // namespace tessary::testing
