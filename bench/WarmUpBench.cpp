// What a user waits for: the host's warm-up on a PC that looks like a real
// one (bench/RealisticPc.h), from creating the status manager to the first
// update list, on a release that looks at the start menu. Stages, each from a
// fresh status manager as a host starts:
//   - KaCommonSoft creation (the first status query: rules and inventory);
//   - the catalog's Load (the first GetSoftwareCatelog);
//   - RefreshUpdateStatus (which loads the catalog again and asks a status
//     per catalog program);
//   - the walk of its results, as the tool prints them.
// The floor is what the warm-up cannot avoid: a bare enumeration of the
// Uninstall keys of both views and the per-user key, a bare streaming read of
// the catalog and registry-key files twice, a bare read of the version
// resources of the files the rules name and a bare document load of the
// rules. The update list's digest must stay what it was.
#include <windows.h>
#include <psapi.h>
#include <shlobj.h>
#include <wrl/client.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "TessaryLib.h"
#include "bench/Floors.h"
#include "bench/Harness.h"
#include "bench/RealisticPc.h"
#include "common/Text.h"
#include "facade/KaSoftStatusManager.h"
#include "host/Host.h"
#include "identify/StartMenu.h"
#include "inventory/RegistryView.h"
#include "support/TestSupport.h"

namespace {

using Microsoft::WRL::ComPtr;
using tessary::bench::Now;

constexpr int kRounds = 5;
constexpr double kTarget = 1.5;
// The update list of the default PC, as computed before any tuning.
constexpr uint64_t kExpectedDigest = 0x2db39bb6fd15a06aull;

std::wstring g_commonPrograms;
std::wstring g_userPrograms;

HRESULT WINAPI PcFolders(HWND, int csidl, HANDLE, DWORD, LPWSTR path) {
  const std::wstring& folder = csidl == CSIDL_COMMON_PROGRAMS ? g_commonPrograms : g_userPrograms;
  return wcscpy_s(path, MAX_PATH, folder.c_str()) == 0 ? S_OK : E_FAIL;
}

class Digest {
 public:
  void Add(const wchar_t* text) {
    for (const wchar_t c : tessary::ViewOf(text)) Mix(static_cast<uint16_t>(c));
    Mix(0x10000u);
  }
  void Add(bool flag) { Mix(flag ? 0x20001u : 0x20000u); }
  uint64_t value() const { return hash_; }

 private:
  void Mix(uint32_t unit) { hash_ = (hash_ ^ unit) * 1099511628211ull; }
  uint64_t hash_ = 14695981039346656037ull;
};

struct Stages {
  double creation = 0;
  double load = 0;
  double refresh = 0;
  double walk = 0;
  double Total() const { return creation + load + refresh + walk; }
  // Not a stage: a second refresh, every name already identified.
  double again = 0;
};

struct Outcome {
  LONG programs = 0;
  LONG versions = 0;
  LONG ignored = 0;
  uint64_t digest = 0;
  bool ok = false;
};

struct Floors {
  double enumeration = 0;
  double rules = 0;
  double stream = 0;    // the read before the load
  double restream = 0;  // the read before the refresh
  double versions = 0;
  double Total() const { return enumeration + rules + stream + restream + versions; }
};

// Each stage's floor is measured just before the stage, so that a burst of
// other work on the machine falls on both alike.
class FloorMeter {
 public:
  FloorMeter(const tessary::bench::PcMade& made, Floors& floors) : made_(made), floors_(floors) {}

  void BeforeCreation() {
    const tessary::MachineViews views = tessary::PerMachineViews();
    double start = Now();
    int values = tessary::bench::BareEnumeration(HKEY_LOCAL_MACHINE, views.own.flag) +
                 tessary::bench::BareEnumeration(HKEY_CURRENT_USER, 0);
    if (views.hasOther) {
      values += tessary::bench::BareEnumeration(HKEY_LOCAL_MACHINE, views.other.flag);
    }
    floors_.enumeration = Now() - start;
    ok_ = values > 0 && ok_;
    start = Now();
    ok_ = tessary::bench::BareDocumentLoad(made_.rulesPath) && ok_;
    floors_.rules = Now() - start;
  }
  void BeforeLoad() { floors_.stream = Stream(); }
  void BeforeRefresh() {
    floors_.restream = Stream();
    const double start = Now();
    const int versions = tessary::bench::BareVersionReads(made_.ruleFiles);
    floors_.versions = Now() - start;
    ok_ = versions == static_cast<int>(made_.ruleFiles.size()) && ok_;
  }
  bool ok() const { return ok_; }

 private:
  double Stream() {
    const double start = Now();
    size_t characters = 0;
    ok_ = tessary::bench::BareStream(made_.catalogPath, characters) &&
          tessary::bench::BareStream(made_.registryKeyPath, characters) && ok_;
    return Now() - start;
  }

