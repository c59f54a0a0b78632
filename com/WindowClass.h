#pragma once
// Window classes registered against this module, once, for its hidden
// windows; unregistered when the module is freed.
#include <windows.h>

namespace tessary {

// Registers `name` with `procedure` the first time and caches the atom in
// `cache`; 0 when the class cannot be had. A class left behind by an earlier
// load of the module is taken over.
ATOM ModuleWindowClass(ATOM& cache, const wchar_t* name, WNDPROC procedure,
                       HCURSOR cursor = nullptr) noexcept;

}  // namespace tessary
