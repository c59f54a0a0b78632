// Every allocation of each load, rebuild and answer below fails once, in
// turn: the work answers success or E_OUTOFMEMORY (or its own documented
// result), leaks nothing, and leaves what it publishes as a failure is
// documented to leave it. Inputs are small on purpose: each sweep runs the
// work once per allocation it makes.
#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>
#include <wrl/client.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "AllocHooks.h"
#include "Sweep.h"
#include "catalog/KaSoftwareCatelog.h"
#include "com/ComObject.h"
#include "common/Names.h"
#include "common/Result.h"
#include "facade/AntivirusDetector.h"
#include "host/Host.h"
#include "hostlink/HostReference.h"
#include "identify/IdentificationRules.h"
#include "identify/KaCommonSoft.h"
#include "identify/KaInstalledSoft.h"
#include "inventory/InstalledProgramInventory.h"
#include "recommend/RecommendationFile.h"
#include "support/CatalogState.h"
#include "support/StatusManagerStub.h"
#include "support/TestSupport.h"
#include "update/KaSoftUpdater.h"

namespace tessary::testing {
namespace {

using Microsoft::WRL::ComPtr;

class AllocSweep : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(InstallAllocationHooks()); }
  static void TearDownTestSuite() { RemoveAllocationHooks(); }

  std::wstring Write(const wchar_t* name, std::string_view bytes) {
    const std::wstring path = dir_.Join(name);
    const std::wstring_view relative(name);
    if (relative.find(L'\\') != relative.npos) {
      EXPECT_TRUE(CreateDirectories(path.substr(0, path.rfind(L'\\'))));
    }
    EXPECT_TRUE(WriteFileBytes(path, bytes));
    return path;
  }

  TempDir dir_;
};

// --- The catalog and the registry-key file ---------------------------------------------

const char kCatalogA[] =
    "<vedad><main_type_list><t id='1'><name>Tools</name></t></main_type_list><software_list>"
    "<s main_type='1' is_popularity='1'><name>Alpha</name><version version='1.0'/></s>"
    "</software_list></vedad>";
const char kCatalogB[] =
    "<?xml version='1.0' encoding='utf-8'?><vedad><main_type_list>"
    "<t id='1'><name>Tools</name></t><t id='2'><name>Media</name></t></main_type_list>"
    "<software_list><!-- counted -->"
    "<s main_type='2' is_main_recommend='1' is_onekey_install='1' totaljudgeofmark='7'>"
    "<name>Beta</name><displayname>Beta Player</displayname><company>Maker</company>"
    "<pic>b.png</pic><description>Plays</description>"
    "<version version='2.0' displayver='2.0 final' ver_attribute='1'><whatsnew>New</whatsnew>"
    "</version><version version='1.5'/></s>"
    "<s main_type='9'><name>Gamma</name><version version='3.1'/></s>"
    "<s main_type='1'><name>beta</name></s></software_list></vedad>";
const char kKeysA[] = "<vedad result='0'><soft name='Alpha'><regkey>AlphaKey</regkey></soft></vedad>";
const char kKeysB[] =
    "<?xml version='1.0' encoding='utf-8'?><vedad result='0'>"
    "<soft name='Beta'><regkey>BetaKey</regkey><regkey>{B-2}</regkey></soft>"
    "<soft name='Gamma'><regkey>GammaKey</regkey><regkey>BetaKey</regkey></soft></vedad>";

// Our host, attached as the module's host for the state's lifetime.
struct Hosted {
  Hosted() {
    EXPECT_HRESULT_SUCCEEDED(host.Start());
    SetHostReference(host.Services());
  }
  ~Hosted() {
    ClearHostReference();
    host.Shutdown();
  }
  host::Host host;
};

