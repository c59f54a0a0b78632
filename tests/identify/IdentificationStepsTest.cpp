// The identification decision read from its steps: an engine built in this
// process over one sandboxed world, and a table of names, each with the
// outcome and a summary of the steps that led to it.
#include <windows.h>

#include <gtest/gtest.h>
#include <wrl/client.h>

#include <string>
#include <vector>

#include "IdentifyTestSupport.h"
#include "TessaryLib.h"
#include "datafiles/DataFiles.h"
#include "identify/Identification.h"
#include "identify/IdentifyExplanation.h"
#include "identify/IdentificationRules.h"
#include "identify/KaInstalledSoft.h"
#include "com/ComObject.h"

using Microsoft::WRL::ComPtr;

namespace tessary::testing {
namespace {

const wchar_t* VerdictName(Verdict verdict) {
  switch (verdict) {
    case Verdict::kNone:
      return L"none";
    case Verdict::kNoEntry:
      return L"noEntry";
    case Verdict::kFirstVersion:
      return L"first";
    case Verdict::kRegisteredNoVersion:
      return L"noVersion";
    case Verdict::kNewer:
      return L"newer";
    case Verdict::kNotNewer:
      return L"notNewer";
    case Verdict::kNoVersionPath:
      return L"noPath";
    case Verdict::kSkipped:
      return L"skipped";
  }
  return L"?";
}

// "key0 r1 path=value*" per step, "*" marking a version the record held
// already, "!" a read the engine refused, "> v" a read's verdict and "=> v"
// the step's.
std::wstring Summary(const Identification& identification) {
  std::wstring out;
  for (const RuleStep& step : identification.steps) {
    if (!out.empty()) out += L" | ";
    out += step.kind == RuleKind::kRegKey ? L"key" : L"menu";
    if (step.verdict == Verdict::kSkipped) {
      out += L" skipped";
      continue;
    }
    out += std::to_wstring(step.index) + L" r" + std::to_wstring(step.records.size());
    for (const VersionRead& read : step.reads) {
      out += read.alternative ? L" alt " : L" ";
      out += std::wstring(read.path) + L"=" + (FAILED(read.hr) ? L"!" : read.value);
      if (read.cached && read.policy != kaSoftVersionPolicy_reg) out += L"*";
      if (read.verdict != Verdict::kNone) out += std::wstring(L" > ") + VerdictName(read.verdict);
    }
    if (step.verdict != Verdict::kNone) {
      out += std::wstring(L" => ") + VerdictName(step.verdict);
      if (!step.compared.empty()) out += L" " + step.compared;
    }
  }
  return out;
}

std::wstring WinnerName(const Identification& identification) {
  if (!identification.winner) return L"-";
  return (identification.winner->kind == RuleKind::kRegKey ? L"key" : L"menu") +
         std::to_wstring(identification.winner->index);
}

constexpr wchar_t kRules[] =
    L"<vedad>"
    L"<soft name='Keys'><regkey displayname='Gone'>KeyGone</regkey>"
    L"<regkey displayname='A' policy='0'>KeyA</regkey>"
    L"<regkey displayname='B' policy='0'>KeyB</regkey>"
    L"<regkey displayname='Old' policy='0'>KeyA</regkey>"
    L"<start_menu path='App' app_file='App' policy='3' ver_filepath='app.exe'/></soft>"
    L"<soft name='Policies'><regkey displayname='File' policy='3' ver_filepath='app.exe'>Shared"
    L"</regkey><regkey displayname='Again' policy='3' ver_filepath='app.exe'>Shared</regkey>"
    L"<regkey displayname='Value' policy='0'>Shared</regkey>"
    L"<regkey displayname='None' policy='5'>Shared</regkey></soft>"
    L"<soft name='Alt'><regkey displayname='Alt' policy='4' ver_filepath='main.exe'"
    L" ver_filepath1='gone.exe,bin\\real.exe,later.exe'>Alt</regkey></soft>"
    L"<soft name='Menu'><regkey>KeyGone</regkey>"
    L"<start_menu path='App' app_file='App' policy='3' ver_filepath='app.exe,tool.exe'/>"
    L"<start_menu path='App' app_file='App' policy='4' ver_filepath='missing.exe,tool.exe'/>"
    L"<start_menu path='App' app_file='App' policy='0' ver_filepath='app.exe'/>"
    L"<start_menu path='App' app_file='App' policy='3'/></soft>"
    L"<soft name='Dup'><start_menu path='First' app_file='Dup' policy='3'/></soft>"
    L"<soft name='Dup'>"
    L"<start_menu path='Second' app_file='Dup' policy='3' ver_filepath='only.exe'/>"
    L"<start_menu path='Second' app_file='Dup' policy='3' ver_filepath='both.exe'/></soft>"
    L"<soft name='Nothing'><regkey>KeyGone</regkey>"
    L"<start_menu path='Nowhere' app_file='Gone' policy='3' ver_filepath='x.exe'/></soft>"
    L"<soft name='Long'>"
    L"<regkey displayname='First' policy='0'>LongA</regkey>"
    L"<regkey displayname='Newer' policy='0'>LongB</regkey>"
    L"<regkey displayname='Older' policy='0'>LongC</regkey>"
    L"<regkey displayname='File' policy='3' ver_filepath='long.exe'>LongD</regkey></soft>"
    L"<soft name='LongMenu'><regkey>KeyGone</regkey>"
    L"<start_menu path='LongApp' app_file='LongApp' policy='3' ver_filepath='long.exe'/>"
    L"<start_menu path='LongApp' app_file='LongApp' policy='3' ver_filepath='longer.exe'/>"
    L"</soft>"
    L"</vedad>";

class IdentificationStepsTest : public StartMenuWorld {
 protected:
  void SetUp() override {
    StartMenuWorld::SetUp();
    if (HasFatalFailure()) return;
    Registered(L"KeyA", L"1.2");
    Registered(L"KeyB", L"1.10");
    Registered(L"Shared", L"1.0");
    ASSERT_TRUE(WriteVersionedFile(dir_.Join(L"Shared\\app.exe"), {4, 0, 0, 0}, {4, 0, 0, 0}));
    Registered(L"Alt", L"1.0");
    ASSERT_TRUE(CreateDirectories(dir_.Join(L"Alt\\bin")));
    ASSERT_TRUE(WriteVersionedFile(dir_.Join(L"Alt\\bin\\real.exe"), {1, 0, 0, 0}, {2, 3, 0, 0}));
    ASSERT_TRUE(CreateDirectories(dir_.Join(L"Prog")));
    ASSERT_TRUE(WriteVersionedFile(dir_.Join(L"Prog\\app.exe"), {1, 0, 0, 0}, {1, 0, 0, 0}));
    ASSERT_TRUE(WriteVersionedFile(dir_.Join(L"Prog\\tool.exe"), {2, 0, 0, 0}, {2, 5, 0, 0}));
    ASSERT_TRUE(CreateDirectories(dir_.Join(L"Common\\App")));
    ASSERT_TRUE(MakeShortcut(dir_.Join(L"Common\\App\\App.lnk"), dir_.Join(L"Prog\\app.exe")));
    // Two start-menu records of one name, each beside its own program.
    for (const wchar_t* group : {L"First", L"Second"}) {
      const std::wstring folder = dir_.Join(L"Prog") + group;
      ASSERT_TRUE(CreateDirectories(folder));
      ASSERT_TRUE(WriteVersionedFile(folder + L"\\dup.exe", {1, 0, 0, 0}, {1, 0, 0, 0}));
      const std::wstring links = dir_.Join(L"Common\\") + group;
      ASSERT_TRUE(CreateDirectories(links));
      ASSERT_TRUE(MakeShortcut(links + L"\\Dup.lnk", folder + L"\\dup.exe"));
    }
    ASSERT_TRUE(WriteVersionedFile(dir_.Join(L"ProgSecond\\only.exe"), {1, 0, 0, 0}, {1, 0, 0, 0}));
    ASSERT_TRUE(WriteVersionedFile(dir_.Join(L"ProgFirst\\both.exe"), {3, 0, 0, 0}, {3, 0, 0, 0}));
    ASSERT_TRUE(WriteVersionedFile(dir_.Join(L"ProgSecond\\both.exe"), {3, 0, 0, 0}, {3, 0, 0, 0}));
    // Versions longer than a short string holds, for the explanation.
    ASSERT_TRUE(CreateDirectories(dir_.Join(L"ProgLong")));
    ASSERT_TRUE(WriteVersionedFile(dir_.Join(L"ProgLong\\long.exe"), {10, 0, 19041, 1},
                                   {10, 0, 19041, 1}));
    ASSERT_TRUE(WriteVersionedFile(dir_.Join(L"ProgLong\\longer.exe"), {10, 0, 19041, 2000},
                                   {10, 0, 19041, 2000}));
    ASSERT_TRUE(CreateDirectories(dir_.Join(L"Common\\LongApp")));
    ASSERT_TRUE(MakeShortcut(dir_.Join(L"Common\\LongApp\\LongApp.lnk"),
                             dir_.Join(L"ProgLong\\long.exe")));
    ASSERT_TRUE(WriteRules(dir_.path(), kRules));
    ASSERT_TRUE(rules_.Load(LoadXmlText(kRules).Get()));
    ASSERT_EQ(MakeComObject(engine_), S_OK);
  }

