#pragma once
// The Uninstall entries of one index build as a script-friendly list: each
// program an object of its own over a snapshot that every item and
// enumerator shares, so a rebuild never changes what a host already holds.
#include <windows.h>
#include <oaidl.h>

#include <memory>
#include <string>
#include <vector>

#include "TessaryLib.h"
#include "inventory/InstalledProgramInventory.h"

namespace tessary {

struct InstalledProgram {
  std::wstring keyName;
  kaUninstallSource source = kaUninstallSource_machine64;
  std::wstring displayName;
  std::wstring displayVersion;
  std::wstring publisher;
  std::wstring uninstallString;
  std::wstring displayIcon;
};

using InstalledProgramSnapshot = std::shared_ptr<const std::vector<InstalledProgram>>;

// The program as the list shows it: the entry's own texts. May throw
// bad_alloc.
InstalledProgram ProgramFromRecord(const InstalledProgramRecord& record);

// The list's answers, shared by every class that serves it.
HRESULT ProgramCount(const InstalledProgramSnapshot& snapshot, LONG* count) noexcept;
HRESULT ProgramItem(const InstalledProgramSnapshot& snapshot, LONG index,
                    IKaInstalledProgram** program) noexcept;
// An IEnumVARIANT over the programs (VT_DISPATCH items).
HRESULT ProgramEnum(const InstalledProgramSnapshot& snapshot, IUnknown** enumerator) noexcept;

}  // namespace tessary