TEST_F(AllocSweep, CatalogLoadPublishesWholeOrKeepsWhatItHad) {
  const std::wstring catalogA = Write(L"catalogA.xml", kCatalogA);
  const std::wstring catalogB = Write(L"catalogB.xml", kCatalogB);
  const std::wstring keysA = Write(L"keysA.xml", kKeysA);
  const std::wstring keysB = Write(L"keysB.xml", kKeysB);
  struct State : Hosted {
    ComPtr<KaSoftwareCatelog> catalog;
    std::wstring before;
  };
  for (const XmlReaderChoice choice : {XmlReaderChoice::Streaming, XmlReaderChoice::Document}) {
    for (const LONG changed : {1, 2}) {
      SCOPED_TRACE(::testing::Message() << "parser " << static_cast<int>(choice) << ", file kind "
                                        << changed << " replaced");
      std::wstring after;
      const uint64_t count = Sweep(
          [&] {
            auto state = std::make_unique<State>();
            state->host.Data().SetDataFilePath(1, catalogA);
            state->host.Data().SetDataFilePath(2, keysA);
            EXPECT_HRESULT_SUCCEEDED(MakeComObject(state->catalog));
            EXPECT_EQ(state->catalog->LoadWith(choice), S_FALSE);
            state->before = PublishedCatalog(*state->catalog.Get());
            state->host.Data().SetDataFilePath(changed, changed == 1 ? catalogB : keysB);
            return state;
          },
          [&](State& state) { return state.catalog->LoadWith(choice); },
          [&](State& state, const Outcome& outcome) {
            // A load that fails publishes nothing of what it read.
            ExpectWholeOrUnchanged(outcome, S_FALSE, PublishedCatalog(*state.catalog.Get()),
                                   state.before, after);
          });
      RecordProperty("catalog", static_cast<int>(count));
    }
  }
}

// --- The updater ---------------------------------------------------------------------

// Answers install status from a table, and runs out of memory as a real
// status manager would: the failure is returned, not an empty answer.
class TableStatusManager final : public StatusManagerStub<TableStatusManager> {
 public:
  ComPtr<KaSoftwareCatelog> catalog;
  std::map<std::wstring, std::wstring> installed;  // lower-cased name to version

  STDMETHODIMP GetSoftInstallStatus(BSTR name, kaSoftInstallStatus* status, BSTR* version,
                                    BSTR*) noexcept override {
    const std::wstring lowered = LowerCopy(name ? name : L"");
    const auto found = installed.find(lowered);
    *status = found == installed.end() ? kaSoftInstallStatus_noInstall
                                       : kaSoftInstallStatus_installed;
    *version = nullptr;
    if (found == installed.end()) return S_OK;
    *version = ::SysAllocString(found->second.c_str());
    return *version ? S_OK : E_OUTOFMEMORY;
  }
  STDMETHODIMP GetSoftwareCatelog(IKaSoftwareCatelog** out) noexcept override {
    *out = catalog.Get();
    catalog->AddRef();
    return S_OK;
  }
};

std::wstring Published(KaSoftUpdater& updater) {
  LONG soft = -1, versions = -1, ignored = -1;
  updater.GetUpdateSoftCount(&soft);
  updater.GetUpdateVersionCount(&versions);
  updater.GetIgnoredSoftCount(&ignored);
  std::wstring out = std::to_wstring(soft) + L"/" + std::to_wstring(versions) + L"/" +
                     std::to_wstring(ignored) + L"\n";
  for (LONG i = 0; i < soft; ++i) {
    ComPtr<IKaSoftWare> software;
    UniqueBstr installed;
    SAFEARRAY* newer = nullptr;
    out += std::to_wstring(updater.GetUpdateSoftByIndex(i, software.GetAddressOf(),
                                                        installed.Receive(), &newer));
    out += Field([&](BSTR* t) { return software->GetSoftName(t); }) + Shown(installed.Get());
    LONG upper = -1;
    ::SafeArrayGetUBound(newer, 1, &upper);
    for (LONG v = 0; v <= upper; ++v) {
      BSTR version = nullptr;
      ::SafeArrayGetElement(newer, &v, &version);
      out += L" " + Shown(version);
      ::SysFreeString(version);
    }
    ::SafeArrayDestroy(newer);
    out += L"\n";
  }
  return out;
}

