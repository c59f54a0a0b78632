#pragma once
// Module-wide state of the server: the lock count of live objects and server
// locks, the module handle, and the termination list run when the module is
// freed.
#include <windows.h>

namespace tessary {

class Module {
 public:
  // The module that holds this code: the DLL in a host, the exe in tests.
  static HMODULE Handle() noexcept;
  static void SetHandle(HMODULE module) noexcept;

  static void Lock() noexcept;
  static void Unlock() noexcept;
  static LONG LockCount() noexcept;

  // Guards class-object creation and the termination list. False when the
  // critical section could not be set up; the module is then unusable.
  static bool Initialize() noexcept;
  static void Terminate() noexcept;
  static CRITICAL_SECTION& Lockable() noexcept;

  // Functions run once, in reverse order of adding, when the module is freed.
  static bool AddTermFunction(void (*func)()) noexcept;
  static void RunTermFunctions() noexcept;
};

class ModuleCriticalSectionGuard {
 public:
  ModuleCriticalSectionGuard() noexcept { ::EnterCriticalSection(&Module::Lockable()); }
  ~ModuleCriticalSectionGuard() { ::LeaveCriticalSection(&Module::Lockable()); }
  ModuleCriticalSectionGuard(const ModuleCriticalSectionGuard&) = delete;
  ModuleCriticalSectionGuard& operator=(const ModuleCriticalSectionGuard&) = delete;
};

}  // namespace tessary
