// Start-menu resolution and the executable paths derived from Uninstall
// entries. The engine is built in this process, so the Programs folders and
// the Windows release come through the seams.
#include <windows.h>
#include <shlwapi.h>

#include <gtest/gtest.h>
#include <wrl/client.h>

#include "IdentifyTestSupport.h"
#include "TessaryLib.h"
#include "identify/InstalledSoftRecord.h"
#include "identify/KaCommonSoft.h"
#include "identify/KaInstalledSoft.h"
#include "identify/StartMenu.h"
#include "identify/UninstallPaths.h"

using Microsoft::WRL::ComPtr;

namespace tessary::testing {
namespace {

TEST(DerivedPathsTest, UninstallerPathDropsQuotesAndArguments) {
  EXPECT_EQ(DeriveUninstallerPath(L"\"C:\\Prog\\unins000.exe\" /SILENT"),
            L"C:\\Prog\\unins000.exe");
  EXPECT_EQ(DeriveUninstallerPath(L"  C:\\Prog\\un.exe /x  \" "), L"C:\\Prog\\un.exe");
  EXPECT_EQ(DeriveUninstallerPath(L"MsiExec.exe /X{1234}"), L"MsiExec.exe");
  EXPECT_EQ(DeriveUninstallerPath(L"C:\\Prog\\UN.EXE /x"), L"C:\\Prog\\UN.EXE /x");
  EXPECT_EQ(DeriveUninstallerPath(L""), L"");
}

TEST(DerivedPathsTest, ExePathFromUninstallStringIsLoweredAndUnquoted) {
  EXPECT_EQ(ExePathFromUninstallString(L"\"C:\\Prog\\Uninst.EXE\" /S"), L"c:\\prog\\uninst.exe");
  EXPECT_EQ(ExePathFromUninstallString(L"  C:\\Prog\\Setup.exe -remove  "),
            L"c:\\prog\\setup.exe");
  // Leading r, e and m letters go, whatever word they belong to.
  EXPECT_EQ(ExePathFromUninstallString(L"rem \"c:\\a.exe\""), L"c:\\a.exe");
  EXPECT_EQ(ExePathFromUninstallString(L"x \"c:\\b.exe\" /u"), L"c:\\b.exe");
  EXPECT_EQ(ExePathFromUninstallString(L"\"C:\\Tool\\do it\" now"), L"c:\\tool\\do it\" now");
  // ...but never a drive letter.
  EXPECT_EQ(ExePathFromUninstallString(L"\"E:\\Prog\\un.exe\" /S"), L"e:\\prog\\un.exe");
  EXPECT_EQ(ExePathFromUninstallString(L"M:\\un.exe"), L"m:\\un.exe");
  EXPECT_EQ(ExePathFromUninstallString(L"rem r:\\un.exe"), L"r:\\un.exe");
}

class ApplicationPathTest : public ::testing::Test {
 protected:
  InstalledProgramRecord Program(std::wstring_view icon, std::wstring_view uninstall,
                                 std::wstring_view image) {
    InstalledProgramRecord program = {};
    wcsncpy(program.displayIcon, std::wstring(icon).c_str(), 258);
    wcsncpy(program.uninstallString, std::wstring(uninstall).c_str(), 258);
    wcsncpy(program.arpImagePath, std::wstring(image).c_str(), 259);
    return program;
  }
  TempDir dir_;
};

TEST_F(ApplicationPathTest, DisplayIconNamingAnExistingExeWins) {
  const std::wstring app = dir_.Join(L"App.exe");
  ASSERT_TRUE(WriteFileBytes(app, "MZ"));
  EXPECT_EQ(DeriveApplicationPath(Program(app + L",0", L"", L"C:\\Other\\x.exe")), app);
  // ".EXE" is not ".exe": the image path answers, lower-cased.
  std::wstring upper = app;
  upper.replace(upper.size() - 4, 4, L".EXE");
  EXPECT_EQ(DeriveApplicationPath(Program(upper + L",0", L"", L"C:\\Other\\X.exe")),
            L"c:\\other\\x.exe");
  // A missing icon file falls back too.
  EXPECT_EQ(DeriveApplicationPath(Program(dir_.Join(L"gone.exe,1"), L"", L"C:\\Y.exe")),
            L"c:\\y.exe");
}

TEST_F(ApplicationPathTest, ImagePathThatIsTheUninstallerIsNoApplication) {
  EXPECT_EQ(DeriveApplicationPath(Program(L"", L"\"C:\\Prog\\Uninst.exe\" /S",
                                          L"C:\\PROG\\UNINST.EXE")),
            L"");
  EXPECT_EQ(DeriveApplicationPath(Program(L"", L"\"E:\\Prog\\Uninst.exe\" /S",
                                          L"E:\\Prog\\Uninst.exe")),
            L"");
  EXPECT_EQ(DeriveApplicationPath(Program(L"", L"", L"")), L"");
  EXPECT_EQ(DeriveApplicationPath(Program(L"", L"C:\\Prog\\Uninst.exe", L"C:\\Prog\\App.exe")),
            L"c:\\prog\\app.exe");
}

// An engine in a start-menu world of its own.
class StartMenuTest : public StartMenuWorld {
 protected:
  std::wstring Common(std::wstring_view sub = {}) const { return Under(L"Common", sub); }
  std::wstring User(std::wstring_view sub = {}) const { return Under(L"User", sub); }
  std::wstring Under(std::wstring_view root, std::wstring_view sub) const {
    std::wstring path = dir_.Join(root);
    if (!sub.empty()) path += L"\\" + std::wstring(sub);
    return path;
  }
  // A shortcut `folder`\`name` to `target`, its folder made as needed.
  void Link(const std::wstring& folder, std::wstring_view name, const std::wstring& target) {
    ASSERT_TRUE(CreateDirectories(folder));
    ASSERT_TRUE(MakeShortcut(folder + L"\\" + std::wstring(name), target));
  }
  ComPtr<IKaInstalledSoft> Engine(std::wstring_view rules) {
    EXPECT_TRUE(WriteRules(dir_.path(), rules));
    ComPtr<IKaInstalledSoft> engine;
    EXPECT_EQ(CreateKaInstalledSoft(nullptr, IID_IKaInstalledSoft,
                                    reinterpret_cast<void**>(engine.GetAddressOf())),
              S_OK);
    return engine;
  }
  static std::wstring VersionFromStartMenu(IKaInstalledSoft* engine, const wchar_t* name,
                                           kaSoftVersionPolicy policy, const wchar_t* path,
                                           HRESULT* hr) {
    BSTR version = nullptr;
    *hr = engine->GetSoftVersionFromStartMenu(MakeBstr(name).Get(), policy, MakeBstr(path).Get(),
                                              &version);
    return Take(version);
  }
  static std::wstring StartupExe(IKaInstalledSoft* engine, const wchar_t* key) {
    BSTR path = nullptr;
    engine->GetStartupExeString(MakeBstr(key).Get(), &path);
    return Take(path);
  }
  std::wstring App(std::wstring_view relative, Quad file = {1, 2, 3, 4},
                   Quad product = {5, 6, 7, 8}) {
    const std::wstring path = dir_.Join(L"Prog\\" + std::wstring(relative));
    const std::wstring folder = path.substr(0, path.rfind(L'\\'));
    EXPECT_TRUE(CreateDirectories(folder));
    EXPECT_TRUE(WriteVersionedFile(path, file, product));
    return path;
  }

};

TEST_F(StartMenuTest, ResolvedRuleAnswersUnderTheFilePolicies) {
  const std::wstring player = App(L"player.exe", {1, 0, 0, 7}, {2, 0, 0, 0});
  const std::wstring tool = App(L"tool.exe", {3, 1, 0, 0}, {3, 2, 0, 0});
  const std::wstring uninst = App(L"bin\\uninst.exe", {9, 9, 9, 9}, {9, 9, 9, 9});
  Link(Common(L"Example Player"), L"Example Player.lnk", player);
  Link(Common(L"Example Player"), L"Uninstall.lnk", uninst);
  auto engine = Engine(
      L"<vedad><soft name='ExamplePlayer'><start_menu path='Example Player' app_file='Player'"
      L" uninstall_file='Uninstall' policy='3'/></soft></vedad>");
  ASSERT_TRUE(engine);

  HRESULT hr = E_UNEXPECTED;
  EXPECT_EQ(VersionFromStartMenu(engine.Get(), L"EXAMPLEPLAYER", kaSoftVersionPolicy_oppFile,
                                 nullptr, &hr),
            L"1.0.0.7");
  EXPECT_EQ(hr, S_OK);
  EXPECT_EQ(VersionFromStartMenu(engine.Get(), L"ExamplePlayer", kaSoftVersionPolicy_oppProduct,
                                 L"", &hr),
            L"2.0.0.0");
  // The relative path is taken beside the application, ".." resolved.
  EXPECT_EQ(VersionFromStartMenu(engine.Get(), L"ExamplePlayer", kaSoftVersionPolicy_oppFile,
                                 L"bin\\..\\tool.exe", &hr),
            L"3.1.0.0");
  // Beside the uninstaller when the application has no such file.
  EXPECT_EQ(VersionFromStartMenu(engine.Get(), L"ExamplePlayer", kaSoftVersionPolicy_oppFile,
                                 L"uninst.exe", &hr),
            L"9.9.9.9");
  EXPECT_EQ(VersionFromStartMenu(engine.Get(), L"ExamplePlayer", kaSoftVersionPolicy_oppFile,
                                 L"missing.exe", &hr),
            L"<null>");
  EXPECT_EQ(hr, E_FAIL);
  EXPECT_EQ(VersionFromStartMenu(engine.Get(), L"ExamplePlayer", kaSoftVersionPolicy_reg, nullptr,
                                 &hr),
            L"<null>");
  EXPECT_EQ(hr, E_INVALIDARG);
  EXPECT_EQ(VersionFromStartMenu(engine.Get(), L"Unknown", kaSoftVersionPolicy_reg, nullptr, &hr),
            L"<null>");
  EXPECT_EQ(hr, static_cast<HRESULT>(0x80070001));

  // The record lives under the name and "_startmenu", beside registry keys.
  EXPECT_EQ(StartupExe(engine.Get(), L"exampleplayer_STARTMENU"), player);
  kaSoftInstallStatus status = kaSoftInstallStatus_unknown;
  EXPECT_EQ(engine->QueryInstallStatus(MakeBstr(L"ExamplePlayer_StartMenu").Get(), &status), S_OK);
  EXPECT_EQ(status, kaSoftInstallStatus_installed);
  EXPECT_EQ(engine->QueryInstallStatus(MakeBstr(L"ExamplePlayer").Get(), &status), S_OK);
  EXPECT_EQ(status, kaSoftInstallStatus_noInstall);
}

TEST_F(StartMenuTest, AppAndUninstallShortcutsBothMatchingTheAppName) {
  const std::wstring app = App(L"app.exe");
  const std::wstring uninst = App(L"uninst.exe");
  Link(Common(L"App"), L"App.lnk", app);
  Link(Common(L"App"), L"App Uninstall.lnk", uninst);
  auto engine = Engine(
      L"<vedad><soft name='App'><start_menu path='App' app_file='App'"
      L" uninstall_file='Uninstall'/></soft></vedad>");
  ASSERT_TRUE(engine);
  // Both names contain "App": the one listed last is the application.
  std::wstring last;
  WIN32_FIND_DATAW data;
  HANDLE find = ::FindFirstFileW((Common(L"App") + L"\\*.*").c_str(), &data);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  do {
    if (data.cFileName[0] != L'.') last = data.cFileName;
  } while (::FindNextFileW(find, &data));
  ::FindClose(find);
  EXPECT_EQ(StartupExe(engine.Get(), L"app_startmenu"), last == L"App.lnk" ? app : uninst);
  HRESULT hr = E_UNEXPECTED;
  // The uninstaller is App Uninstall.lnk's target whatever the order.
  EXPECT_EQ(VersionFromStartMenu(engine.Get(), L"app", kaSoftVersionPolicy_oppFile,
                                 L"uninst.exe", &hr),
            L"1.2.3.4");
}

TEST_F(StartMenuTest, VerFilePathReplacesTheTargetsFileName) {
  const std::wstring launcher = App(L"launcher.exe");
  const std::wstring real = App(L"bin\\app.exe", {4, 0, 0, 0}, {4, 0, 0, 0});
  Link(Common(L"A"), L"A.lnk", launcher);
  Link(Common(L"B"), L"B.lnk", launcher);
  Link(Common(L"C"), L"C.lnk", real);
  auto engine = Engine(
      L"<vedad>"
      L"<soft name='a'><start_menu path='A' app_file='A' ver_filepath='none.exe,bin\\app.exe'/>"
      L"</soft>"
      L"<soft name='b'><start_menu path='B' app_file='B' ver_filepath='bin\\missing.exe'/></soft>"
      L"<soft name='c'><start_menu path='C' app_file='C' ver_filepath='bin\\app.exe'/></soft>"
      L"</vedad>");
  ASSERT_TRUE(engine);
  EXPECT_EQ(StartupExe(engine.Get(), L"a_startmenu"), real);
  // No entry names an existing file and no uninstaller: no record at all.
  kaSoftInstallStatus status = kaSoftInstallStatus_unknown;
  EXPECT_EQ(engine->QueryInstallStatus(MakeBstr(L"b_startmenu").Get(), &status), S_OK);
  EXPECT_EQ(status, kaSoftInstallStatus_noInstall);
  // A target that already contains the entry is taken as it is.
  EXPECT_EQ(StartupExe(engine.Get(), L"c_startmenu"), real);
}

TEST_F(StartMenuTest, AllUsersFolderFirstThenTheUsersThenTheNextLocation) {
  const std::wstring common = App(L"common.exe");
  const std::wstring user = App(L"mine.exe");
  const std::wstring top = App(L"top.exe");
  Link(Common(L"Both"), L"Tool.lnk", common);
  Link(User(L"Both"), L"Tool.lnk", user);
  Link(User(L"Mine"), L"Tool.lnk", user);
  Link(Common(), L"Top Tool.lnk", top);
  auto engine = Engine(
      L"<vedad>"
      L"<soft name='both'><start_menu path='Both' app_file='Tool'/></soft>"
      L"<soft name='mine'><start_menu path='Nowhere' app_file='Tool'/>"
      L"<start_menu path='Mine' app_file='Tool'/></soft>"
      L"<soft name='top'><start_menu path='' app_file='Top'/></soft>"
      L"<soft name='none'><start_menu path='Mine' app_file=''/></soft>"
      L"</vedad>");
  ASSERT_TRUE(engine);
  EXPECT_EQ(StartupExe(engine.Get(), L"both_startmenu"), common);
  EXPECT_EQ(StartupExe(engine.Get(), L"mine_startmenu"), user);
  EXPECT_EQ(StartupExe(engine.Get(), L"top_startmenu"), top);
  // An empty app_file matches nothing.
  EXPECT_EQ(StartupExe(engine.Get(), L"none_startmenu"), L"<null>");
}

TEST_F(StartMenuTest, OnlyWindows2000ToVistaLooksAtTheStartMenu) {
  const std::wstring app = App(L"app.exe");
  Link(Common(L"App"), L"App.lnk", app);
  const wchar_t rules[] = L"<vedad><soft name='App'><start_menu path='App' app_file='App'/>"
                          L"</soft></vedad>";
  const struct {
    DWORD major, minor;
    bool found;
  } releases[] = {{5, 0, true}, {5, 1, true}, {5, 2, true}, {6, 0, true}, {6, 2, true},
                  {6, 1, false}, {5, 3, false}, {10, 0, false}, {4, 0, false}};
  for (const auto& release : releases) {
    const ScopedOsVersion version(release.major, release.minor);
    auto engine = Engine(rules);
    ASSERT_TRUE(engine);
    kaSoftInstallStatus status = kaSoftInstallStatus_unknown;
    EXPECT_EQ(engine->QueryInstallStatus(MakeBstr(L"app_startmenu").Get(), &status), S_OK);
    EXPECT_EQ(status, release.found ? kaSoftInstallStatus_installed
                                    : kaSoftInstallStatus_noInstall)
        << release.major << "." << release.minor;
  }
}

TEST_F(StartMenuTest, WithoutTheAllUsersFolderNoLocationIsTried) {
  const std::wstring app = App(L"app.exe");
  Link(User(L"App"), L"App.lnk", app);
  const ScopedProgramsFolders noCommon(L"", User());
  auto engine = Engine(L"<vedad><soft name='App'><start_menu path='App' app_file='App'/>"
                       L"</soft></vedad>");
  ASSERT_TRUE(engine);
  EXPECT_EQ(StartupExe(engine.Get(), L"app_startmenu"), L"<null>");
}

TEST_F(StartMenuTest, RegistryKeyAndStartMenuRecordShareOneKey) {
  const std::wstring app = App(L"abc.exe", {7, 0, 0, 0}, {7, 0, 0, 0});
  Link(Common(L"Abc"), L"Abc.lnk", app);
  ASSERT_TRUE(AddUninstallEntry(HKEY_LOCAL_MACHINE, L"abc_startmenu",
                                {{L"DisplayVersion", L"1.5"}}));
  auto engine = Engine(L"<vedad><soft name='ABC'><start_menu path='Abc' app_file='Abc'/>"
                       L"</soft></vedad>");
  ASSERT_TRUE(engine);
  BSTR version = nullptr;
  EXPECT_EQ(engine->GetSoftVersion(MakeBstr(L"abc_startmenu").Get(), kaSoftVersionPolicy_reg,
                                   nullptr, &version),
            static_cast<HRESULT>(0x00070000));
  EXPECT_EQ(Take(version), L"1.5");
  // The registry record has no application; the start-menu one answers.
  EXPECT_EQ(StartupExe(engine.Get(), L"abc_startmenu"), app);
  HRESULT hr = E_UNEXPECTED;
  EXPECT_EQ(VersionFromStartMenu(engine.Get(), L"abc", kaSoftVersionPolicy_oppFile, nullptr, &hr),
            L"7.0.0.0");
  EXPECT_EQ(hr, S_OK);
}

TEST_F(StartMenuTest, RescanFindsShortcutsAddedSinceTheLastBuild) {
  auto engine = Engine(L"<vedad><soft name='Late'><start_menu path='Late' app_file='Late'/>"
                       L"</soft></vedad>");
  ASSERT_TRUE(engine);
  EXPECT_EQ(StartupExe(engine.Get(), L"late_startmenu"), L"<null>");
  const std::wstring app = App(L"late.exe");
  Link(Common(L"Late"), L"Late.lnk", app);
  EXPECT_EQ(engine->ReBuildInstalledVerInfo(), S_OK);
  EXPECT_EQ(StartupExe(engine.Get(), L"late_startmenu"), app);
}

TEST_F(StartMenuTest, ProgramsFolderFoundOnceIsKeptAcrossBuilds) {
  const std::wstring app = App(L"app.exe");
  Link(Common(L"App"), L"App.lnk", app);
  ASSERT_TRUE(CreateDirectories(dir_.Join(L"Moved")));
  const ScopedProgramsFolders unavailable(L"", User());
  auto engine = Engine(L"<vedad><soft name='App'><start_menu path='App' app_file='App'/>"
                       L"</soft></vedad>");
  ASSERT_TRUE(engine);
  EXPECT_EQ(StartupExe(engine.Get(), L"app_startmenu"), L"<null>");
  // A failed fetch is tried again at the next build...
  const ScopedProgramsFolders available(Common(), User());
  EXPECT_EQ(engine->ReBuildInstalledVerInfo(), S_OK);
  EXPECT_EQ(StartupExe(engine.Get(), L"app_startmenu"), app);
  // ...and a fetched one is never asked for again.
  const ScopedProgramsFolders moved(dir_.Join(L"Moved"), User());
  EXPECT_EQ(engine->ReBuildInstalledVerInfo(), S_OK);
  EXPECT_EQ(StartupExe(engine.Get(), L"app_startmenu"), app);
}

TEST_F(StartMenuTest, CommonSoftFallsBackToTheStartMenuUnderTheFilePoliciesOnly) {
  const std::wstring app = App(L"app.exe", {1, 0, 0, 0}, {1, 0, 0, 0});
  App(L"tool.exe", {2, 0, 0, 0}, {2, 5, 0, 0});
  Link(Common(L"App"), L"App.lnk", app);
  ASSERT_TRUE(AddUninstallEntry(HKEY_LOCAL_MACHINE, L"RegKey", {{L"DisplayVersion", L"9.0"}}));
  ASSERT_TRUE(WriteRules(
      dir_.path(),
      L"<vedad>"
      L"<soft name='Menu'>"
      L"<start_menu path='App' app_file='App' policy='3' ver_filepath='app.exe,tool.exe'/>"
      L"<start_menu path='App' app_file='App' policy='4' ver_filepath='missing.exe,tool.exe'/>"
      L"</soft>"
      L"<soft name='Five'><start_menu path='App' app_file='App' ver_filepath=''/></soft>"
      L"<soft name='Pathless'><start_menu path='App' app_file='App' policy='3'/></soft>"
      L"<soft name='Registered'><regkey displayname='Reg'>RegKey</regkey>"
      L"<start_menu path='App' app_file='App' policy='3' ver_filepath='app.exe'/></soft>"
      L"</vedad>"));
  ComPtr<IKaCommonSoft> common;
  ASSERT_EQ(CreateKaCommonSoft(nullptr, IID_IKaCommonSoft,
                               reinterpret_cast<void**>(common.GetAddressOf())),
            S_OK);
  const auto ask = [&](const wchar_t* name, std::wstring* version, std::wstring* displayName) {
    kaSoftInstallStatus status = kaSoftInstallStatus_unknown;
    BSTR v = nullptr;
    BSTR d = nullptr;
    EXPECT_EQ(common->GetSoftVersion(MakeBstr(name).Get(), &status, &v, &d), S_OK);
    *version = Take(v);
    *displayName = Take(d);
    return status;
  };
  std::wstring version;
  std::wstring displayName;
  // The first location's first version stands until a later location has
  // a newer one; the start menu never names the program.
  EXPECT_EQ(ask(L"menu", &version, &displayName), kaSoftInstallStatus_installed);
  EXPECT_EQ(version, L"2.5.0.0");
  EXPECT_EQ(displayName, L"<null>");
  // Shortcuts alone do not make a program installed under policy none, nor
  // under a location without version paths.
  EXPECT_EQ(ask(L"Five", &version, &displayName), kaSoftInstallStatus_noInstall);
  EXPECT_EQ(ask(L"Pathless", &version, &displayName), kaSoftInstallStatus_noInstall);
  // A registered key settles it: the start menu is not consulted.
  EXPECT_EQ(ask(L"Registered", &version, &displayName), kaSoftInstallStatus_installed);
  EXPECT_EQ(version, L"<null>");
  EXPECT_EQ(displayName, L"Reg");
}

TEST_F(StartMenuTest, AMissingSourceIsNotLookedUpInTheCurrentDirectory) {
  const std::wstring uninst = App(L"uninst.exe");
  Link(Common(L"U"), L"Remove U.lnk", uninst);
  const std::wstring cwd = dir_.Join(L"Current");
  ASSERT_TRUE(CreateDirectories(cwd));
  ASSERT_TRUE(WriteVersionedFile(cwd + L"\\tool.exe", {2, 0, 0, 0}, {2, 0, 0, 0}));
  auto engine = Engine(L"<vedad><soft name='u'><start_menu path='U' app_file='App'"
                       L" uninstall_file='Remove'/></soft></vedad>");
  ASSERT_TRUE(engine);
  wchar_t previous[MAX_PATH] = {};
  ::GetCurrentDirectoryW(MAX_PATH, previous);
  ASSERT_TRUE(::SetCurrentDirectoryW(cwd.c_str()));
  HRESULT hr = S_OK;
  const std::wstring version =
      VersionFromStartMenu(engine.Get(), L"u", kaSoftVersionPolicy_oppFile, L"tool.exe", &hr);
  ::SetCurrentDirectoryW(previous);
  // The record has an uninstaller but no application.
  EXPECT_EQ(version, L"<null>");
  EXPECT_EQ(hr, E_FAIL);
}

// Paths longer than a path buffer are skipped, never cut into other paths.
TEST_F(StartMenuTest, ReplacementThatWouldNotFitIsNotCutIntoAnotherFile) {
  // A folder whose shortcut target just fits, beside a file a.exe, so that
  // "a.exe\..." put in place of the file name, cut to the buffer, would
  // name a.exe.
  std::wstring folder = dir_.Join(L"Long");
  while (folder.size() < 200) folder += L"\\" + std::wstring(10, L'd');
  folder += L"\\" + std::wstring(MAX_PATH - 7 - folder.size() - 1, L'e');
  // Folders this deep are made through the long-path form.
  for (size_t pos = dir_.path().size(); pos != std::wstring::npos;
       pos = folder.find(L'\\', pos + 1)) {
    ::CreateDirectoryW((L"\\\\?\\" + folder.substr(0, pos)).c_str(), nullptr);
  }
  ASSERT_TRUE(::CreateDirectoryW((L"\\\\?\\" + folder).c_str(), nullptr));
  const std::wstring cutTarget = folder + L"\\a.exe";  // 259 characters
  ASSERT_EQ(cutTarget.size(), static_cast<size_t>(MAX_PATH - 1));
  ASSERT_TRUE(WriteVersionedFile(L"\\\\?\\" + cutTarget, {1, 0, 0, 0}, {1, 0, 0, 0}));
  ASSERT_TRUE(::PathFileExistsW(cutTarget.c_str()));
  Link(Common(L"Long"), L"Long.lnk", folder + L"\\l.exe");
  auto engine = Engine(
      L"<vedad><soft name='long'><start_menu path='Long' app_file='Long'"
      L" ver_filepath='a.exe\\tool.exe'/></soft></vedad>");
  ASSERT_TRUE(engine);
  EXPECT_EQ(StartupExe(engine.Get(), L"long_startmenu"), L"<null>");
  RemoveTree(L"\\\\?\\" + dir_.Join(L"Long"));
}

}  // namespace
}  // namespace tessary::testing