TEST_F(AllocSweep, UpdaterRefreshKeepsTheLastResultsOnFailure) {
  const std::wstring catalogA = Write(L"catalogA.xml", kCatalogA);
  const std::wstring catalogB = Write(L"catalogB.xml", kCatalogB);
  struct State : Hosted {
    ComPtr<TableStatusManager> manager;
    ComPtr<KaSoftUpdater> updater;
    std::wstring before;
  };
  std::wstring after;
  const uint64_t count = Sweep(
      [&] {
        auto state = std::make_unique<State>();
        EXPECT_HRESULT_SUCCEEDED(MakeComObject(state->manager));
        EXPECT_HRESULT_SUCCEEDED(MakeComObject(state->manager->catalog));
        EXPECT_HRESULT_SUCCEEDED(state->host.Services()->RegisterService(
            __uuidof(IKaSoftStatusManager),
            static_cast<IKaSoftStatusManager*>(state->manager.Get())));
        state->manager->installed = {{L"alpha", L"0.9"}, {L"beta", L"1.0"}, {L"gamma", L"3.0"}};
        state->host.Data().SetDataFilePath(1, catalogA);
        EXPECT_HRESULT_SUCCEEDED(MakeComObject(state->updater));
        EXPECT_EQ(state->updater->RefreshUpdateStatus(), S_OK);
        state->before = Published(*state->updater.Get());
        state->host.Data().SetDataFilePath(1, catalogB);
        state->host.Data().SetSetting(
            L"update", L"ignorelist",
            L"<ignorelist><soft name='Beta' verflag='1'/><soft name='GAMMA' verflag='0'/>"
            L"</ignorelist>");
        return state;
      },
      [&](State& state) { return state.updater->RefreshUpdateStatus(); },
      [&](State& state, const Outcome& outcome) {
        ExpectWholeOrUnchanged(outcome, S_OK, Published(*state.updater.Get()), state.before,
                               after);
      });
  RecordProperty("updater", static_cast<int>(count));
}

// --- Identification rules, antivirus rules, recommendations ----------------------------

const char kRulesA[] =
    "<vedad result='0'><soft name='Alpha'><regkey policy='0'>AlphaKey</regkey></soft></vedad>";
const char kRulesB[] =
    "<?xml version='1.0' encoding='utf-8'?><vedad result='0'>"
    "<soft name='Beta'><regkey displayname='Beta Player' policy='3' ver_filepath='b.exe'"
    " ver_filepath1='x\\b.exe,y\\b.exe'>BetaKey</regkey>"
    "<start_menu path='Beta' app_file='Beta' uninstall_file='Uninstall' policy='4'"
    " ver_filepath='b.exe,c.exe'/></soft>"
    "<soft name='Gamma'><regkey policy='0'>GammaKey</regkey></soft></vedad>";

std::wstring Published(IdentificationRuleTable& rules) {
  std::wstring out;
  for (const auto& [name, rule] : rules.Entries()) {
    out += name + L":";
    for (const RegKeyRule& key : rule.regKeyRules) {
      out += L" key " + key.regKey + L"|" + key.displayName + L"|" + std::to_wstring(key.policy) +
             L"|" + key.verFilePath + L"|" + std::to_wstring(key.altVerFilePaths.size());
    }
    for (const StartMenuLocation& at : rule.startMenuLocations) {
      out += L" menu " + at.subFolder + L"|" + at.appFile + L"|" + at.uninstallFile + L"|" +
             std::to_wstring(at.verFilePaths.size());
    }
    out += L"\n";
  }
  return out;
}

TEST_F(AllocSweep, RulesLoadReplacesWholeOrKeepsTheTable) {
  const std::wstring rulesA = Write(L"rulesA.xml", kRulesA);
  const std::wstring rulesB = Write(L"rulesB.xml", kRulesB);
  struct State {
    IdentificationRuleTable rules;
    std::wstring before;
  };
  std::wstring after;
  Sweep(
      [&] {
        auto state = std::make_unique<State>();
        EXPECT_TRUE(state->rules.Load(rulesA.c_str()));
        state->before = Published(state->rules);
        return state;
      },
      [&](State& state) {
        return Guarded([&] { return state.rules.Load(rulesB.c_str()) ? S_OK : S_FALSE; });
      },
      [&](State& state, const Outcome& outcome) {
        const std::wstring now = Published(state.rules);
        if (!outcome.n) after = now;
        // S_FALSE: the file did not load (its document could not be made),
        // which keeps the table as a missing file does.
        ASSERT_TRUE(IsCleanOrOutOfMemory(outcome.hr, S_OK) || outcome.hr == S_FALSE);
        EXPECT_EQ(now, outcome.hr == S_OK ? after : state.before);
      });
}

