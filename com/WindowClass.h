#pragma once
// Window classes registered against this module, once, for its hidden
// windows; unregistered when the module is freed.
#include <windows.h>

#include "common/Unique.h"

namespace tessary {

// Registers `name` with `procedure` the first time and caches the atom in
// `cache`; 0 when the class cannot be had. A class left behind by an earlier
// load of the module is taken over.
ATOM ModuleWindowClass(ATOM& cache, const wchar_t* name, WNDPROC procedure,
                       HCURSOR cursor = nullptr) noexcept;

// Destroys a window of one of these classes. Only its own thread can: from
// any other the request is posted to it, and the module counts as in use
// until the window is gone (or its thread ended, which takes the window
// with it).
void DestroyModuleWindow(HWND window) noexcept;

struct ModuleWindowTraits {
  using Type = HWND;
  static Type Invalid() noexcept { return nullptr; }
  static void Close(Type h) noexcept { DestroyModuleWindow(h); }
};
// A hidden window of this module, destroyed on its own thread.
using ModuleWindow = UniqueResource<ModuleWindowTraits>;

}  // namespace tessary
