#include "com/Module.h"

#include <atomic>

extern "C" IMAGE_DOS_HEADER __ImageBase;  // NOLINT(bugprone-reserved-identifier): the linker's name

namespace tessary {
namespace {

HMODULE g_module = reinterpret_cast<HMODULE>(&__ImageBase);
LONG g_lockCount = 0;
CRITICAL_SECTION g_section;
bool g_sectionReady = false;

// Few modules ever register more than a handful; a fixed list needs no
// allocation at unload time.
constexpr int kMaxTermFunctions = 16;
void (*g_termFunctions[kMaxTermFunctions])() = {};
int g_termCount = 0;

}  // namespace

HMODULE Module::Handle() noexcept { return g_module; }
void Module::SetHandle(HMODULE module) noexcept { g_module = module; }

void Module::Lock() noexcept { ::InterlockedIncrement(&g_lockCount); }
void Module::Unlock() noexcept { ::InterlockedDecrement(&g_lockCount); }
LONG Module::LockCount() noexcept { return ::InterlockedCompareExchange(&g_lockCount, 0, 0); }

bool Module::Initialize() noexcept {
  if (g_sectionReady) return true;
  g_sectionReady = ::InitializeCriticalSectionAndSpinCount(&g_section, 0) != FALSE;
  return g_sectionReady;
}

void Module::Terminate() noexcept {
  if (!g_sectionReady) return;
  ::DeleteCriticalSection(&g_section);
  g_sectionReady = false;
}

CRITICAL_SECTION& Module::Lockable() noexcept {
  // Code linked into an exe (the tests) never sees a process attach.
  if (!g_sectionReady) Initialize();
  return g_section;
}

bool Module::AddTermFunction(void (*func)()) noexcept {
  ModuleCriticalSectionGuard guard;
  if (g_termCount == kMaxTermFunctions) return false;
  g_termFunctions[g_termCount++] = func;
  return true;
}

void Module::RunTermFunctions() noexcept {
  for (;;) {
    void (*func)() = nullptr;
    {
      ModuleCriticalSectionGuard guard;
      if (g_termCount == 0) return;
      func = g_termFunctions[--g_termCount];
    }
    func();
  }
}

}  // namespace tessary