  const tessary::bench::PcMade& made_;
  Floors& floors_;
  bool ok_ = true;
};

// One warm-up from a fresh status manager, as a host starts.
Outcome WarmUp(IKaHostServices* host, FloorMeter& floor, Stages& stages) {
  Outcome outcome;
  floor.BeforeCreation();
  double start = Now();
  ComPtr<IKaSoftStatusManager> manager;
  ComPtr<IKaHostPlugin> plugin;
  if (FAILED(tessary::CreateKaSoftStatusManager(nullptr, IID_PPV_ARGS(&manager))) ||
      FAILED(manager.As(&plugin)) || FAILED(plugin->Attach(host))) {
    return outcome;
  }
  struct Detach {
    IKaHostPlugin* plugin;
    ~Detach() { plugin->Detach(); }
  } detach{plugin.Get()};
  {
    tessary::UniqueBstr name;
    name.CopyFrom(L"Program0");
    kaSoftInstallStatus status = kaSoftInstallStatus_unknown;
    tessary::UniqueBstr version;
    manager->GetSoftInstallStatus(name.Get(), &status, version.Receive(), nullptr);
  }
  stages.creation = Now() - start;

  floor.BeforeLoad();
  start = Now();
  ComPtr<IKaSoftwareCatelog> catalog;
  if (FAILED(manager->GetSoftwareCatelog(&catalog))) return outcome;
  stages.load = Now() - start;

  floor.BeforeRefresh();
  start = Now();
  ComPtr<IKaSoftUpdater> updater;
  if (FAILED(manager->GetSoftwareUpdater(&updater)) || FAILED(updater->RefreshUpdateStatus())) {
    return outcome;
  }
  stages.refresh = Now() - start;

  start = Now();
  updater->GetUpdateSoftCount(&outcome.programs);
  updater->GetUpdateVersionCount(&outcome.versions);
  updater->GetIgnoredSoftCount(&outcome.ignored);
  Digest digest;
  for (LONG i = 0; i < outcome.programs; ++i) {
    ComPtr<IKaSoftWare> soft;
    tessary::UniqueBstr installed;
    tessary::UniqueSafeArray newer;
    if (FAILED(updater->GetUpdateSoftByIndex(i, &soft, installed.Receive(), newer.put()))) {
      return outcome;
    }
    tessary::UniqueBstr name;
    soft->GetSoftName(name.Receive());
    digest.Add(name.Get());
    digest.Add(installed.Get());
    LONG lower = 0, upper = -1;
    ::SafeArrayGetLBound(newer.get(), 1, &lower);
    ::SafeArrayGetUBound(newer.get(), 1, &upper);
    for (LONG v = lower; v <= upper; ++v) {
      tessary::UniqueBstr version;
      if (FAILED(::SafeArrayGetElement(newer.get(), &v, version.Receive()))) continue;
      digest.Add(version.Get());
      ComPtr<IKaSoftwareVerItem> item;
      _kaSoftVersionAttribute attribute = kaSoftVersionAttribute_normal;
      VARIANT_BOOL ignored = VARIANT_FALSE;
      if (SUCCEEDED(soft->GetVerItemByVersion(version.Get(), &item))) {
        item->GetVerAttr(&attribute);
        item->GetBeIgnored(&ignored);
      }
      digest.Add(attribute == kaSoftVersionAttribute_try);
      digest.Add(ignored != VARIANT_FALSE);
    }
  }
  stages.walk = Now() - start;
  start = Now();
  updater->RefreshUpdateStatus();
  stages.again = Now() - start;
  outcome.digest = digest.value();
  outcome.ok = floor.ok();
  return outcome;
}

double PeakWorkingSetMb() {
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof(counters);
  if (!::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof(counters))) return 0;
  return counters.PeakWorkingSetSize / 1e6;
}

}  // namespace