const char kAntivirusA[] =
    "<antivirus><KaAntivirus><av name='Old'><key index='1' value='OldKey'/></av>"
    "</KaAntivirus></antivirus>";
const char kAntivirusB[] =
    "<antivirus><KaAntivirus><av name='Bastion' displayname='Bastion Guard'>"
    "<key index='1' value='BastionKey' displayname='Bastion 2011'/><key index='2' value='B2'/></av>"
    "<av name='Kestrel'><key value='KestrelKey'/></av></KaAntivirus></antivirus>";

std::wstring Published(const AntivirusDetector& detector) {
  std::wstring out;
  const auto entries = detector.entries();
  if (!entries) return out;
  for (const auto& [name, entry] : *entries) {
    out += name + L"|" + entry.displayName;
    for (const auto& marker : entry.markers) {
      out += L" " + std::to_wstring(marker.index) + L"|" + marker.value + L"|" + marker.displayName;
    }
    out += L"\n";
  }
  return out;
}

TEST_F(AllocSweep, AntivirusRulesReloadReplacesWholeOrKeepsTheRules) {
  const std::wstring path = dir_.Join(L"antivirus.xml");
  struct State {
    explicit State(const std::wstring& path) : detector(path) {}
    AntivirusDetector detector;
    std::wstring before;
  };
  std::wstring after;
  Sweep(
      [&] {
        EXPECT_TRUE(WriteFileBytes(path, kAntivirusA));
        auto state = std::make_unique<State>(path);
        EXPECT_EQ(state->detector.Reload(), 1);
        state->before = Published(state->detector);
        EXPECT_TRUE(WriteFileBytes(path, kAntivirusB));
        return state;
      },
      // 1 when the rules were loaded, else 0 with the rules read before kept.
      [&](State& state) { return state.detector.Reload() == 1 ? S_OK : S_FALSE; },
      [&](State& state, const Outcome& outcome) {
        const std::wstring now = Published(state.detector);
        if (!outcome.n) after = now;
        EXPECT_EQ(state.detector.rulesLoaded(), outcome.hr == S_OK);
        EXPECT_EQ(now, outcome.hr == S_OK ? after : state.before);
      });
}

const char kRecommendA[] =
    "<new_onekey><funtionlist><c><name>Old</name></c></funtionlist></new_onekey>";
const char kRecommendB[] =
    "<?xml version='1.0' encoding='utf-8'?><new_onekey><funtionlist>"
    "<c><name>Essentials</name><description>Need</description><importance>10</importance></c>"
    "<c><NAME>Media</NAME></c></funtionlist><softlist>"
    "<s><name>Beta</name><funtion0>Media</funtion0><order>2</order></s>"
    "<s><name>Alpha</name><funtion0>Essentials</funtion0><order>1</order></s>"
    "<s><name>Gamma</name><funtion0>Media</funtion0><order>1</order></s>"
    "<s><name>Lost</name><funtion0>None</funtion0></s></softlist></new_onekey>";

std::wstring Published(const RecommendationList& list) {
  std::wstring out;
  for (const RecommendedCatalog& pair : list) {
    KaRecommendCatalog& catalog = *pair.catalog.Get();
    LONG importance = 0, count = 0;
    catalog.GetImportance(&importance);
    catalog.GetSoftCount(&count);
    out += Shown(pair.name.Get()) + Field([&](BSTR* t) { return catalog.GetName(t); }) +
           Field([&](BSTR* t) { return catalog.GetDescription(t); }) + std::to_wstring(importance);
    for (LONG i = 0; i < count; ++i) {
      LONG order = 0;
      out += Field([&](BSTR* t) { return catalog.GetSoftByIndex(i, t, &order); }) +
             std::to_wstring(order);
    }
    out += L"\n";
  }
  return out;
}

