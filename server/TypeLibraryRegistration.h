#pragma once
// Registration of the type library embedded in the module at `modulePath`.
// Interface keys that another library owns (the system's XML DOM interfaces
// our library carries) are kept as they were.
#include <windows.h>

namespace tessary {

HRESULT RegisterTypeLibrary(const wchar_t* modulePath) noexcept;
// Succeeds when the library is not registered.
HRESULT UnregisterTypeLibrary(const wchar_t* modulePath) noexcept;

}  // namespace tessary