TESSARY_BENCHMARK(HostWarmUp) {
  tessary::testing::RegistrySandbox sandbox;
  tessary::testing::TempDir dir;
  if (!sandbox.ok()) return 1;
  tessary::bench::PcShape shape;
  tessary::bench::PcPlace place;
  place.programFiles = dir.Join(L"Program Files");
  place.commonPrograms = g_commonPrograms = dir.Join(L"Start Menu\\Common");
  place.userPrograms = g_userPrograms = dir.Join(L"Start Menu\\User");
  place.componentData = dir.Join(L"Tessary\\KaData");
  place.hostData = dir.Join(L"Host");
  tessary::testing::ScopedModuleFile module(dir.Join(L"Tessary\\Tessary.dll"));
  tessary::testing::ScopedOsVersion vista(6, 0);
  tessary::testing::ScopedSeam<&tessary::SetFolderPathQuery> folders(&PcFolders);
  tessary::bench::PcMade made;
  const double generating = Now();
  if (!tessary::bench::MakeRealisticPc(shape, place, made)) return 1;
  std::printf("  %d Uninstall entries (+%d KB...), %d rules (%d by installed keys, %d by start"
              " menu), %d catalog programs x %d versions (%.1f MB), %d registry keys, %d type"
              " keys, %d ignore records, %zu program files; made in %.1f s; median of %d\n",
              shape.programs, shape.updateEntries, shape.rules, shape.installedRules,
              shape.startMenuRules, shape.catalogPrograms, shape.versions,
              made.catalogBytes / 1e6, shape.registryKeys, shape.typeKeys, shape.ignored,
              made.ruleFiles.size(), Now() - generating, kRounds);

  tessary::host::Host host;
  if (FAILED(host.Start())) return 1;
  host.Data().SetDataFilePath(1, made.catalogPath);
  host.Data().SetDataFilePath(2, made.registryKeyPath);
  host.Data().SetSetting(L"update", L"ignorelist", made.ignoreListXml);

  std::vector<Stages> stages;
  std::vector<Floors> floors;
  Outcome outcome;
  bool ok = true;
  for (int round = 0; round <= kRounds; ++round) {
    Floors floor;
    FloorMeter meter(made, floor);
    Stages figure;
    const Outcome now = WarmUp(host.Services(), meter, figure);
    if (!now.ok || (round > 0 && now.digest != outcome.digest)) ok = false;
    outcome = now;
    // The first round warms the file cache and the system's libraries up.
    if (round == 0) continue;
    floors.push_back(floor);
    stages.push_back(figure);
  }
  const auto each = [](const auto& rounds, auto field) {
    std::vector<double> values;
    for (const auto& round : rounds) values.push_back(field(round));
    return values;
  };
  const auto median = [](std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
  };
  const auto stage = [&](auto field) { return each(stages, field); };
  const auto floor = [&](auto field) { return each(floors, field); };

  std::printf("  update list: %ld programs, %ld versions, %ld ignored; digest %016llx\n",
              outcome.programs, outcome.versions, outcome.ignored,
              static_cast<unsigned long long>(outcome.digest));
  if (!ok) std::printf("  unexpected: a warm-up or a floor failed, or rounds disagreed\n");
  if (kExpectedDigest != 0 && outcome.digest != kExpectedDigest) {
    std::printf("  unexpected: the update list changed (expected digest %016llx)\n",
                static_cast<unsigned long long>(kExpectedDigest));
    ok = false;
  }
  std::printf("  floors: enumeration %.1f ms, streaming reads of both files %.1f and %.1f ms,"
              " %zu version resources %.1f ms, rules document %.1f ms\n",
              median(floor([](const Floors& f) { return f.enumeration; })) * 1e3,
              median(floor([](const Floors& f) { return f.stream; })) * 1e3,
              median(floor([](const Floors& f) { return f.restream; })) * 1e3,
              made.ruleFiles.size(),
              median(floor([](const Floors& f) { return f.versions; })) * 1e3,
              median(floor([](const Floors& f) { return f.rules; })) * 1e3);
  tessary::bench::ReportPairedRatio(
      "KaCommonSoft creation", stage([](const Stages& s) { return s.creation; }),
      "enumeration + rules document (floor)",
      floor([](const Floors& f) { return f.enumeration + f.rules; }));
  tessary::bench::ReportPairedRatio("catalog Load", stage([](const Stages& s) { return s.load; }),
                                    "streaming read of both files (floor)",
                                    floor([](const Floors& f) { return f.stream; }));
  tessary::bench::ReportPairedRatio(
      "RefreshUpdateStatus", stage([](const Stages& s) { return s.refresh; }),
      "streaming read + version resources (floor)",
      floor([](const Floors& f) { return f.restream + f.versions; }));
  std::printf("  walk of the update list: %.1f ms\n",
              median(stage([](const Stages& s) { return s.walk; })) * 1e3);
  std::printf("  RefreshUpdateStatus again, every name identified: %.1f ms\n",
              median(stage([](const Stages& s) { return s.again; })) * 1e3);
  ok = tessary::bench::ReportPairedRatio("warm-up, all stages",
                                         stage([](const Stages& s) { return s.Total(); }),
                                         "sum of the floors",
                                         floor([](const Floors& f) { return f.Total(); }),
                                         kTarget) &&
       ok;
  std::printf("  peak working set after the warm-up: %.1f MB; catalog file %.1f MB\n",
              PeakWorkingSetMb(), made.catalogBytes / 1e6);
  host.Shutdown();
  return ok ? 0 : 1;
}
