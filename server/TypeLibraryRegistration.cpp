#include "server/TypeLibraryRegistration.h"

#include <oleauto.h>
#include <wrl/client.h>

#include <string>
#include <utility>
#include <vector>

#include "common/RegistryReader.h"
#include "common/Result.h"
#include "common/Unique.h"

namespace tessary {
namespace {

std::wstring GuidString(const GUID& guid) {
  wchar_t text[40] = {};
  ::StringFromGUID2(guid, text, 40);
  return text;
}

// The library carries the system's XML DOM interfaces, and registering or
// unregistering it would repoint or delete their Interface keys. Keys that
// belong to another library are saved before and written back after.
struct KeySnapshot {
  struct Value {
    std::wstring name;
    DWORD type = 0;
    std::vector<BYTE> data;
  };
  std::wstring name;  // of a subkey; the saved key's own name is kept by its owner
  std::vector<Value> values;
  // A vector may hold its own, still incomplete, class; a pair of it may not.
  std::vector<KeySnapshot> children;
};

// The type library's registration writes Interface keys into both registry
// views (Wine's does), so the keys are kept in the process's own view and in
// the other one. Where there is no other view the flag is ignored and the
// same key is kept twice, which is harmless.
constexpr REGSAM kViews[] = {0, sizeof(void*) == 8 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY};

struct ForeignInterfaces {
  struct Key {
    REGSAM view;
    std::wstring iid;  // under HKCR\Interface
    KeySnapshot snapshot;
  };
  std::vector<Key> keys;
};

bool SaveKey(HKEY key, REGSAM view, KeySnapshot& snapshot) {
  DWORD values = 0, maxName = 0, maxData = 0;
  if (::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                         &maxName, &maxData, nullptr, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  for (DWORD i = 0; i < values; ++i) {
    std::vector<wchar_t> name(maxName + 2);
    KeySnapshot::Value value;
    value.data.resize(maxData + 2);
    DWORD nameLength = static_cast<DWORD>(name.size());
    DWORD dataSize = static_cast<DWORD>(value.data.size());
    if (::RegEnumValueW(key, i, name.data(), &nameLength, nullptr, &value.type, value.data.data(),
                        &dataSize) != ERROR_SUCCESS) {
      return false;
    }
    value.name.assign(name.data(), nameLength);
    value.data.resize(dataSize);
    snapshot.values.push_back(std::move(value));
  }
  return SUCCEEDED(ForEachSubkeyName(
      key, UnreadableSubkey::kFail, [&](const wchar_t* name, DWORD length) -> HRESULT {
        UniqueHkey child;
        RETURN_IF_WIN32_ERROR(::RegOpenKeyExW(key, name, 0, KEY_READ | view, child.put()));
        KeySnapshot childSnapshot;
        childSnapshot.name.assign(name, length);
        RETURN_HR_IF(E_FAIL, !SaveKey(child.get(), view, childSnapshot));
        snapshot.children.push_back(std::move(childSnapshot));
        return S_OK;
      }));
}

void WriteKey(HKEY parent, const std::wstring& name, REGSAM view, const KeySnapshot& snapshot) {
  UniqueHkey key;
  if (::RegCreateKeyExW(parent, name.c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE | view, nullptr,
                        key.put(), nullptr) != ERROR_SUCCESS) {
    return;
  }
  for (const KeySnapshot::Value& value : snapshot.values) {
    ::RegSetValueExW(key.get(), value.name.empty() ? nullptr : value.name.c_str(), 0, value.type,
                     value.data.data(), static_cast<DWORD>(value.data.size()));
  }
  for (const KeySnapshot& child : snapshot.children) {
    WriteKey(key.get(), child.name, view, child);
  }
}

std::wstring ReadDefaultString(HKEY root, const std::wstring& path, REGSAM view) {
  UniqueHkey key;
  if (::RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | view, key.put()) != ERROR_SUCCESS) {
    return {};
  }
  wchar_t text[64] = {};
  DWORD size = sizeof(text) - sizeof(wchar_t);
  if (::RegGetValueW(key.get(), nullptr, nullptr, RRF_RT_REG_SZ, nullptr, text, &size) !=
      ERROR_SUCCESS) {
    return {};
  }
  return text;
}

ForeignInterfaces SaveForeignInterfaces(ITypeLib* library) {
  ForeignInterfaces foreign;
  TLIBATTR* libAttr = nullptr;
  if (FAILED(library->GetLibAttr(&libAttr))) return foreign;
  const std::wstring ours = GuidString(libAttr->guid);
  library->ReleaseTLibAttr(libAttr);
  const UINT count = library->GetTypeInfoCount();
  for (UINT i = 0; i < count; ++i) {
    Microsoft::WRL::ComPtr<ITypeInfo> info;
    if (FAILED(library->GetTypeInfo(i, &info))) continue;
    TYPEATTR* attr = nullptr;
    if (FAILED(info->GetTypeAttr(&attr))) continue;
    const bool automation = attr->typekind == TKIND_DISPATCH ||
                            (attr->typekind == TKIND_INTERFACE &&
                             (attr->wTypeFlags & (TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION)));
    const GUID iid = attr->guid;
    info->ReleaseTypeAttr(attr);
    if (!automation) continue;
    const std::wstring name = GuidString(iid);
    const std::wstring path = L"Interface\\" + name;
    for (const REGSAM view : kViews) {
      const std::wstring owner = ReadDefaultString(HKEY_CLASSES_ROOT, path + L"\\TypeLib", view);
      if (owner.empty() || ::lstrcmpiW(owner.c_str(), ours.c_str()) == 0) continue;
      UniqueHkey key;
      if (::RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ | view, key.put()) !=
          ERROR_SUCCESS) {
        continue;
      }
      KeySnapshot snapshot;
      if (SaveKey(key.get(), view, snapshot)) {
        foreign.keys.push_back({view, name, std::move(snapshot)});
      }
    }
  }
  return foreign;
}

void RestoreForeignInterfaces(const ForeignInterfaces& foreign) {
  for (const ForeignInterfaces::Key& saved : foreign.keys) {
    UniqueHkey interfaces;
    if (::RegOpenKeyExW(HKEY_CLASSES_ROOT, L"Interface", 0, KEY_ALL_ACCESS | saved.view,
                        interfaces.put()) != ERROR_SUCCESS) {
      continue;
    }
    ::RegDeleteTreeW(interfaces.get(), saved.iid.c_str());
    WriteKey(interfaces.get(), saved.iid, saved.view, saved.snapshot);
  }
}

}  // namespace

