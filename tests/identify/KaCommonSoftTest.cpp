// KaCommonSoft through the DLL's class object: a private copy of the DLL
// reads its own KaData\KaSoftwareVerIdentify.xml; the registry is sandboxed.
#include <windows.h>

#include <gtest/gtest.h>
#include <wrl/client.h>

#include "IdentifyTestSupport.h"
#include "TessaryLib.h"
#include "datafiles/DataFiles.h"

using Microsoft::WRL::ComPtr;

namespace tessary::testing {
namespace {

struct Answer {
  kaSoftInstallStatus status = kaSoftInstallStatus_unknown;
  std::wstring version;
  std::wstring displayName;
  HRESULT hr = E_UNEXPECTED;
};

class KaCommonSoftTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sandbox_.ok());
    ASSERT_TRUE(dll_.ok());
  }

  void Registered(HKEY root, const std::wstring& key, std::wstring_view version,
                  std::wstring_view icon = {}) {
    const std::wstring folder = files_.Join(key);
    CreateDirectories(folder);
    ASSERT_TRUE(AddUninstallEntry(root, key,
                                  {{L"DisplayName", key},
                                   {L"DisplayVersion", version},
                                   {L"UninstallString", L"\"" + folder + L"\\uninst.exe\" /S"},
                                   {L"DisplayIcon", icon}}));
  }
  ComPtr<IKaCommonSoft> Common(std::wstring_view rules) {
    EXPECT_TRUE(dll_.WriteRules(rules));
    ComPtr<IKaCommonSoft> common;
    EXPECT_EQ(dll_.dll().Create(CLSID_KaCommonSoft, common.GetAddressOf()), S_OK);
    return common;
  }
  static Answer Ask(IKaCommonSoft* common, const wchar_t* name) {
    Answer answer;
    BSTR version = reinterpret_cast<BSTR>(1);
    BSTR displayName = reinterpret_cast<BSTR>(1);
    answer.hr =
        common->GetSoftVersion(MakeBstr(name).Get(), &answer.status, &version, &displayName);
    answer.version = Take(version);
    answer.displayName = Take(displayName);
    return answer;
  }
  static kaSoftInstallStatus Status(IKaCommonSoft* common, const wchar_t* name) {
    kaSoftInstallStatus status = kaSoftInstallStatus_unknown;
    EXPECT_EQ(common->QuerySoftInstallStatus(MakeBstr(name).Get(), &status), S_OK);
    return status;
  }

  RegistrySandbox sandbox_;
  TempDir files_;
  PrivateDll dll_;
};

TEST_F(KaCommonSoftTest, NamesOutsideTheRulesHaveNoIdentifyInfo) {
  auto common = Common(L"<vedad><soft name='FooPlayer'><regkey>foo</regkey></soft></vedad>");
  ASSERT_TRUE(common);
  const Answer answer = Ask(common.Get(), L"Unknown");
  EXPECT_EQ(answer.hr, S_OK);
  EXPECT_EQ(answer.status, kaSoftInstallStatus_noIdentifyInfo);
  EXPECT_EQ(answer.version, L"<null>");
  EXPECT_EQ(answer.displayName, L"<null>");
  EXPECT_EQ(Status(common.Get(), L"Unknown"), kaSoftInstallStatus_noIdentifyInfo);
  kaSoftInstallStatus status = kaSoftInstallStatus_unknown;
  EXPECT_EQ(common->QuerySoftInstallStatusWithVersion(MakeBstr(L"Unknown").Get(),
                                                      MakeBstr(L"1").Get(), &status, nullptr),
            S_OK);
  EXPECT_EQ(status, kaSoftInstallStatus_noIdentifyInfo);
  BSTR text = nullptr;
  EXPECT_EQ(common->GetUninstallString(MakeBstr(L"Unknown").Get(), MakeBstr(L"").Get(), &text),
            E_FAIL);
  // A missing out string is the engine's to refuse: a name it never reaches fails as unknown.
  EXPECT_EQ(common->GetUninstallString(MakeBstr(L"Unknown").Get(), MakeBstr(L"").Get(), nullptr),
            E_FAIL);
  EXPECT_EQ(common->GetUninstallString(MakeBstr(L"FooPlayer").Get(), MakeBstr(L"").Get(), nullptr),
            E_POINTER);
  EXPECT_EQ(common->GetStartupExeString(MakeBstr(L"Unknown").Get(), &text), E_FAIL);
  EXPECT_EQ(common->RefreshOneInstalledInfo(MakeBstr(L"Unknown").Get()), E_FAIL);
  // Letter case does not matter; the known name is simply not installed.
  EXPECT_EQ(Status(common.Get(), L"FOOPLAYER"), kaSoftInstallStatus_noInstall);
  EXPECT_EQ(Ask(common.Get(), L"fooplayer").status, kaSoftInstallStatus_noInstall);
}

