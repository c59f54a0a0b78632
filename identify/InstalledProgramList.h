#pragma once
// The Uninstall entries of one index build as a script-friendly list: each
// program an object of its own over a snapshot that every item and
// enumerator shares, so a rebuild never changes what a host already holds.
//
// A build copies the inventory's records, cut to their fixed widths, as
// identification sees them. The first time a host asks for an item the list
// reads every entry again, whole and with the values identification never
// needs, in the view and root it was found in: only the list's callers pay
// for those reads. An object made for its list reads them in the build's own
// walk instead.
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
  std::wstring installLocation;
  std::wstring installDate;
  LONG estimatedSize = -1;  // KiB; -1 when absent
  kaHiddenReason hiddenReason = kaHiddenReason_none;
};

struct InstalledProgramList {
  std::vector<InstalledProgram> programs;
  // Entries the build saw, those past the inventory's cap included.
  LONG entryCount = 0;
  bool whole = false;  // values read again in full
};

using InstalledProgramSnapshot = std::shared_ptr<const InstalledProgramList>;

// The program as the inventory holds it: the entry's own texts, cut. May
// throw bad_alloc.
InstalledProgram ProgramFromRecord(const InstalledProgramRecord& record);

// Reads the program's values whole from its open entry `key`: the texts the
// build kept at their full width again, and the values identification never
// needs. Throws bad_alloc.
void ReadWholeFrom(HKEY key, InstalledProgram& program);

// Replaces `snapshot` with a copy whose values are read whole, unless it is
// already. An entry that no longer opens keeps what the build read; a value
// that cannot be read now keeps its cut text. S_OK, or E_OUTOFMEMORY with
// `snapshot` as it was.
HRESULT ReadWholeValues(InstalledProgramSnapshot& snapshot) noexcept;

// The list's answers, shared by every class that serves it.
HRESULT ProgramCount(const InstalledProgramSnapshot& snapshot, LONG* count) noexcept;
HRESULT EntryCount(const InstalledProgramSnapshot& snapshot, LONG* count) noexcept;
HRESULT ProgramItem(const InstalledProgramSnapshot& snapshot, LONG index,
                    IKaInstalledProgram** program) noexcept;
// An IEnumVARIANT over the programs (VT_DISPATCH items).
HRESULT ProgramEnum(const InstalledProgramSnapshot& snapshot, IUnknown** enumerator) noexcept;

}  // namespace tessary
