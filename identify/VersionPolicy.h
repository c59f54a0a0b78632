#pragma once
// Version strings: how two are compared, and how a version read under a
// policy (kaSoftVersionPolicy, TessaryLib.h) is cleaned before it is kept.
#include <windows.h>

#include <string>
#include <string_view>

#include "TessaryLib.h"

namespace tessary {

// 1 when `second` is newer, -1 when `first` is newer, 0 when equal. Components
// are split at '.', ',' and U+FF0C and read as _wtoi reads them; with equal
// leading components the longer list is newer (1.0 < 1.0.0). Null or empty
// texts have no components. Texts end at their first NUL.
int CompareVersions(const wchar_t* first, const wchar_t* second) noexcept;

// Drops every leading and trailing 'v' or 'V' ("v1.2V" gives "1.2").
std::wstring_view TrimVersionLetters(std::wstring_view version) noexcept;

// Removes every blank (U+0020) and turns ',' and U+FF0C into '.', so
// "1, 2, 0, 5" becomes "1.2.0.5".
void NormalizeVersion(std::wstring& version) noexcept;

}  // namespace tessary
