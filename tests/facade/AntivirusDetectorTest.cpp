// The antivirus detector: its rules file, the order and wording of its
// answers, the security center on Windows XP, and reloading.
#include <windows.h>

#include <gtest/gtest.h>
#include <wrl/client.h>

#include <atomic>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <vector>

#include "TessaryLib.h"
#include "common/Text.h"
#include "common/Unique.h"
#include "facade/AntivirusDetector.h"
#include "inventory/InstalledProgramInventory.h"
#include "inventory/WindowsVersion.h"
#include "support/ScopedSeam.h"
#include "support/TestSupport.h"

namespace tessary::testing {
namespace {

using Microsoft::WRL::ComPtr;

// --- Posing as a Windows release and as a security center ----------------------


int g_centerCalls = 0;
HRESULT g_centerResult = S_OK;
const wchar_t* g_centerProduct = nullptr;

HRESULT PoseAsCenter(BSTR* displayName) {
  ++g_centerCalls;
  *displayName = g_centerProduct ? ::SysAllocString(g_centerProduct) : nullptr;
  return g_centerResult;
}

std::wstring UninstallKey(std::wstring_view name) { return kUninstallPath + std::wstring(name); }

struct Answer {
  kaSoftInstallStatus status = kaSoftInstallStatus_unknown;
  std::wstring name;
  std::wstring displayName;
};

class AntivirusDetectorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sandbox_.ok());
    g_centerCalls = 0;
    g_centerResult = S_OK;
    g_centerProduct = nullptr;
  }

  void WriteRules(std::string_view body) {
    ASSERT_TRUE(
        WriteFileBytes(rulesPath_, std::string("<?xml version=\"1.0\"?>") + std::string(body)));
  }
  static void Install(std::wstring_view key, HKEY root = HKEY_LOCAL_MACHINE) {
    ASSERT_TRUE(AddUninstallEntry(root, std::wstring(key), {{L"DisplayName", L"x"}}));
  }

  Answer Detect() {
    Answer answer;
    UniqueBstr name, shown;
    EXPECT_EQ(detector_.Detect(&answer.status, name.Receive(), shown.Receive()), S_OK);
    answer.name = TextToNul(name.Get());
    answer.displayName = TextToNul(shown.Get());
    return answer;
  }

  ScopedOsVersion version_;
  ScopedSeam<&SetSecurityCenterQuery> center_{&PoseAsCenter};
  RegistrySandbox sandbox_;
  TempDir dir_;
  const std::wstring rulesPath_ = dir_.Join(L"KaAntivirusIdentify.xml");
  AntivirusDetector detector_{rulesPath_};
};

TEST_F(AntivirusDetectorTest, ReadsEntriesAndMarkersWhateverTheElementNamesAndCase) {
  WriteRules(
      "<root><x><KaAntivirus>"
      "  <av NAME='Bastion' DisplayName='Bastion AV' other='1'>"
      "    <!-- keys --><key Index='3' VALUE='Bastion_is1' displayname='Bastion 2011'/>"
      "    text<anything value='BastionFree'/>"
      "  </av>"
      "  <!-- comment --><p name='Childless' displayname='x'/>"
      "  <q name='Commented'><!-- a comment is a child, but no marker --></q>"
      "  <r name='dup' displayname='first'><k value='one'/></r>"
      "  <s name='DUP' displayname='second'><k value='two'/><k value='three'/></s>"
      "</KaAntivirus></x><KaAntivirus><av name='ignored'><k value='v'/></av></KaAntivirus></root>");
  detector_.EnsureLoaded();
  ASSERT_TRUE(detector_.rulesLoaded());

  const auto published = detector_.entries();
  ASSERT_TRUE(published);
  const auto& entries = *published;
  ASSERT_EQ(entries.size(), 3u);
  const auto& bastion = entries.at(L"bastion");
  EXPECT_EQ(bastion.name, L"bastion");
  EXPECT_EQ(bastion.displayName, L"bastion av");
  ASSERT_EQ(bastion.markers.size(), 2u);
  EXPECT_EQ(bastion.markers[0].index, 3);
  EXPECT_EQ(bastion.markers[0].value, L"Bastion_is1");
  EXPECT_EQ(bastion.markers[0].displayName, L"Bastion 2011");
  EXPECT_EQ(bastion.markers[1].index, -1);
  EXPECT_EQ(bastion.markers[1].value, L"BastionFree");
  EXPECT_TRUE(bastion.markers[1].displayName.empty());

  EXPECT_TRUE(entries.at(L"commented").markers.empty());
  // The later of two entries with one name replaces the earlier whole.
  const auto& dup = entries.at(L"dup");
  EXPECT_EQ(dup.displayName, L"second");
  ASSERT_EQ(dup.markers.size(), 2u);
  EXPECT_EQ(dup.markers[0].value, L"two");
}

