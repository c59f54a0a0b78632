// The update check over a catalog of 20,000 programs with 5 versions each,
// every one installed, half of them in an older version, and an ignore list
// of 2,000 records. A refresh must reload the catalog and walk it, so its
// floor is exactly that: the catalog's Load plus a full walk of its
// enumerator in the same run. What the refresh adds on top (a status query
// per program, every version compared, ignore lookups, the result list)
// should stay a modest share of the reload.
#include <windows.h>
#include <wrl/client.h>

#include <cstdio>
#include <string>
#include <unordered_map>

#include "TessaryLib.h"
#include "bench/Harness.h"
#include "catalog/KaSoftwareCatelog.h"
#include "common/Text.h"
#include "hostlink/HostReference.h"
#include "host/Host.h"
#include "support/StatusManagerStub.h"
#include "support/TestSupport.h"
#include "update/KaSoftUpdater.h"

namespace {

using Microsoft::WRL::ComPtr;

constexpr int kPrograms = 20000;
constexpr int kVersions = 5;
constexpr int kIgnored = 2000;
constexpr int kRounds = 5;
// The refresh adds a status query, five version reads and comparisons and
// possibly an ignore lookup per program to a reload that parses and builds
// the same program and its five items: well under half of that again.
constexpr double kTarget = 1.5;

std::string CatalogXml() {
  std::string xml =
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<vedad>\n<main_type_list>"
      "<type id=\"1\"><name>Tools</name></type></main_type_list>\n<software_list>\n";
  for (int i = 0; i < kPrograms; ++i) {
    const std::string n = std::to_string(i);
    xml += "<software main_type=\"1\"><name>Program" + n + "</name><displayname>Program " + n +
           "</displayname><company>Maker</company>\n";
    for (int v = 1; v <= kVersions; ++v) {
      const std::string ver = std::to_string(v) + "." + std::to_string(i % 10) + ".0";
      xml += "<version version=\"" + ver + "\" ver_attribute=\"" + std::to_string(v == 5) +
             "\"><whatsnew>Fixes</whatsnew></version>\n";
    }
    xml += "</software>\n";
  }
  return xml + "</software_list>\n</vedad>\n";
}

std::wstring IgnoreListXml() {
  std::wstring xml = L"<ignorelist>";
  for (int i = 0; i < kIgnored; ++i) {
    xml += L"<item name=\"PROGRAM" + std::to_wstring(i * 10) + L"\" verflag=\"" +
           std::to_wstring(i % 2) + L"\"/>";
  }
  return xml + L"</ignorelist>";
}

// Answers from a hash table, so the status queries cost next to nothing
// and the figure is the updater's own.
class BenchStatusManager final : public tessary::testing::StatusManagerStub<BenchStatusManager> {
 public:
  ComPtr<IKaSoftwareCatelog> catalog;
  std::unordered_map<std::wstring, std::wstring> installed;

  STDMETHODIMP GetSoftInstallStatus(BSTR name, kaSoftInstallStatus* status, BSTR* version,
                                    BSTR*) noexcept override {
    const auto found = installed.find(std::wstring(tessary::TextToNul(name)));
    *status =
        found == installed.end() ? kaSoftInstallStatus_noInstall : kaSoftInstallStatus_installed;
    *version = found == installed.end() ? nullptr : ::SysAllocString(found->second.c_str());
    return S_OK;
  }
  STDMETHODIMP GetSoftwareCatelog(IKaSoftwareCatelog** out) noexcept override {
    *out = catalog.Get();
    catalog->AddRef();
    return S_OK;
  }
};

}  // namespace

TESSARY_BENCHMARK(UpdateRefresh) {
  tessary::testing::TempDir folder;
  const std::wstring catalogPath = folder.Join(L"catalog.xml");
  const std::string catalogXml = CatalogXml();
  if (!tessary::testing::WriteFileBytes(catalogPath, catalogXml)) return 1;
  std::printf("  %d programs x %d versions (%.1f MB), %d ignore records, median of %d\n", kPrograms,
              kVersions, catalogXml.size() / 1e6, kIgnored, kRounds);

  tessary::host::Host host;
  if (FAILED(host.Start())) return 1;
  host.Data().SetDataFilePath(1, catalogPath);
  host.Data().SetSetting(L"update", L"ignorelist", IgnoreListXml());
  tessary::SetHostReference(host.Services());

  ComPtr<BenchStatusManager> manager;
  ComPtr<tessary::KaSoftwareCatelog> catalog;
  ComPtr<tessary::KaSoftUpdater> updater;
  if (FAILED(tessary::MakeComObject(manager)) || FAILED(tessary::MakeComObject(catalog)) ||
      FAILED(tessary::MakeComObject(updater))) {
    return 1;
  }
  manager->catalog = catalog;
  // Odd programs run their newest version, even ones are a major behind.
  for (int i = 0; i < kPrograms; ++i) {
    manager->installed[L"program" + std::to_wstring(i)] =
        std::to_wstring(i % 2 ? kVersions : kVersions - 1) + L"." + std::to_wstring(i % 10) + L".0";
  }
  host.Services()->RegisterService(__uuidof(IKaSoftStatusManager),
                                   static_cast<IKaSoftStatusManager*>(manager.Get()));

  size_t walked = 0;
  HRESULT refreshed = S_OK;
  const auto times = tessary::bench::InterleavedMedians(
      kRounds,
      [&] {
        catalog->Load();
        ComPtr<IKaEnumSoftware> all;
        catalog->GetEnum(all.GetAddressOf());
        IKaSoftWare* entry = nullptr;
        walked = 0;
        while (all->Next(1, &entry, nullptr) == S_OK) {
          ++walked;
          entry->Release();
        }
      },
      [&] { refreshed = updater->RefreshUpdateStatus(); });

  LONG programs = 0, versions = 0, ignored = 0;
  updater->GetUpdateSoftCount(&programs);
  updater->GetUpdateVersionCount(&versions);
  updater->GetIgnoredSoftCount(&ignored);
  int status = 0;
  // Every even program is one trial release behind; a tenth of them is on
  // the ignore list, half of those for trial releases.
  if (refreshed != S_OK || walked != static_cast<size_t>(kPrograms) || programs != kPrograms / 2 ||
      versions != kPrograms / 2 || ignored != kIgnored / 2) {
    std::printf(
        "  unexpected: result 0x%08lx, walked %zu, %ld programs, %ld versions, %ld ignored\n",
        static_cast<unsigned long>(refreshed), walked, programs, versions, ignored);
    status = 1;
  }
  std::printf("  RefreshUpdateStatus: %.2f us per program\n", times.figure * 1e6 / kPrograms);
  if (!tessary::bench::ReportRatio("RefreshUpdateStatus", times.figure,
                                   "catalog Load + full enumeration (floor)", times.floor,
                                   kTarget)) {
    status = 1;
  }

  host.Services()->RevokeService(__uuidof(IKaSoftStatusManager));
  manager.Reset();
  catalog.Reset();
  updater.Reset();
  tessary::ClearHostReference();
  host.Shutdown();
  return status;
}