  void Registered(const std::wstring& key, std::wstring_view version) {
    const std::wstring folder = dir_.Join(key);
    ASSERT_TRUE(CreateDirectories(folder));
    ASSERT_TRUE(AddUninstallEntry(HKEY_LOCAL_MACHINE, key,
                                  {{L"DisplayVersion", version},
                                   {L"UninstallString", L"\"" + folder + L"\\uninst.exe\" /S"}}));
  }

  IdentificationRuleTable rules_;
  ComPtr<KaInstalledSoft> engine_;
};

TEST_F(IdentificationStepsTest, StepsTellHowEachOutcomeWasReached) {
  struct Case {
    const wchar_t* name;
    kaSoftInstallStatus status;
    const wchar_t* version;
    const wchar_t* displayName;
    const wchar_t* winner;
    const wchar_t* steps;
  };
  const Case cases[] = {
      // A missing key decides nothing; the newest registered version wins
      // with its rule's name, and the start menu is not asked.
      {L"keys", kaSoftInstallStatus_installed, L"1.10", L"B", L"key2",
       L"key0 r0 =! => noEntry | key1 r1 =1.2 => first | key2 r1 =1.10 => newer 1.2"
       L" | key3 r1 =1.2 => notNewer 1.10 | menu skipped"},
      // One key under several policies: the file read once, then taken from
      // the record; the DisplayVersion is older; policy none reads nothing.
      {L"policies", kaSoftInstallStatus_installed, L"4.0.0.0", L"File", L"key0",
       L"key0 r1 app.exe=4.0.0.0 => first | key1 r1 app.exe=4.0.0.0* => notNewer 4.0.0.0"
       L" | key2 r1 =1.0 => notNewer 4.0.0.0 | key3 r1 = => notNewer 4.0.0.0"},
      // Alternatives are tried only until one gives a version.
      {L"alt", kaSoftInstallStatus_installed, L"2.3.0.0", L"Alt", L"key0",
       L"key0 r1 main.exe= alt gone.exe= alt bin\\real.exe=2.3.0.0 => first"},
      // No key: each location's paths until the first version, later
      // locations only when newer; a policy that reads no file and a
      // location without paths find nothing.
      {L"menu", kaSoftInstallStatus_installed, L"2.5.0.0", L"", L"menu1",
       L"key0 r0 =! => noEntry | menu0 r1 app.exe=1.0.0.0 > first"
       L" | menu1 r1 missing.exe=! tool.exe=2.5.0.0 > newer | menu2 r1 app.exe=!"
       L" | menu3 r1 => noPath"},
      // Every record of the name is asked, in order, until one answers.
      {L"dup", kaSoftInstallStatus_installed, L"3.0.0.0", L"", L"menu1",
       L"menu0 r2 only.exe=1.0.0.0 > first | menu1 r2 both.exe=3.0.0.0 > newer"},
      {L"nothing", kaSoftInstallStatus_noInstall, L"", L"", L"-",
       L"key0 r0 =! => noEntry | menu0 r0 x.exe=!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const SoftwareRule* rule = rules_.Find(c.name);
    ASSERT_NE(rule, nullptr);
    const Identification withSteps = Identify(*rule, *engine_.Get(), StepDetail::kSteps);
    EXPECT_EQ(withSteps.status, c.status);
    EXPECT_EQ(withSteps.version, c.version);
    EXPECT_EQ(withSteps.displayName, c.displayName);
    EXPECT_EQ(WinnerName(withSteps), c.winner);
    EXPECT_EQ(Summary(withSteps), c.steps);
    // Without steps the outcome is the same, and nothing is written down.
    const Identification plain = Identify(*rule, *engine_.Get());
    EXPECT_TRUE(plain.steps.empty());
    EXPECT_EQ(plain.status, withSteps.status);
    EXPECT_EQ(plain.version, withSteps.version);
    EXPECT_EQ(plain.displayName, withSteps.displayName);
  }
}

TEST_F(IdentificationStepsTest, AStartMenuReadNamesTheFileOfTheRecordThatAnswered) {
  const SoftwareRule* rule = rules_.Find(L"dup");
  ASSERT_NE(rule, nullptr);
  // The second record answered the first read; the first record answers the
  // second, while the second still holds the file it read before.
  const Identification identification = Identify(*rule, *engine_.Get(), StepDetail::kSteps);
  ASSERT_EQ(identification.steps.size(), 2u);
  ASSERT_EQ(identification.steps[1].reads.size(), 1u);
  EXPECT_EQ(identification.steps[0].reads[0].file, dir_.Join(L"ProgSecond\\only.exe"));
  EXPECT_EQ(identification.steps[1].reads[0].file, dir_.Join(L"ProgFirst\\both.exe"));
  ASSERT_EQ(identification.steps[1].records.size(), 2u);
  EXPECT_EQ(identification.steps[1].records[1]->versionResult, S_OK);
  EXPECT_EQ(identification.steps[1].records[1]->versionFile, dir_.Join(L"ProgSecond\\only.exe"));
}

// Versions longer than a short string holds, in every explanation line that
// renders a read value: a line built from a copy that died would show freed
// memory (U+FEEE on the checked heap) instead.
TEST_F(IdentificationStepsTest, ExplanationLinesShowLongVersionsWhole) {
  Registered(L"LongA", L"10.0.19041.1");
  Registered(L"LongB", L"10.0.19041.1000");
  Registered(L"LongC", L"9.8.7.6.5.4.3.2.1");
  Registered(L"LongD", L"1");
  ASSERT_TRUE(WriteVersionedFile(dir_.Join(L"LongD\\long.exe"), {10, 0, 19041, 1},
                                 {10, 0, 19041, 1}));
  // An engine that sees the entries made here.
  ComPtr<KaInstalledSoft> engine;
  ASSERT_EQ(MakeComObject(engine), S_OK);

  const struct {
    const wchar_t* name;
    std::vector<std::wstring> lines;
  } cases[] = {
      {L"long",
       {L"value=\"10.0.19041.1\"", L"text=\"first version found: 10.0.19041.1\"",
        L"value=\"10.0.19041.1000\"",
        L"text=\"newer than 10.0.19041.1: this rule's version wins\"",
        L"value=\"9.8.7.6.5.4.3.2.1\"",
        L"text=\"not newer than 10.0.19041.1000: the earlier rule's stays\"",
        L"path=\"long.exe\" policy=\"oppFile\""}},
      {L"longmenu",
       {L"value=\"10.0.19041.1\"", L"text=\"first version found: 10.0.19041.1\"",
        L"value=\"10.0.19041.2000\"", L"text=\"newer: this version wins\""}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const SoftwareRule* rule = rules_.Find(c.name);
    ASSERT_NE(rule, nullptr);
    const Identification identification = Identify(*rule, *engine.Get(), StepDetail::kSteps);
    const std::wstring text = RenderExplanation(*rule, identification);
    for (const std::wstring& line : c.lines) {
      EXPECT_NE(text.find(line), std::wstring::npos) << "no " << Utf8(line) << " in\n"
                                                     << Utf8(text);
    }
    EXPECT_EQ(text.find(L'\xFEEE'), std::wstring::npos) << Utf8(text);
  }
}

}  // namespace
}  // namespace tessary::testing