TEST_F(KaCommonSoftTest, NewestVersionWinsWithItsRulesDisplayName) {
  Registered(HKEY_LOCAL_MACHINE, L"KeyA", L"1.2");
  Registered(HKEY_CURRENT_USER, L"KeyB", L"1.10");
  Registered(HKEY_LOCAL_MACHINE, L"KeyC", L"");
  auto common = Common(
      L"<vedad>"
      L"<soft name='Ab'><regkey displayname='A' policy='0'>KeyA</regkey>"
      L"<regkey displayname='B' policy='0'>KeyB</regkey></soft>"
      L"<soft name='Ba'><regkey displayname='B' policy='0'>KeyB</regkey>"
      L"<regkey displayname='A' policy='0'>KeyA</regkey>"
      L"<regkey displayname='C' policy='0'>KeyC</regkey>"
      L"<regkey displayname='Gone' policy='0'>KeyGone</regkey></soft>"
      L"<soft name='Empty'><regkey displayname='E1' policy='0'>KeyC</regkey>"
      L"<regkey displayname='E2' policy='0'>KeyC</regkey></soft>"
      L"</vedad>");
  ASSERT_TRUE(common);
  for (const wchar_t* name : {L"Ab", L"Ba"}) {
    const Answer answer = Ask(common.Get(), name);
    EXPECT_EQ(answer.status, kaSoftInstallStatus_installed) << name;
    EXPECT_EQ(answer.version, L"1.10") << name;
    EXPECT_EQ(answer.displayName, L"B") << name;
  }
  // No version anywhere: the last registered rule names it.
  const Answer empty = Ask(common.Get(), L"Empty");
  EXPECT_EQ(empty.status, kaSoftInstallStatus_installed);
  EXPECT_EQ(empty.version, L"<null>");
  EXPECT_EQ(empty.displayName, L"E2");
}

