#pragma once
// The operating-system version as the readers classify it. The query goes
// through one seam so tests can pose as any Windows release.
#include <windows.h>

namespace tessary {

enum class WindowsVersionClass : int {
  kUnset = -1,
  kNt50 = 0,
  kNt51 = 1,
  kNt52 = 2,
  kNt6x = 3,  // 6.0 and every 6.x but 6.1
  kNt61 = 4,
};

using OsVersionQuery = BOOL(WINAPI*)(OSVERSIONINFOW* info);

// Replaces the version query (GetVersionExW by default; null restores it)
// and returns the previous one.
OsVersionQuery SetOsVersionQuery(OsVersionQuery query) noexcept;

// GetVersionExW, or whatever the seam holds.
BOOL QueryOsVersion(OSVERSIONINFOW* info) noexcept;

// Asks with the extended block, then the basic one; only the NT platform is
// classified.
WindowsVersionClass ClassifyWindowsVersion() noexcept;

}  // namespace tessary
