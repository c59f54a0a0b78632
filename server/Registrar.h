#pragma once
// The module's registration: the application identifier's script, each
// class's script, then the type library; unregistration in the reverse
// order. The first failing step ends the operation.
#include <windows.h>

#include <span>
#include <string_view>

#include "com/ClassFactory.h"

namespace tessary {

HRESULT RegisterServer(HMODULE module, std::span<const ClassEntry> table,
                       std::wstring_view appId) noexcept;
HRESULT UnregisterServer(HMODULE module, std::span<const ClassEntry> table,
                         std::wstring_view appId) noexcept;

}  // namespace tessary