TEST_F(KaCommonSoftTest, ExplanationWalksEveryRuleAndLeavesTheOutcomeAlone) {
  Registered(HKEY_LOCAL_MACHINE, L"KeyA", L"1.2");
  Registered(HKEY_CURRENT_USER, L"KeyB", L"1.10");
  auto common = Common(
      L"<vedad><soft name='Ab'><regkey displayname='Gone' policy='0'>KeyGone</regkey>"
      L"<regkey displayname='A' policy='0'>KeyA</regkey>"
      L"<regkey displayname='B' policy='3' ver_filepath='b&amp;.exe'>KeyB</regkey>"
      L"<start_menu path='Ab' app_file='ab' policy='4' ver_filepath='ab.exe'/></soft></vedad>");
  ASSERT_TRUE(common);
  ComPtr<IKaIdentifyExplain> explain;
  ASSERT_EQ(common.As(&explain), S_OK);
  BSTR text = nullptr;
  ASSERT_EQ(explain->ExplainIdentification(MakeBstr(L"AB").Get(), &text), S_OK);
  const std::wstring xml = Take(text);
  // In order: the missing key, the key that wins, the key whose file is
  // missing (its version is empty, so it does not win); the start menu is
  // not asked. Attribute text is escaped.
  const wchar_t* expected[] = {
      // One element, split over two lines: the concatenation is meant.
      (L"<explanation name=\"ab\" status=\"installed\" version=\"1.2\" displayName=\"A\" "
       L"winner=\"regkey KeyA\">"),
      L"<regkey key=\"KeyGone\" policy=\"reg\" displayName=\"Gone\"><record found=\"no\"/>",
      L"<regkey key=\"KeyA\"",
      L"source=\"machine",
      L"<version policy=\"reg\" from=\"DisplayVersion value\" value=\"1.2\"/>",
      L"path=\"b&amp;.exe\"",
      L"source=\"user\"",
      L"read=\"now\" result=\"file missing (0x80070002)\" value=\"(none)\"/>",
      L"<decision text=\"not newer than 1.2: the earlier rule's stays\"/>",
      L"<startmenu skipped=\"a registered key was found\"/></explanation>"};
  size_t at = 0;
  for (const wchar_t* part : expected) {
    const size_t found = xml.find(part, at);
    ASSERT_NE(found, std::wstring::npos) << part << "\n in " << xml;
    at = found;
  }
  // Explaining identifies nothing: the name is still to be identified.
  ASSERT_EQ(explain->ExplainIdentification(MakeBstr(L"Unknown").Get(), &text), S_OK);
  EXPECT_NE(Take(text).find(L"status=\"noIdentifyInfo\""), std::wstring::npos);
  EXPECT_EQ(explain->ExplainIdentification(nullptr, &text), E_POINTER);
  BSTR startup = nullptr;
  EXPECT_EQ(common->GetStartupExeString(MakeBstr(L"Ab").Get(), &startup), E_FAIL);  // not identified yet
}

TEST_F(KaCommonSoftTest, ExplanationChangesNoLaterAnswerAndParsesWhateverTheRegistryHolds) {
  // Two names share a key: one reads a file's version, the other asks for none.
  Registered(HKEY_LOCAL_MACHINE, L"Shared", L"1.0");
  ASSERT_TRUE(WriteVersionedFile(files_.Join(L"Shared\\app.exe"), {4, 0, 0, 0}, {4, 0, 0, 0}));
  // Code units XML has no place for: lone surrogates both ways, U+FFFE, U+FFFF.
  Registered(HKEY_LOCAL_MACHINE, L"Odd", std::wstring(L"1\xD800.\xDC00x\xFFFE\xFFFF\xD83D\xDE00"));
  const wchar_t* rules =
      L"<vedad><soft name='Reader'><regkey policy='3' ver_filepath='app.exe'>Shared</regkey></soft>"
      L"<soft name='Plain'><regkey policy='5' ver_filepath='app.exe'>Shared</regkey></soft>"
      L"<soft name='Odd'><regkey policy='0'>Odd</regkey></soft></vedad>";
  const Answer unexplained = Ask(Common(rules).Get(), L"Plain");
  auto common = Common(rules);
  ASSERT_TRUE(common);
  ComPtr<IKaIdentifyExplain> explain;
  ASSERT_EQ(common.As(&explain), S_OK);
  BSTR text = nullptr;
  ASSERT_EQ(explain->ExplainIdentification(MakeBstr(L"Reader").Get(), &text), S_OK);
  EXPECT_NE(Take(text).find(L"value=\"4.0.0.0\""), std::wstring::npos);
  const Answer plain = Ask(common.Get(), L"Plain");
  EXPECT_EQ(plain.version, unexplained.version);
  EXPECT_EQ(plain.status, unexplained.status);

  ASSERT_EQ(explain->ExplainIdentification(MakeBstr(L"Odd").Get(), &text), S_OK);
  const std::wstring xml = Take(text);
  EXPECT_NE(LoadXmlText(xml), nullptr) << xml;
  // A surrogate pair is a character like any other and stays.
  EXPECT_NE(xml.find(L"displayVersion=\"1?.?x??\xD83D\xDE00\""), std::wstring::npos) << xml;

  // A null name is refused after the out string is cleared.
  text = reinterpret_cast<BSTR>(1);
  EXPECT_EQ(explain->ExplainIdentification(nullptr, &text), E_POINTER);
  EXPECT_EQ(text, nullptr);
}

