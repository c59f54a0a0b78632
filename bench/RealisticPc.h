#pragma once
// A PC that looks like a real one, generated deterministically: Uninstall
// entries split between both registry views and the per-user key, update
// entries, Add/Remove Programs cache entries, program files carrying real
// version resources (copies of the system's own executables under the
// programs' names, some moved to an alternative path, some missing),
// start-menu folders with shortcuts, the component's data files (rules, type
// files) and the host's (catalog, registry keys, ignore list).
//
// Registry entries are written through HKEY_LOCAL_MACHINE and
// HKEY_CURRENT_USER as the process sees them, so a benchmark can redirect
// them to a sandbox and a prefix can be filled for real.
#include <windows.h>

#include <string>
#include <vector>

namespace tessary::bench {

struct PcShape {
  int programs = 1000;         // Uninstall entries, 10 values each
  int updateEntries = 40;      // KB... entries
  int rules = 3000;            // programs the rules know, each a catalog program
  int installedRules = 950;    // rules naming installed keys (the first 50 name two)
  int startMenuRules = 100;    // rules known by start-menu folders, 5 shortcuts each
  int catalogPrograms = 20000;
  int versions = 5;
  int mainTypes = 50;
  int registryKeys = 20000;
  int typeKeys = 500;
  int ignored = 2000;
};

struct PcPlace {
  std::wstring programFiles;    // program folders are made below it
  std::wstring commonPrograms;  // the two Programs folders of the start menu
  std::wstring userPrograms;
  std::wstring componentData;   // KaData beside the component
  std::wstring hostData;        // catalog.xml, regkeys.xml, ignorelist.xml
};

// What the generator made, for the floors of the benchmark.
struct PcMade {
  std::wstring rulesPath;
  std::wstring catalogPath;
  std::wstring registryKeyPath;
  std::wstring ignoreListXml;           // as the host hands it over in its settings
  std::vector<std::wstring> ruleFiles;  // every program file the rules name that exists
  size_t catalogBytes = 0;
};

// False on the first thing that cannot be made.
bool MakeRealisticPc(const PcShape& shape, const PcPlace& place, PcMade& made);

}  // namespace tessary::bench
