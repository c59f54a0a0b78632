#include "server/Registrar.h"

#include <optional>
#include <string>

#include "com/ResourceIds.h"
#include "common/Result.h"
#include "server/RegistryScript.h"
#include "server/TypeLibraryRegistration.h"

namespace tessary {
namespace {

std::optional<std::wstring> ModulePath(HMODULE module) {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = ::GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return std::nullopt;
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    if (path.size() >= 32768) return std::nullopt;
    path.resize(path.size() * 2);
  }
}

}  // namespace

HRESULT RegisterServer(HMODULE module, std::span<const ClassEntry> table,
                       std::wstring_view appId) noexcept {
  return Guarded([&]() -> HRESULT {
    const auto path = ModulePath(module);
    RETURN_HR_IF(HRESULT_FROM_WIN32(::GetLastError()), !path);
    const ScriptReplacement replacements[] = {{L"MODULE", *path}, {L"APPID", appId}};
    RETURN_IF_FAILED(RunRegistryScriptResource(module, IDR_AppId, replacements, true));
    for (const ClassEntry& entry : table) {
      if (entry.registration == Registration::None) continue;
      RETURN_IF_FAILED(RunRegistryScriptResource(module, entry.registryScript, replacements, true));
    }
    return RegisterTypeLibrary(path->c_str());
  });
}

HRESULT UnregisterServer(HMODULE module, std::span<const ClassEntry> table,
                         std::wstring_view appId) noexcept {
  return Guarded([&]() -> HRESULT {
    const auto path = ModulePath(module);
    RETURN_HR_IF(HRESULT_FROM_WIN32(::GetLastError()), !path);
    const ScriptReplacement replacements[] = {{L"MODULE", *path}, {L"APPID", appId}};
    for (const ClassEntry& entry : table) {
      if (entry.registration == Registration::None) continue;
      RETURN_IF_FAILED(
          RunRegistryScriptResource(module, entry.registryScript, replacements, false));
    }
    RETURN_IF_FAILED(UnregisterTypeLibrary(path->c_str()));
    return RunRegistryScriptResource(module, IDR_AppId, replacements, false);
  });
}

}  // namespace tessary