TEST_F(KaCommonSoftTest, RegisteredKeyWithoutPolicyIsInstalledWithoutVersion) {
  Registered(HKEY_LOCAL_MACHINE, L"Plain", L"3.0");
  auto common = Common(
      L"<vedad><soft name='Plain'><regkey displayname='Plain Program'>PLAIN</regkey></soft>"
      L"</vedad>");
  ASSERT_TRUE(common);
  const Answer answer = Ask(common.Get(), L"plain");
  EXPECT_EQ(answer.hr, S_OK);
  EXPECT_EQ(answer.status, kaSoftInstallStatus_installed);
  EXPECT_EQ(answer.version, L"<null>");
  EXPECT_EQ(answer.displayName, L"Plain Program");
}

TEST_F(KaCommonSoftTest, AlternativePathsAreTriedWhileNoVersionIsFound) {
  Registered(HKEY_LOCAL_MACHINE, L"Alt", L"1.0");
  ASSERT_TRUE(CreateDirectories(files_.Join(L"Alt\\bin")));
  ASSERT_TRUE(WriteVersionedFile(files_.Join(L"Alt\\bin\\real.exe"), {1, 0, 0, 0}, {2, 3, 0, 0}));
  auto common = Common(
      L"<vedad><soft name='Alt'><regkey displayname='Alt' policy='4' ver_filepath='main.exe'"
      L" ver_filepath1='gone.exe,bin/real.exe,later.exe'>Alt</regkey></soft></vedad>");
  ASSERT_TRUE(common);
  const Answer answer = Ask(common.Get(), L"Alt");
  EXPECT_EQ(answer.status, kaSoftInstallStatus_installed);
  EXPECT_EQ(answer.version, L"2.3.0.0");
}

TEST_F(KaCommonSoftTest, OutcomesAreKeptUntilARefresh) {
  Registered(HKEY_LOCAL_MACHINE, L"Kept", L"1.0");
  auto common = Common(
      L"<vedad><soft name='Late'><regkey policy='0'>LateKey</regkey></soft>"
      L"<soft name='Kept'><regkey policy='0'>Kept</regkey></soft></vedad>");
  ASSERT_TRUE(common);
  EXPECT_EQ(Status(common.Get(), L"Late"), kaSoftInstallStatus_noInstall);
  EXPECT_EQ(Ask(common.Get(), L"Kept").version, L"1.0");
  Registered(HKEY_LOCAL_MACHINE, L"LateKey", L"2.0");
  ASSERT_TRUE(WriteString(HKEY_LOCAL_MACHINE, std::wstring(kUninstallPath) + L"Kept",
                          L"DisplayVersion", L"1.5"));
  EXPECT_EQ(Status(common.Get(), L"Late"), kaSoftInstallStatus_noInstall);

  // One entry forgets; the rebuilt engine answers it; the other keeps its
  // outcome.
  EXPECT_EQ(common->RefreshOneInstalledInfo(MakeBstr(L"LATE").Get()), S_OK);
  EXPECT_EQ(Ask(common.Get(), L"Late").version, L"2.0");
  EXPECT_EQ(Ask(common.Get(), L"Kept").version, L"1.0");
  EXPECT_EQ(common->RefreshInstalledInfo(), S_OK);
  EXPECT_EQ(Ask(common.Get(), L"Kept").version, L"1.5");
}