TEST_F(AntivirusDetectorTest, NamesTheProductAsTheMatchingEntryAndMarkerSay) {
  WriteRules(
      "<KaAntivirus>"
      "  <av name='Written' displayname='Foo AV'>"
      "    <k value='Absent' displayname='Never'/><k value='Plain'/>"
      "    <k value='Shown' displayname='Foo AV 2011 Pro'/></av>"
      "  <av name='Bare'><k value='BareKey'/></av>"
      "  <av name='Literal' displayname='Literal Shield'><k value='LitKey' displayname='Unknown'/>"
      "  </av>"
      "  <av name='Zeta'><k value='LitKey'/></av>"
      "</KaAntivirus>");
  Install(L"Plain");
  Answer answer = Detect();
  EXPECT_EQ(answer.status, kaSoftInstallStatus_installed);
  EXPECT_EQ(answer.name, L"written");
  EXPECT_EQ(answer.displayName, L"foo av");

  ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, UninstallKey(L"Plain").c_str());
  Install(L"Shown");
  EXPECT_EQ(Detect().displayName, L"Foo AV 2011 Pro");

  ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, UninstallKey(L"Shown").c_str());
  Install(L"BareKey");
  answer = Detect();
  EXPECT_EQ(answer.name, L"bare");
  EXPECT_EQ(answer.displayName, L"bare");

  // Entries are tried in ascending order of name: bare before literal.
  Install(L"LitKey", HKEY_CURRENT_USER);
  EXPECT_EQ(Detect().name, L"bare");
  ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, UninstallKey(L"BareKey").c_str());
  answer = Detect();
  EXPECT_EQ(answer.name, L"literal");
  EXPECT_EQ(answer.displayName, L"literal shield");
  EXPECT_EQ(g_centerCalls, 0);
}

TEST_F(AntivirusDetectorTest, NoMatchLeavesTheOutStringsAlone) {
  WriteRules("<KaAntivirus><av name='a'><k value='Missing'/><k/><k value=''/></av></KaAntivirus>");
  // The Uninstall key itself exists: a marker without a value must not match it.
  Install(L"SomethingElse");
  BSTR name = ::SysAllocString(L"before");
  BSTR shown = ::SysAllocString(L"kept");
  const BSTR nameBefore = name;
  kaSoftInstallStatus status = kaSoftInstallStatus_unknown;
  EXPECT_EQ(detector_.Detect(&status, &name, &shown), S_OK);
  EXPECT_EQ(status, kaSoftInstallStatus_noInstall);
  EXPECT_EQ(name, nameBefore);
  EXPECT_EQ(TextToNul(shown), L"kept");
  ::SysFreeString(name);
  ::SysFreeString(shown);

  // Out strings are optional; the status is not.
  Install(L"Missing");
  EXPECT_EQ(detector_.Detect(&status, nullptr, nullptr), S_OK);
  EXPECT_EQ(status, kaSoftInstallStatus_installed);
  EXPECT_EQ(detector_.Detect(nullptr, nullptr, nullptr), E_POINTER);
}

TEST_F(AntivirusDetectorTest, TheSecurityCenterSpeaksOnWindowsXpOnly) {
  WriteRules(
      "<KaAntivirus><av name='rules' displayname='From Rules'><k value='RuleKey'/></av>"
      "</KaAntivirus>");
  Install(L"RuleKey");
  g_centerProduct = L"Center Product";

  for (auto [platform, major, minor] : {std::tuple{2ul, 6ul, 1ul}, std::tuple{2ul, 6ul, 0ul},
                                        std::tuple{2ul, 5ul, 2ul}, std::tuple{1ul, 5ul, 1ul}}) {
    Posed().platform = platform;
    Posed().major = major;
    Posed().minor = minor;
    EXPECT_EQ(Detect().name, L"rules");
  }
  EXPECT_EQ(g_centerCalls, 0);

  Posed().platform = VER_PLATFORM_WIN32_NT;
  Posed().major = 5;
  Posed().minor = 1;
  Answer answer = Detect();
  EXPECT_EQ(answer.status, kaSoftInstallStatus_installed);
  EXPECT_EQ(answer.name, L"Center Product");
  EXPECT_EQ(answer.displayName, L"Center Product");

  // A center that knows no product still answers, and beats the rules.
  g_centerProduct = nullptr;
  answer = Detect();
  EXPECT_EQ(answer.name, L"Unknown");
  EXPECT_EQ(answer.displayName, L"Unknown");

  // A center that cannot be reached leaves the rules to decide.
  g_centerResult = REGDB_E_CLASSNOTREG;
  EXPECT_EQ(Detect().name, L"rules");
  ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, UninstallKey(L"RuleKey").c_str());
  EXPECT_EQ(Detect().status, kaSoftInstallStatus_noInstall);
  EXPECT_EQ(g_centerCalls, 4);
}