TEST_F(AllocSweep, RecommendationReadReplacesWholeOrLeavesTheList) {
  const std::wstring fileA = Write(L"recommendA.xml", kRecommendA);
  const std::wstring fileB = Write(L"recommendB.xml", kRecommendB);
  struct State {
    RecommendationList list;
    std::wstring before;
  };
  std::wstring after;
  Sweep(
      [&] {
        auto state = std::make_unique<State>();
        EXPECT_EQ(ReadRecommendationFile(fileA.c_str(), state->list), S_OK);
        state->before = Published(state->list);
        return state;
      },
      [&](State& state) { return ReadRecommendationFile(fileB.c_str(), state.list); },
      [&](State& state, const Outcome& outcome) {
        ExpectWholeOrUnchanged(outcome, S_OK, Published(state.list), state.before, after);
      });
}

// --- The inventory, the installed list and identification -------------------------------

// Uninstall entries in the module's own view, the user's key and the other
// view: one per source, and one per source of the first build only.
struct Programs {
  Programs() {
    EXPECT_TRUE(sandbox.ok());
    Add(HKEY_LOCAL_MACHINE, L"AlphaKey", L"Alpha", L"1.0", KEY_WOW64_64KEY);
    Add(HKEY_CURRENT_USER, L"BetaKey", L"Beta", L"2.0", 0);
    Add(HKEY_LOCAL_MACHINE, L"GammaKey", L"Gamma", L"3.0", KEY_WOW64_32KEY);
  }
  static void Add(HKEY root, const wchar_t* key, const wchar_t* name, const wchar_t* version,
                  REGSAM view) {
    const std::wstring uninstaller = std::wstring(L"C:\\") + name + L"\\uninst.exe";
    EXPECT_TRUE(AddUninstallEntry(
        root, key,
        {{L"DisplayName", name}, {L"DisplayVersion", version}, {L"UninstallString", uninstaller}},
        view));
  }
  RegistrySandbox sandbox;
};

std::vector<std::wstring> Keys(const InstalledProgramInventory& inventory) {
  std::vector<std::wstring> keys;
  for (size_t i = 0; i < inventory.Count(); ++i) keys.emplace_back(inventory.RecordAt(i)->keyName);
  return keys;
}

TEST_F(AllocSweep, InventoryRebuildDropsExactlyTheRecordThatFailed) {
  Programs programs;
  struct State {
    InstalledProgramInventory inventory;
  };
  std::vector<std::wstring> clean;
  Sweep([&] { return std::make_unique<State>(); },
        [&](State& state) { return state.inventory.Rebuild(); },
        [&](State& state, const Outcome& outcome) {
          const std::vector<std::wstring> keys = Keys(state.inventory);
          // The walk's buffers come first: without them nothing is read.
          EXPECT_EQ(outcome.hr, outcome.n == 1 ? E_OUTOFMEMORY : S_OK);
          if (!outcome.n) {
            clean = keys;
            EXPECT_EQ(clean.size(), 3u);
            return;
          }
          std::vector<std::wstring> expected;
          if (outcome.n > 1) {
            expected = clean;
            ASSERT_LT(outcome.n - 2, expected.size());
            expected.erase(expected.begin() + static_cast<ptrdiff_t>(outcome.n - 2));
          }
          EXPECT_EQ(keys, expected);
        });
}