TEST_F(KaCommonSoftTest, RefreshIdentifyInfoReloadsOnlyAnAcceptedFile) {
  Registered(HKEY_LOCAL_MACHINE, L"Known", L"1.0");
  auto common = Common(L"<vedad><soft name='Known'><regkey policy='0'>Known</regkey></soft>"
                       L"</vedad>");
  ASSERT_TRUE(common);
  EXPECT_EQ(Ask(common.Get(), L"Known").version, L"1.0");
  ASSERT_TRUE(WriteString(HKEY_LOCAL_MACHINE, std::wstring(kUninstallPath) + L"Known",
                          L"DisplayVersion", L"2.0"));
  ASSERT_TRUE(dll_.WriteRules(L"<vedad result='1'><soft name='New'><regkey>k</regkey></soft>"
                              L"</vedad>"));
  EXPECT_EQ(common->RefreshIdentifyInfo(), S_OK);
  EXPECT_EQ(Ask(common.Get(), L"New").status, kaSoftInstallStatus_noIdentifyInfo);
  EXPECT_EQ(Ask(common.Get(), L"Known").version, L"1.0");

  // An accepted file starts every entry afresh; the engine itself was not
  // rebuilt, so it still knows the version it saw.
  ASSERT_TRUE(dll_.WriteRules(L"<vedad><soft name='Known'><regkey policy='0'>Known</regkey>"
                              L"</soft><soft name='New'><regkey>k</regkey></soft></vedad>"));
  EXPECT_EQ(common->RefreshIdentifyInfo(), S_OK);
  EXPECT_EQ(Ask(common.Get(), L"New").status, kaSoftInstallStatus_noInstall);
  EXPECT_EQ(Ask(common.Get(), L"Known").version, L"1.0");
  ::DeleteFileW((dll_.folder() + L"\\KaData\\KaSoftwareVerIdentify.xml").c_str());
  EXPECT_EQ(common->RefreshIdentifyInfo(), S_OK);
  EXPECT_EQ(Ask(common.Get(), L"Known").status, kaSoftInstallStatus_installed);
}

TEST_F(KaCommonSoftTest, StartupExeOnlyForAProgramIdentifiedAsInstalled) {
  const std::wstring app = files_.Join(L"App.exe");
  ASSERT_TRUE(WriteVersionedFile(app, {1, 0, 0, 0}, {1, 0, 0, 0}));
  Registered(HKEY_LOCAL_MACHINE, L"NoApp", L"1.0");
  Registered(HKEY_LOCAL_MACHINE, L"WithApp", L"1.0", app + L",0");
  auto common = Common(L"<vedad><soft name='App'><regkey>NoKey</regkey><regkey>NoApp</regkey>"
                       L"<regkey>WithApp</regkey></soft>"
                       L"<soft name='Bare'><regkey>NoApp</regkey></soft></vedad>");
  ASSERT_TRUE(common);
  BSTR path = reinterpret_cast<BSTR>(1);
  EXPECT_EQ(common->GetStartupExeString(MakeBstr(L"App").Get(), &path), E_FAIL);
  EXPECT_EQ(path, nullptr);
  EXPECT_EQ(Status(common.Get(), L"App"), kaSoftInstallStatus_installed);
  EXPECT_EQ(common->GetStartupExeString(MakeBstr(L"App").Get(), &path), S_OK);
  EXPECT_EQ(Take(path), app);
  EXPECT_EQ(Status(common.Get(), L"Bare"), kaSoftInstallStatus_installed);
  EXPECT_EQ(common->GetStartupExeString(MakeBstr(L"Bare").Get(), &path), E_FAIL);
  EXPECT_EQ(common->GetStartupExeString(MakeBstr(L"App").Get(), nullptr), E_POINTER);
}

