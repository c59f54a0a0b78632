// tessary-harvest DLL OUTPUT
//
// Lists what the DLL's own DllRegisterServer writes, so that the installer
// packages carry exactly the registrar's entries without running it at
// install time. The predefined keys are pointed at a scratch key for the
// registration, then the scratch key is walked:
//   module <TAB> path the registrar wrote for the module
//   value <TAB> root <TAB> key <TAB> name (empty: default) <TAB> type <TAB> data
//   key <TAB> root <TAB> key                (a key holding nothing)
// Strings are written as text, DWORDs in decimal, other data in hex; the
// output is UTF-8.
//
// The type library names interfaces of other libraries whose keys the
// registrar leaves alone. They are copied into the scratch key first, as on
// any machine where their own library is registered, and left out of the
// listing, so a package neither writes nor removes them.
#include <windows.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "common/RegistryReader.h"
#include "common/Result.h"
#include "common/Unique.h"

namespace {

using tessary::UniqueHkey;
using tessary::UniqueModule;

std::wstring GuidString(const GUID& guid) {
  wchar_t text[40] = {};
  ::StringFromGUID2(guid, text, 40);
  return text;
}

std::wstring ReadDefaultString(HKEY root, const std::wstring& path) {
  wchar_t text[260] = {};
  DWORD size = sizeof(text) - sizeof(wchar_t);
  if (::RegGetValueW(root, path.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, text, &size) !=
      ERROR_SUCCESS) {
    return {};
  }
  return text;
}

HRESULT CopyTree(HKEY from, HKEY toParent, const std::wstring& name) {
  UniqueHkey to;
  RETURN_IF_WIN32_ERROR(::RegCreateKeyExW(toParent, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                          nullptr, to.put(), nullptr));
  return HRESULT_FROM_WIN32(::RegCopyTreeW(from, nullptr, to.get()));
}

// Interface keys of the library's types that another library owns here.
HRESULT SeedForeignInterfaces(const wchar_t* dll, HKEY scratchClasses,
                              std::set<std::wstring>& foreign) {
  Microsoft::WRL::ComPtr<ITypeLib> library;
  RETURN_IF_FAILED(::LoadTypeLibEx(dll, REGKIND_NONE, &library));
  TLIBATTR* libAttr = nullptr;
  RETURN_IF_FAILED(library->GetLibAttr(&libAttr));
  const std::wstring ours = GuidString(libAttr->guid);
  library->ReleaseTLibAttr(libAttr);
  for (UINT i = 0, count = library->GetTypeInfoCount(); i < count; ++i) {
    GUID iid = {};
    RETURN_IF_FAILED([&]() -> HRESULT {
      Microsoft::WRL::ComPtr<ITypeInfo> info;
      RETURN_IF_FAILED(library->GetTypeInfo(i, &info));
      TYPEATTR* attr = nullptr;
      RETURN_IF_FAILED(info->GetTypeAttr(&attr));
      iid = attr->guid;
      info->ReleaseTypeAttr(attr);
      return S_OK;
    }());
    const std::wstring path = L"Interface\\" + GuidString(iid);
    const std::wstring owner = ReadDefaultString(HKEY_CLASSES_ROOT, path + L"\\TypeLib");
    if (owner.empty() || ::lstrcmpiW(owner.c_str(), ours.c_str()) == 0) continue;
    UniqueHkey real;
    RETURN_IF_WIN32_ERROR(::RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, real.put()));
    RETURN_IF_FAILED(CopyTree(real.get(), scratchClasses, path));
    foreign.insert(path);
  }
  return S_OK;
}

class Listing {
 public:
  explicit Listing(std::set<std::wstring> skipped) : skipped_(std::move(skipped)) {}

  void Line(std::initializer_list<std::wstring> fields) {
    std::wstring line;
    for (const std::wstring& field : fields) {
      if (!line.empty()) line += L'\t';
      if (field.find_first_of(L"\t\r\n") != std::wstring::npos) unwritable_ = true;
      line += field;
    }
    text_ += line + L'\n';
  }

