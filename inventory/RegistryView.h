#pragma once
// Which per-machine registry views hold Uninstall entries for this build. On
// 64-bit Windows a program registers in the view of its own bitness, so a
// reader that stays in one view misses the other half of the programs.
#include <windows.h>

namespace tessary {

// Where an Uninstall entry was read. Absolute values: the same from both
// builds, whichever view is the module's own.
enum class UninstallSource : int {
  kMachine64 = 1,  // per-machine key, 64-bit view
  kMachine32 = 2,  // per-machine key, 32-bit view
  kUser = 3,       // per-user key (one view)
};

// One per-machine view: the access flag that selects it (0 for the module's
// own view, read as before) and what it is.
struct MachineView {
  REGSAM flag;
  UninstallSource source;
};

// The module's own view, and the other one when Windows has two.
struct MachineViews {
  MachineView own;
  MachineView other;
  bool hasOther;
};

using Wow64Query = BOOL(WINAPI*)(HANDLE process, PBOOL wow64);

// Replaces the WOW64 test of the x86 build (IsWow64Process, looked up at run
// time since Windows 2000 lacks it; null restores it) and returns the
// previous one. The x64 build always has both views.
Wow64Query SetWow64Query(Wow64Query query) noexcept;

MachineViews PerMachineViews() noexcept;

// The view flag for a key opened beside a handle already in `view`. Only a
// 32-bit process reaching into the 64-bit view must repeat it (WOW64 would
// redirect the name again); a 64-bit process is never redirected, and Wine
// answers a repeated 32-bit flag with a Wow6432Node probe per key.
constexpr REGSAM SubkeyView(REGSAM view) noexcept { return view & KEY_WOW64_64KEY; }

}  // namespace tessary