// The programs as the list hands them out, each property's result with it.
HRESULT ReadList(IKaInstalledPrograms* list, std::wstring& out) {
  LONG count = 0;
  RETURN_IF_FAILED(list->get_Count(&count));
  ComPtr<IKaInstalledPrograms2> counted;
  RETURN_IF_FAILED(list->QueryInterface(IID_PPV_ARGS(&counted)));
  LONG entries = 0;
  RETURN_IF_FAILED(counted->get_EntryCount(&entries));
  {
    const Uncounted own;
    out += L"entries " + std::to_wstring(entries) + L"; ";
  }
  for (LONG i = 0; i < count; ++i) {
    ComPtr<IKaInstalledProgram> program;
    RETURN_IF_FAILED(list->get_Item(i, program.GetAddressOf()));
    for (auto get : {&IKaInstalledProgram::get_KeyName, &IKaInstalledProgram::get_DisplayName,
                     &IKaInstalledProgram::get_DisplayVersion, &IKaInstalledProgram::get_Publisher,
                     &IKaInstalledProgram::get_UninstallString,
                     &IKaInstalledProgram::get_DisplayIcon}) {
      UniqueBstr text;
      RETURN_IF_FAILED((program.Get()->*get)(text.Receive()));
      const Uncounted own;
      out += Shown(text.Get()) + L" ";
    }
    ComPtr<IKaInstalledProgram2> more;
    RETURN_IF_FAILED(program.As(&more));
    for (auto get : {&IKaInstalledProgram2::get_InstallLocation,
                     &IKaInstalledProgram2::get_InstallDate}) {
      UniqueBstr text;
      RETURN_IF_FAILED((more.Get()->*get)(text.Receive()));
      const Uncounted own;
      out += Shown(text.Get()) + L" ";
    }
    kaUninstallSource source{};
    LONG size = 0;
    kaHiddenReason hidden{};
    RETURN_IF_FAILED(program->get_Source(&source));
    RETURN_IF_FAILED(more->get_EstimatedSize(&size));
    RETURN_IF_FAILED(more->get_HiddenReason(&hidden));
    const Uncounted own;
    out += std::to_wstring(source) + L" " + std::to_wstring(size) + L" " +
           std::to_wstring(hidden) + L"\n";
  }
  ComPtr<IUnknown> unknown;
  RETURN_IF_FAILED(list->_NewEnum(unknown.GetAddressOf()));
  ComPtr<IEnumVARIANT> items;
  RETURN_IF_FAILED(unknown.As(&items));
  VARIANT item;
  ::VariantInit(&item);
  HRESULT hr = S_OK;
  while ((hr = items->Next(1, &item, nullptr)) == S_OK) {
    const Uncounted own;
    out += L"*";
    ::VariantClear(&item);
  }
  return FAILED(hr) ? hr : S_OK;
}

TEST_F(AllocSweep, InstalledListIsMadeAndReadOrFailsCleanly) {
  Programs programs;
  // Longer than the first buffer of a whole-value read, so it grows.
  ASSERT_TRUE(WriteString(HKEY_CURRENT_USER, std::wstring(kUninstallPath) + L"BetaKey",
                          L"InstallLocation", std::wstring(700, L'b')));
  const ScopedModuleFile module(dir_.Join(L"Tessary.dll"));
  struct State {
    std::wstring read;
  };
  std::wstring clean;
  Sweep([&] { return std::make_unique<State>(); },
        [&](State& state) {
          ComPtr<IKaInstalledPrograms> list;
          RETURN_IF_FAILED(CreateKaInstalledSoft(nullptr, IID_PPV_ARGS(&list)));
          return ReadList(list.Get(), state.read);
        },
        [&](State& state, const Outcome& outcome) {
          if (!outcome.n) clean = state.read;
          ASSERT_TRUE(IsCleanOrOutOfMemory(outcome.hr, S_OK)) << outcome.hr;
          if (outcome.hr != S_OK) return;
          // A success reads the whole list, or the list without the one
          // program the inventory could not keep.
          const size_t lines = std::count(clean.begin(), clean.end(), L'\n');
          const size_t read = std::count(state.read.begin(), state.read.end(), L'\n');
          if (read == lines) {
            EXPECT_EQ(state.read, clean);
          } else {
            EXPECT_EQ(read + 1, lines) << std::string(state.read.begin(), state.read.end());
          }
        });
}

// What identification answers for each name, through the object's questions.
std::wstring Answers(KaCommonSoft& common) {
  std::wstring out;
  for (const wchar_t* name : {L"Alpha", L"beta", L"Gamma", L"Delta"}) {
    UniqueBstr asked = MakeBstr(name);
    UniqueBstr version, shown;
    kaSoftInstallStatus status{};
    const HRESULT hr = common.GetSoftVersion(asked.Get(), &status, version.Receive(),
                                             shown.Receive());
    out += std::wstring(name) + L" " + std::to_wstring(hr) + L" " + std::to_wstring(status) +
           L" " + Shown(version.Get()) + L" " + Shown(shown.Get()) + L"\n";
  }
  return out;
}