  HRESULT Walk(HKEY key, const std::wstring& root, const std::wstring& path) {
    for (const std::wstring& skip : skipped_) {
      if (::lstrcmpiW(skip.c_str(), path.c_str()) == 0) return S_OK;
    }
    DWORD subkeys = 0, values = 0, maxName = 0, maxData = 0;
    RETURN_IF_WIN32_ERROR(::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr,
                                             nullptr, &values, &maxName, &maxData, nullptr,
                                             nullptr));
    if (subkeys == 0 && values == 0 && !path.empty()) Line({L"key", root, path});
    for (DWORD i = 0; i < values; ++i) {
      std::vector<wchar_t> name(maxName + 2);
      std::vector<BYTE> data(maxData + 2);
      DWORD nameLength = static_cast<DWORD>(name.size());
      DWORD dataSize = static_cast<DWORD>(data.size());
      DWORD type = 0;
      RETURN_IF_WIN32_ERROR(::RegEnumValueW(key, i, name.data(), &nameLength, nullptr, &type,
                                            data.data(), &dataSize));
      Line({L"value", root, path, std::wstring(name.data(), nameLength), std::to_wstring(type),
            Data(type, data.data(), dataSize)});
    }
    return tessary::ForEachSubkeyName(
        key, tessary::UnreadableSubkey::kFail, [&](const wchar_t* name, DWORD length) -> HRESULT {
          UniqueHkey child;
          RETURN_IF_WIN32_ERROR(::RegOpenKeyExW(key, name, 0, KEY_READ, child.put()));
          const std::wstring childName(name, length);
          return Walk(child.get(), root, path.empty() ? childName : path + L'\\' + childName);
        });
  }

  HRESULT Save(const wchar_t* file) const {
    // A name or datum the listing cannot hold must not pass unnoticed.
    RETURN_HR_IF(HRESULT_FROM_WIN32(ERROR_INVALID_DATA), unwritable_);
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text_.data(), static_cast<int>(text_.size()),
                                            nullptr, 0, nullptr, nullptr);
    std::string utf8(bytes, '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text_.data(), static_cast<int>(text_.size()), utf8.data(),
                          bytes, nullptr, nullptr);
    tessary::UniqueFileHandle out(::CreateFileW(file, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                                FILE_ATTRIBUTE_NORMAL, nullptr));
    RETURN_HR_IF(HRESULT_FROM_WIN32(::GetLastError()), !out);
    DWORD written = 0;
    RETURN_HR_IF(HRESULT_FROM_WIN32(::GetLastError()),
                 !::WriteFile(out.get(), utf8.data(), static_cast<DWORD>(utf8.size()), &written,
                              nullptr));
    return S_OK;
  }

 private:
  static std::wstring Data(DWORD type, const BYTE* data, DWORD size) {
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
      std::wstring text(reinterpret_cast<const wchar_t*>(data), size / sizeof(wchar_t));
      while (!text.empty() && text.back() == L'\0') text.pop_back();
      return text;
    }
    if (type == REG_DWORD && size == sizeof(DWORD)) {
      DWORD number = 0;
      memcpy(&number, data, sizeof(number));
      return std::to_wstring(number);
    }
    std::wstring hex;
    for (DWORD i = 0; i < size; ++i) {
      wchar_t pair[3] = {};
      swprintf(pair, 3, L"%02x", data[i]);
      hex += pair;
    }
    return hex;
  }

  std::set<std::wstring> skipped_;
  std::wstring text_;
  bool unwritable_ = false;
};

struct Root {
  HKEY predefined;
  const wchar_t* name;
};
const Root kRoots[] = {{HKEY_CLASSES_ROOT, L"HKCR"},
                           {HKEY_LOCAL_MACHINE, L"HKLM"},
                           {HKEY_CURRENT_USER, L"HKCU"}};

