#include "inventory/RegistryView.h"

namespace tessary {
namespace {

BOOL WINAPI RealIsWow64(HANDLE process, PBOOL wow64) {
  using Function = BOOL(WINAPI*)(HANDLE, PBOOL);
  const HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
  // NOLINTNEXTLINE(bugprone-casting-through-void): GetProcAddress's type is not the export's
  const auto function = kernel ? reinterpret_cast<Function>(reinterpret_cast<void*>(
                                     ::GetProcAddress(kernel, "IsWow64Process")))
                               : nullptr;
  return function ? function(process, wow64) : FALSE;
}

Wow64Query g_query = &RealIsWow64;

}  // namespace

Wow64Query SetWow64Query(Wow64Query query) noexcept {
  const Wow64Query previous = g_query;
  g_query = query ? query : &RealIsWow64;
  return previous;
}

MachineViews PerMachineViews() noexcept {
#ifdef _WIN64
  return {{0, UninstallSource::kMachine64}, {KEY_WOW64_32KEY, UninstallSource::kMachine32}, true};
#else
  BOOL wow64 = FALSE;
  if (!g_query(::GetCurrentProcess(), &wow64)) wow64 = FALSE;
  return {{0, UninstallSource::kMachine32}, {KEY_WOW64_64KEY, UninstallSource::kMachine64},
          wow64 != FALSE};
#endif
}

}  // namespace tessary
