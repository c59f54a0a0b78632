#include "com/WindowClass.h"

#include "com/Module.h"

namespace tessary {
namespace {

// Few classes exist; each cache is cleared when the module is freed.
constexpr int kMaxClasses = 4;
struct ClassSlot {
  ATOM* cache;
  WNDPROC procedure;
};
ClassSlot g_classes[kMaxClasses] = {};
int g_count = 0;

// Marks a window whose destruction was asked for from another thread; the
// module is locked until the window goes.
constexpr wchar_t kDestroyPending[] = L"Tessary.DestroyPending";

UINT DestroyRequest() noexcept {
  static const UINT message = ::RegisterWindowMessageW(L"Tessary.DestroyWindow");
  return message;
}

void UnregisterAll() {
  ModuleCriticalSectionGuard guard;
  for (int i = 0; i < g_count; ++i) {
    if (*g_classes[i].cache) {
      ::UnregisterClassW(MAKEINTATOM(*g_classes[i].cache), Module::Handle());
    }
    *g_classes[i].cache = 0;
  }
  g_count = 0;
}

WNDPROC ClassProcedure(HWND window) noexcept {
  const ATOM atom = static_cast<ATOM>(::GetClassLongW(window, GCW_ATOM));
  ModuleCriticalSectionGuard guard;
  for (int i = 0; i < g_count; ++i) {
    if (*g_classes[i].cache == atom) return g_classes[i].procedure;
  }
  return nullptr;
}

LRESULT CALLBACK ModuleWindowProc(HWND window, UINT message, WPARAM wParam,
                                  LPARAM lParam) noexcept {
  const UINT destroy = DestroyRequest();
  if (destroy != 0 && message == destroy && ::GetPropW(window, kDestroyPending)) {
    ::DestroyWindow(window);
    return 0;
  }
  if (message == WM_NCDESTROY && ::RemovePropW(window, kDestroyPending)) Module::Unlock();
  const WNDPROC procedure = ClassProcedure(window);
  return procedure ? procedure(window, message, wParam, lParam)
                   : ::DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

ATOM ModuleWindowClass(ATOM& cache, const wchar_t* name, WNDPROC procedure,
                       HCURSOR cursor) noexcept {
  ModuleCriticalSectionGuard guard;
  if (cache) return cache;
  if (g_count == kMaxClasses) return 0;
  WNDCLASSEXW windowClass = {};
  windowClass.cbSize = sizeof(windowClass);
  windowClass.lpfnWndProc = &ModuleWindowProc;
  windowClass.hInstance = Module::Handle();
  windowClass.hCursor = cursor;
  windowClass.lpszClassName = name;
  ATOM atom = ::RegisterClassExW(&windowClass);
  if (!atom) atom = static_cast<ATOM>(::GetClassInfoExW(Module::Handle(), name, &windowClass));
  if (!atom) return 0;
  if (g_count == 0) Module::AddTermFunction(&UnregisterAll);
  g_classes[g_count++] = {&cache, procedure};
  cache = atom;
  return atom;
}

void DestroyModuleWindow(HWND window) noexcept {
  if (!window) return;
  if (::GetWindowThreadProcessId(window, nullptr) == ::GetCurrentThreadId()) {
    ::DestroyWindow(window);
    return;
  }
  const UINT destroy = DestroyRequest();
  if (destroy == 0) return;
  Module::Lock();
  if (!::SetPropW(window, kDestroyPending, reinterpret_cast<HANDLE>(1))) {
    Module::Unlock();
    return;
  }
  if (::PostMessageW(window, destroy, 0, 0)) return;
  // Nobody will serve the request: the window stays, as it would have.
  if (::RemovePropW(window, kDestroyPending)) Module::Unlock();
}

}  // namespace tessary