// Undoes the overrides and removes the scratch key on every exit.
class ScratchRegistry {
 public:
  ~ScratchRegistry() {
    for (const Root& root : kRoots) ::RegOverridePredefKey(root.predefined, nullptr);
    if (parent_) ::RegDeleteTreeW(parent_.get(), name_.c_str());
  }

  HRESULT Create() {
    RETURN_IF_WIN32_ERROR(::RegCreateKeyExW(HKEY_CURRENT_USER, L"Software", 0, nullptr, 0,
                                            KEY_ALL_ACCESS, nullptr, parent_.put(), nullptr));
    name_ = L"TessaryHarvest" + std::to_wstring(::GetCurrentProcessId());
    ::RegDeleteTreeW(parent_.get(), name_.c_str());
    for (size_t i = 0; i < std::size(kRoots); ++i) {
      RETURN_IF_WIN32_ERROR(::RegCreateKeyExW(parent_.get(), (name_ + L'\\' + kRoots[i].name).c_str(),
                                              0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                              keys_[i].put(), nullptr));
    }
    return S_OK;
  }

  HKEY Key(size_t index) const { return keys_[index].get(); }

  HRESULT Override() {
    for (size_t i = 0; i < std::size(kRoots); ++i) {
      RETURN_IF_WIN32_ERROR(::RegOverridePredefKey(kRoots[i].predefined, keys_[i].get()));
    }
    return S_OK;
  }

 private:
  UniqueHkey parent_;
  std::wstring name_;
  UniqueHkey keys_[std::size(kRoots)];
};

std::wstring WindowsPath(std::wstring path) {
  if (!path.empty() && path[0] == L'/') path = L"Z:" + path;
  for (wchar_t& c : path) {
    if (c == L'/') c = L'\\';
  }
  return path;
}

HRESULT Harvest(const std::wstring& dll, const std::wstring& output) {
  ScratchRegistry scratch;
  RETURN_IF_FAILED(scratch.Create());
  std::set<std::wstring> foreign;
  RETURN_IF_FAILED(SeedForeignInterfaces(dll.c_str(), scratch.Key(0), foreign));

  UniqueModule module(::LoadLibraryW(dll.c_str()));
  RETURN_HR_IF(HRESULT_FROM_WIN32(::GetLastError()), !module);
  using RegisterFunction = HRESULT(STDAPICALLTYPE*)();
  const auto registerServer = reinterpret_cast<RegisterFunction>(
      reinterpret_cast<void*>(::GetProcAddress(module.get(), "DllRegisterServer")));
  RETURN_HR_IF(HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND), registerServer == nullptr);
  wchar_t modulePath[MAX_PATH] = {};
  RETURN_HR_IF(E_FAIL, ::GetModuleFileNameW(module.get(), modulePath, MAX_PATH) == 0);

  RETURN_IF_FAILED(scratch.Override());
  RETURN_IF_FAILED(registerServer());

  Listing listing(foreign);
  listing.Line({L"module", modulePath});
  for (size_t i = 0; i < std::size(kRoots); ++i) {
    RETURN_IF_FAILED(listing.Walk(scratch.Key(i), kRoots[i].name, L""));
  }
  return listing.Save(output.c_str());
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    fwprintf(stderr, L"usage: tessary-harvest DLL OUTPUT\n");
    return 2;
  }
  if (FAILED(::CoInitialize(nullptr))) return 1;
  const HRESULT hr = tessary::Guarded([&] { return Harvest(WindowsPath(argv[1]), WindowsPath(argv[2])); });
  ::CoUninitialize();
  if (FAILED(hr)) {
    fwprintf(stderr, L"tessary-harvest: failed, 0x%08lx\n", static_cast<unsigned long>(hr));
    return 1;
  }
  return 0;
}