TEST_F(AntivirusDetectorTest, OnXpWithoutAWorkingSecurityCenterTheRulesDecide) {
  // Wine has no security center: the real WMI query fails to connect.
  UniqueBstr name;
  EXPECT_TRUE(FAILED(QueryWmiSecurityCenter(name.Receive())));
  EXPECT_FALSE(name);
  EXPECT_EQ(QueryWmiSecurityCenter(nullptr), E_POINTER);

  WriteRules("<KaAntivirus><av name='rules'><k value='RuleKey'/></av></KaAntivirus>");
  Install(L"RuleKey");
  SetSecurityCenterQuery(nullptr);
  Posed().major = 5;
  EXPECT_EQ(Detect().name, L"rules");
}

TEST_F(AntivirusDetectorTest, AFailedLoadIsTriedAgainAndKeepsTheRulesReadBefore) {
  // No file yet: nothing loaded, nothing found.
  EXPECT_EQ(Detect().status, kaSoftInstallStatus_noInstall);
  EXPECT_FALSE(detector_.rulesLoaded());

  WriteRules("<KaAntivirus>  </KaAntivirus>");
  EXPECT_EQ(Detect().status, kaSoftInstallStatus_noInstall);
  EXPECT_FALSE(detector_.rulesLoaded());

  Install(L"OldKey");
  Install(L"NewKey");
  WriteRules("<KaAntivirus><av name='old'><k value='OldKey'/></av></KaAntivirus>");
  EXPECT_EQ(Detect().name, L"old");
  EXPECT_TRUE(detector_.rulesLoaded());

  // Loaded once: a changed file is seen only after a reload.
  WriteRules("<KaAntivirus><av name='new'><k value='NewKey'/></av></KaAntivirus>");
  EXPECT_EQ(Detect().name, L"old");
  EXPECT_EQ(detector_.Reload(), 1);
  EXPECT_EQ(Detect().name, L"new");

  // Files that cannot serve keep the rules in use.
  for (std::string_view bad :
       {"<KaAntivirus/>", "<other><av name='x'><k value='NewKey'/></av></other>",
        "<KaAntivirus><av name='broken'>"}) {
    WriteRules(bad);
    EXPECT_EQ(detector_.Reload(), 0) << bad;
    EXPECT_FALSE(detector_.rulesLoaded());
    EXPECT_EQ(Detect().name, L"new") << bad;
  }
}

