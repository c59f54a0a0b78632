#include "inventory/WindowsVersion.h"

namespace tessary {
namespace {

OsVersionQuery g_query = &::GetVersionExW;

}  // namespace

OsVersionQuery SetOsVersionQuery(OsVersionQuery query) noexcept {
  const OsVersionQuery previous = g_query;
  g_query = query ? query : &::GetVersionExW;
  return previous;
}

BOOL QueryOsVersion(OSVERSIONINFOW* info) noexcept { return g_query(info); }

WindowsVersionClass ClassifyWindowsVersion() noexcept {
  OSVERSIONINFOEXW info = {};
  info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXW);
  if (!QueryOsVersion(reinterpret_cast<OSVERSIONINFOW*>(&info))) {
    info = {};
    info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOW);
    if (!QueryOsVersion(reinterpret_cast<OSVERSIONINFOW*>(&info))) {
      return WindowsVersionClass::kUnset;
    }
  }
  if (info.dwPlatformId != VER_PLATFORM_WIN32_NT) return WindowsVersionClass::kUnset;
  if (info.dwMajorVersion == 5) {
    switch (info.dwMinorVersion) {
      case 0:
        return WindowsVersionClass::kNt50;
      case 1:
        return WindowsVersionClass::kNt51;
      case 2:
        return WindowsVersionClass::kNt52;
      default:
        return WindowsVersionClass::kUnset;
    }
  }
  if (info.dwMajorVersion == 6) {
    return info.dwMinorVersion == 1 ? WindowsVersionClass::kNt61 : WindowsVersionClass::kNt6x;
  }
  return WindowsVersionClass::kUnset;
}

}  // namespace tessary
