#pragma once
// The executables an Uninstall entry names: its uninstaller and the program's
// own executable, as the engine and the start-menu reader derive them.
#include <windows.h>

#include <string>
#include <string_view>

#include "inventory/InstalledProgramInventory.h"

namespace tessary {

// The uninstaller named by an UninstallString, without quotes or arguments.
std::wstring DeriveUninstallerPath(std::wstring_view uninstallString);

// The executable an UninstallString runs, lower-cased.
std::wstring ExePathFromUninstallString(std::wstring_view uninstallString);

// The program's own executable: its DisplayIcon when that names an existing
// .exe, else its ARP-cache image (lower-cased) unless that is merely the
// uninstaller.
std::wstring DeriveApplicationPath(const InstalledProgramRecord& program);

}  // namespace tessary
