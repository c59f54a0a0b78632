// Fills this Wine prefix (or PC) with the realistic PC of the warm-up
// benchmark, for timing the tessary tool as a whole process on it:
//
//   tessary_make_pc ROOT COMPONENT_DATA HOST_DATA
//
// Program files go below ROOT, the rules and type files into COMPONENT_DATA
// (the KaData folder beside the DLL), the catalog, registry keys and ignore
// list into HOST_DATA; the Uninstall entries into the registry and the
// shortcuts into the real Programs folders. Exit code 0 when all was made.
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <cstdio>
#include <string>

#include "bench/RealisticPc.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: tessary_make_pc ROOT COMPONENT_DATA HOST_DATA\n");
    return 2;
  }
  if (FAILED(::CoInitialize(nullptr))) return 1;
  wchar_t common[MAX_PATH] = {};
  wchar_t user[MAX_PATH] = {};
  if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_COMMON_PROGRAMS, nullptr, 0, common)) ||
      FAILED(::SHGetFolderPathW(nullptr, CSIDL_PROGRAMS, nullptr, 0, user))) {
    return 1;
  }
  tessary::bench::PcPlace place;
  place.programFiles = argv[1];
  place.commonPrograms = common;
  place.userPrograms = user;
  place.componentData = argv[2];
  place.hostData = argv[3];
  tessary::bench::PcMade made;
  const bool ok = tessary::bench::MakeRealisticPc(tessary::bench::PcShape(), place, made);
  ::CoUninitialize();
  return ok ? 0 : 1;
}