// What the host sees: the status manager of a private copy of the DLL asks
// the module's detector, which reads KaData beside that copy.
TEST(AntivirusThroughTheDll, TheStatusManagerAnswersFromTheRulesBesideTheModule) {
  RegistrySandbox sandbox;
  ASSERT_TRUE(sandbox.ok());
  PrivateDllCopy copy;
  ASSERT_TRUE(copy.ok());
  ASSERT_TRUE(copy.WriteData(L"KaAntivirusIdentify.xml",
                             "<?xml version='1.0' encoding='utf-8'?><rules><KaAntivirus>"
                             "<av name='Kestrel' displayname='Kestrel Security'>"
                             "<key index='1' value='KestrelAV' displayname='Kestrel 7'/></av>"
                             "</KaAntivirus></rules>"));
  TessaryDll dll(copy.path());
  ASSERT_TRUE(dll.ok());
  ComPtr<IKaSoftStatusManager> manager;
  ASSERT_EQ(dll.Create(CLSID_KaSoftStatusManager, manager.GetAddressOf()), S_OK);

  kaSoftInstallStatus status = kaSoftInstallStatus_unknown;
  BSTR name = nullptr, shown = nullptr;
  EXPECT_EQ(manager->GetAntivirusInstallStatus(&status, &name, &shown), S_OK);
  EXPECT_EQ(status, kaSoftInstallStatus_noInstall);
  EXPECT_EQ(name, nullptr);
  EXPECT_EQ(shown, nullptr);

  ASSERT_TRUE(AddUninstallEntry(HKEY_CURRENT_USER, L"KestrelAV", {{L"DisplayName", L"K"}}));
  EXPECT_EQ(manager->GetAntivirusInstallStatus(&status, &name, &shown), S_OK);
  EXPECT_EQ(status, kaSoftInstallStatus_installed);
  EXPECT_EQ(TextToNul(name), L"kestrel");
  EXPECT_EQ(TextToNul(shown), L"Kestrel 7");
  ::SysFreeString(name);
  ::SysFreeString(shown);
  EXPECT_EQ(manager->GetAntivirusInstallStatus(&status, nullptr, nullptr), S_OK);
  EXPECT_EQ(manager->GetAntivirusInstallStatus(nullptr, nullptr, nullptr), E_POINTER);
  manager.Reset();
  EXPECT_EQ(dll.CanUnloadNow(), S_OK);
}

TEST_F(AntivirusDetectorTest, ThreadsArrivingTogetherAllWaitForTheRulesAndReloadsNeverTearThem) {
  std::string rules = "<KaAntivirus>";
  for (int i = 0; i < 40; ++i) {
    rules += "<av name='p" + std::to_string(i) + "'><k value='Missing" + std::to_string(i) +
             "'/></av>";
  }
  WriteRules(rules + "<av name='zz' displayname='Last AV'><k value='LastKey'/></av></KaAntivirus>");
  Install(L"LastKey");
  constexpr int kThreads = 8;
  std::atomic<int> waiting = kThreads, wrong = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
      --waiting;
      while (waiting > 0) std::this_thread::yield();
      for (int round = 0; round < 10; ++round) {
        if (t == 0 && round % 2) detector_.Reload();
        kaSoftInstallStatus status = kaSoftInstallStatus_unknown;
        UniqueBstr name;
        detector_.Detect(&status, name.Receive(), nullptr);
        if (status != kaSoftInstallStatus_installed || TextToNul(name.Get()) != L"zz") ++wrong;
      }
      if (SUCCEEDED(com)) ::CoUninitialize();
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong, 0);
}

TEST_F(AntivirusDetectorTest, ADetectionDuringAReloadAnswersFromTheRulesItHas) {
  WriteRules("<KaAntivirus><av name='old'><k value='OldKey'/></av></KaAntivirus>");
  Install(L"OldKey");
  ASSERT_EQ(Detect().name, L"old");
  // A file large enough that its reload outlasts a detection many times over.
  std::string rules = "<KaAntivirus>";
  for (int i = 0; i < 3000; ++i) {
    rules += "<av name='p" + std::to_string(i) + "'><k value='Missing" + std::to_string(i) +
             "'/></av>";
  }
  WriteRules(rules + "<av name='new'><k value='OldKey'/></av></KaAntivirus>");

  std::atomic<bool> reloading = false, reloaded = false;
  std::thread reloader([&] {
    const HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    reloading = true;
    detector_.Reload();
    reloaded = true;
    if (SUCCEEDED(com)) ::CoUninitialize();
  });
  while (!reloading) std::this_thread::yield();
  UniqueHandle answered(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ASSERT_TRUE(answered);
  kaSoftInstallStatus status = kaSoftInstallStatus_unknown;
  bool beforeTheReloadEnded = false;
  std::thread detection([&] {
    const HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    detector_.Detect(&status, nullptr, nullptr);
    beforeTheReloadEnded = !reloaded;
    ::SetEvent(answered.get());
    if (SUCCEEDED(com)) ::CoUninitialize();
  });
  // Bounded: a detection that waits for the reload still ends with it.
  EXPECT_EQ(::WaitForSingleObject(answered.get(), 120000), WAIT_OBJECT_0);
  detection.join();
  reloader.join();
  EXPECT_TRUE(beforeTheReloadEnded);
  EXPECT_EQ(status, kaSoftInstallStatus_installed);
  EXPECT_EQ(Detect().name, L"new");
}

}  // namespace
}  // namespace tessary::testing
