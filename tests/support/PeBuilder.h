#pragma once
// Builds version resources and the smallest PE image that carries one, so
// tests can hand the platform's version reader files with chosen contents.
#include <windows.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessary::testing {

constexpr DWORD VersionWord(WORD high, WORD low) { return (DWORD{high} << 16) | low; }

struct VersionStringTable {
  std::wstring key = L"040904b0";  // language and code page, as hex digits
  std::vector<std::pair<std::wstring, std::wstring>> strings;
};

struct VersionResourceLayout {
  bool hasFixedBlock = true;
  DWORD fileVersionMS = 0;
  DWORD fileVersionLS = 0;
  DWORD productVersionMS = 0;
  DWORD productVersionLS = 0;
  std::vector<VersionStringTable> stringTables;
  std::vector<std::pair<WORD, WORD>> translations;  // none: no VarFileInfo block
};

// A VS_VERSIONINFO block as the resource compiler lays it out.
std::string BuildVersionResource(const VersionResourceLayout& layout);

// Writes a resource-only PE32 image whose RT_VERSION #1 holds `resource`
// (taken as given, so tests can also store corrupt blocks). Avoid names of
// Wine's own programs (arp.exe, notepad.exe, ...): 32-bit Wine reads such a
// file as having no version resource at all (error 1812).
bool WritePeWithVersion(const std::wstring& path, std::string_view resource,
                        WORD language = 0x0409);

}  // namespace tessary::testing