constexpr char kIdentifyRules[] =
    "<vedad result='0'><soft name='Alpha'><regkey displayname='Alpha' policy='0'>AlphaKey</regkey>"
    "</soft><soft name='Beta'><regkey displayname='Beta 1' policy='0'>Missing</regkey>"
    "<regkey displayname='Beta 2' policy='0'>BetaKey</regkey></soft>"
    "<soft name='Gamma'><regkey policy='0'>GammaKey</regkey>"
    "<start_menu path='Gamma' app_file='Gamma' uninstall_file='Uninstall' policy='4'"
    " ver_filepath='g.exe'/></soft><soft name='Delta'><regkey>DeltaKey</regkey></soft></vedad>";

struct Identifying {
  explicit Identifying(const TempDir& dir) : module(dir.Join(L"Tessary.dll")) {}
  Programs programs;
  ScopedModuleFile module;
};

TEST_F(AllocSweep, InstalledRebuildPublishesWholeOrKeepsTheIndex) {
  Write(L"KaData\\KaSoftwareVerIdentify.xml", kIdentifyRules);
  const Identifying world(dir_);
  struct State {
    ComPtr<KaInstalledSoft> engine;
    std::wstring before;
  };
  const auto published = [](KaInstalledSoft& engine) {
    std::wstring out;
    for (const wchar_t* key : {L"AlphaKey", L"BetaKey", L"GammaKey", L"DeltaKey"}) {
      UniqueBstr asked = MakeBstr(key);
      kaSoftInstallStatus status{};
      engine.QueryInstallStatus(asked.Get(), &status);
      out += std::to_wstring(status) + L" ";
    }
    EXPECT_HRESULT_SUCCEEDED(ReadList(&engine, out));
    return out;
  };
  std::wstring after;
  Sweep(
      [&] {
        auto state = std::make_unique<State>();
        ::RegDeleteKeyW(HKEY_CURRENT_USER, (std::wstring(kUninstallPath) + L"DeltaKey").c_str());
        EXPECT_HRESULT_SUCCEEDED(MakeComObject(state->engine));
        state->before = published(*state->engine.Get());
        Programs::Add(HKEY_CURRENT_USER, L"DeltaKey", L"Delta", L"4.0", 0);
        return state;
      },
      [&](State& state) { return state.engine->ReBuildInstalledVerInfo(); },
      [&](State& state, const Outcome& outcome) {
        const std::wstring now = published(*state.engine.Get());
        if (!outcome.n) after = now;
        EXPECT_NE(after, state.before);
        ASSERT_TRUE(IsCleanOrOutOfMemory(outcome.hr, S_OK)) << outcome.hr;
        if (outcome.hr != S_OK) {
          EXPECT_EQ(now, state.before);
        } else if (now != after) {
          // Only the inventory goes on without what failed: one program.
          EXPECT_EQ(std::count(now.begin(), now.end(), L'\n') + 1,
                    std::count(after.begin(), after.end(), L'\n'));
        }
      });
}

TEST_F(AllocSweep, ExplanationIsWholeOrAbsentAndChangesNoAnswer) {
  Write(L"KaData\\KaSoftwareVerIdentify.xml", kIdentifyRules);
  const Identifying world(dir_);
  struct State {
    ComPtr<KaCommonSoft> common;
    std::wstring answers;
    UniqueBstr explanation;
  };
  std::wstring clean;
  for (const wchar_t* name : {L"BETA", L"gamma", L"Unknown"}) {
    SCOPED_TRACE(::testing::Message() << "explaining " << std::string(name, name + wcslen(name)));
    Sweep(
        [&] {
          auto state = std::make_unique<State>();
          EXPECT_HRESULT_SUCCEEDED(MakeComObject(state->common));
          state->answers = Answers(*state->common.Get());
          return state;
        },
        [&](State& state) {
          UniqueBstr asked;
          {
            const Uncounted own;
            asked = MakeBstr(name);
          }
          return state.common->ExplainIdentification(asked.Get(), state.explanation.Receive());
        },
        [&](State& state, const Outcome& outcome) {
          const std::wstring text(state.explanation.Get() ? state.explanation.Get() : L"");
          if (!outcome.n) clean = text;
          ASSERT_TRUE(IsCleanOrOutOfMemory(outcome.hr, S_OK)) << outcome.hr;
          EXPECT_EQ(text, outcome.hr == S_OK ? clean : L"");
          EXPECT_EQ(Answers(*state.common.Get()), state.answers);
        });
  }
}

}  // namespace
}  // namespace tessary::testing