TEST_F(KaCommonSoftTest, VersionQueriesAskTheEngineEachTime) {
  Registered(HKEY_LOCAL_MACHINE, L"Old", L"1.0");
  Registered(HKEY_LOCAL_MACHINE, L"New", L"2.0");
  auto common = Common(
      L"<vedad><soft name='Prog'><regkey displayname='Old Prog' policy='0'>Old</regkey>"
      L"<regkey displayname='New Prog' policy='0'>New</regkey></soft>"
      L"<soft name='StartOnly'><start_menu path='x' app_file='x'/></soft></vedad>");
  ASSERT_TRUE(common);
  kaSoftInstallStatus status = kaSoftInstallStatus_unknown;
  BSTR displayName = reinterpret_cast<BSTR>(1);
  EXPECT_EQ(common->QuerySoftInstallStatusWithVersion(
                MakeBstr(L"prog").Get(), MakeBstr(L" 1.0 ").Get(), &status, &displayName),
            S_OK);
  EXPECT_EQ(status, kaSoftInstallStatus_installed);
  // Never identified: no display name yet.
  EXPECT_EQ(displayName, nullptr);
  EXPECT_EQ(Ask(common.Get(), L"Prog").displayName, L"New Prog");
  EXPECT_EQ(common->QuerySoftInstallStatusWithVersion(
                MakeBstr(L"prog").Get(), MakeBstr(L"1.0").Get(), &status, &displayName),
            S_OK);
  EXPECT_EQ(Take(displayName), L"New Prog");
  EXPECT_EQ(common->QuerySoftInstallStatusWithVersion(
                MakeBstr(L"prog").Get(), MakeBstr(L"3.0").Get(), &status, &displayName),
            S_OK);
  EXPECT_EQ(status, kaSoftInstallStatus_noInstall);
  EXPECT_EQ(displayName, nullptr);
  // Without registry-key rules nothing can match.
  status = kaSoftInstallStatus_unknown;
  EXPECT_EQ(common->QuerySoftInstallStatusWithVersion(MakeBstr(L"StartOnly").Get(),
                                                      MakeBstr(L"1.0").Get(), &status, nullptr),
            S_OK);
  EXPECT_EQ(status, kaSoftInstallStatus_noInstall);

  BSTR uninstall = nullptr;
  EXPECT_EQ(common->GetUninstallString(MakeBstr(L"Prog").Get(), MakeBstr(L"2.0").Get(), &uninstall),
            S_OK);
  EXPECT_EQ(Take(uninstall), L"\"" + files_.Join(L"New") + L"\\uninst.exe\" /S");
  EXPECT_EQ(common->GetUninstallString(MakeBstr(L"Prog").Get(), MakeBstr(L"9.0").Get(), &uninstall),
            E_FAIL);
  EXPECT_EQ(uninstall, nullptr);
  EXPECT_EQ(
      common->GetUninstallString(MakeBstr(L"StartOnly").Get(), MakeBstr(L"1.0").Get(), &uninstall),
      E_FAIL);
  EXPECT_EQ(common->GetUninstallString(MakeBstr(L"Prog").Get(), nullptr, &uninstall), E_POINTER);
}

TEST_F(KaCommonSoftTest, MissingRulesFileLeavesEveryNameUnknown) {
  Registered(HKEY_LOCAL_MACHINE, L"Any", L"1.0");
  ComPtr<IKaCommonSoft> common;
  ASSERT_EQ(dll_.dll().Create(CLSID_KaCommonSoft, common.GetAddressOf()), S_OK);
  EXPECT_EQ(Status(common.Get(), L"Any"), kaSoftInstallStatus_noIdentifyInfo);
  EXPECT_EQ(Status(common.Get(), L""), kaSoftInstallStatus_noIdentifyInfo);
  EXPECT_EQ(common->RefreshInstalledInfo(), S_OK);
}

TEST_F(KaCommonSoftTest, RefusesMissingArguments) {
  auto common = Common(L"<vedad><soft name='x'><regkey>x</regkey></soft></vedad>");
  ASSERT_TRUE(common);
  kaSoftInstallStatus status;
  EXPECT_EQ(common->QuerySoftInstallStatus(nullptr, &status), E_POINTER);
  // The optional display name is cleared even when the call is refused.
  BSTR displayName = reinterpret_cast<BSTR>(1);
  EXPECT_EQ(common->QuerySoftInstallStatusWithVersion(nullptr, MakeBstr(L"1").Get(), &status,
                                                      &displayName),
            E_POINTER);
  EXPECT_EQ(displayName, nullptr);
  EXPECT_EQ(common->GetSoftVersion(MakeBstr(L"x").Get(), nullptr, nullptr, nullptr), E_POINTER);
  // The version and display name are optional.
  EXPECT_EQ(common->GetSoftVersion(MakeBstr(L"X").Get(), &status, nullptr, nullptr), S_OK);
  EXPECT_EQ(status, kaSoftInstallStatus_noInstall);
  // An absent name is the empty name.
  EXPECT_EQ(common->RefreshOneInstalledInfo(nullptr), E_FAIL);
}

}  // namespace
}  // namespace tessary::testing