HRESULT RegisterTypeLibrary(const wchar_t* modulePath) noexcept {
  return Guarded([&]() -> HRESULT {
    Microsoft::WRL::ComPtr<ITypeLib> library;
    RETURN_IF_FAILED(::LoadTypeLibEx(modulePath, REGKIND_NONE, &library));
    // The help folder is the module's, written as a folder (with its closing
    // separator) so an installer's directory properties write the same text.
    std::wstring helpDir(modulePath);
    helpDir.resize(helpDir.find_last_of(L"\\/") + 1);
    const ForeignInterfaces foreign = SaveForeignInterfaces(library.Get());
    // RegisterTypeLib only reads the paths.
    const HRESULT hr = ::RegisterTypeLib(library.Get(), const_cast<wchar_t*>(modulePath),
                                         helpDir.empty() ? nullptr : helpDir.data());
    RestoreForeignInterfaces(foreign);
    return hr;
  });
}

HRESULT UnregisterTypeLibrary(const wchar_t* modulePath) noexcept {
  return Guarded([&]() -> HRESULT {
    Microsoft::WRL::ComPtr<ITypeLib> library;
    RETURN_IF_FAILED(::LoadTypeLibEx(modulePath, REGKIND_NONE, &library));
    TLIBATTR* attr = nullptr;
    RETURN_IF_FAILED(library->GetLibAttr(&attr));
    const TLIBATTR copy = *attr;
    library->ReleaseTLibAttr(attr);
    // Unregistering what is not registered is no failure.
    const std::wstring versionKey = L"TypeLib\\" + GuidString(copy.guid) + L"\\" +
                                    std::to_wstring(copy.wMajorVerNum) + L"." +
                                    std::to_wstring(copy.wMinorVerNum);
    UniqueHkey probe;
    if (::RegOpenKeyExW(HKEY_CLASSES_ROOT, versionKey.c_str(), 0, KEY_READ, probe.put()) !=
        ERROR_SUCCESS) {
      return S_OK;
    }
    probe.reset();
    const ForeignInterfaces foreign = SaveForeignInterfaces(library.Get());
    const HRESULT hr = ::UnRegisterTypeLib(copy.guid, copy.wMajorVerNum, copy.wMinorVerNum,
                                           copy.lcid, copy.syskind);
    RestoreForeignInterfaces(foreign);
    return hr;
  });
}

}  // namespace tessary
