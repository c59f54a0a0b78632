#include "com/WindowClass.h"

#include "com/Module.h"

namespace tessary {
namespace {

// Few classes exist; each cache is cleared when the module is freed.
constexpr int kMaxClasses = 4;
ATOM* g_caches[kMaxClasses] = {};
int g_count = 0;

void UnregisterAll() {
  for (int i = 0; i < g_count; ++i) {
    if (*g_caches[i]) ::UnregisterClassW(MAKEINTATOM(*g_caches[i]), Module::Handle());
    *g_caches[i] = 0;
  }
  g_count = 0;
}

}  // namespace

ATOM ModuleWindowClass(ATOM& cache, const wchar_t* name, WNDPROC procedure,
                       HCURSOR cursor) noexcept {
  ModuleCriticalSectionGuard guard;
  if (cache) return cache;
  if (g_count == kMaxClasses) return 0;
  WNDCLASSEXW windowClass = {};
  windowClass.cbSize = sizeof(windowClass);
  windowClass.lpfnWndProc = procedure;
  windowClass.hInstance = Module::Handle();
  windowClass.hCursor = cursor;
  windowClass.lpszClassName = name;
  ATOM atom = ::RegisterClassExW(&windowClass);
  if (!atom) atom = static_cast<ATOM>(::GetClassInfoExW(Module::Handle(), name, &windowClass));
  if (!atom) return 0;
  if (g_count == 0) Module::AddTermFunction(&UnregisterAll);
  g_caches[g_count++] = &cache;
  cache = atom;
  return atom;
}

}  // namespace tessary
