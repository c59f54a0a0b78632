// The start menu through the DLL, on the Windows release Wine reports and in
// the prefix's real Programs folder. The suite runs on the default release
// (6.1, where no start-menu record is ever made) and runs itself again under
// another name that Wine presents as Vista (class 3), where the shortcut is
// found.
#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>
#include <wrl/client.h>

#include <cstdlib>
#include <string>

#include "IdentifyTestSupport.h"
#include "TessaryLib.h"
#include "inventory/WindowsVersion.h"

using Microsoft::WRL::ComPtr;

namespace tessary::testing {
namespace {

constexpr wchar_t kClass3ExeName[] = L"identify_class3_tests.exe";
constexpr wchar_t kExpectClassVariable[] = L"TESSARY_EXPECT_VERSION_CLASS";
constexpr wchar_t kAppDefaultsPath[] = L"Software\\Wine\\AppDefaults\\";

// A folder of our own in the real all-users Programs folder, removed after.
class OwnProgramsFolder {
 public:
  OwnProgramsFolder() {
    wchar_t programs[MAX_PATH] = {};
    if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_COMMON_PROGRAMS, nullptr, SHGFP_TYPE_CURRENT,
                                  programs))) {
      return;
    }
    name_ = L"TessaryTest" + std::to_wstring(::GetCurrentProcessId()) + L"_" +
            std::to_wstring(::GetTickCount());
    path_ = std::wstring(programs) + L"\\" + name_;
    if (!CreateDirectories(path_)) path_.clear();
  }
  ~OwnProgramsFolder() {
    if (!path_.empty()) RemoveTree(path_);
  }
  const std::wstring& name() const { return name_; }
  const std::wstring& path() const { return path_; }

 private:
  std::wstring name_;
  std::wstring path_;
};

TEST(StartMenuEndToEndTest, ShortcutsCountOnlyWhereTheReleaseLooksAtThem) {
  const WindowsVersionClass release = ClassifyWindowsVersion();
  if (const wchar_t* expected = _wgetenv(kExpectClassVariable)) {
    ASSERT_EQ(static_cast<int>(release), _wtoi(expected));
  }
  const bool looks = static_cast<int>(release) >= 0 && static_cast<int>(release) <= 3;

  TempDir files;
  const std::wstring app = files.Join(L"app.exe");
  ASSERT_TRUE(WriteVersionedFile(app, {1, 2, 3, 4}, {1, 2, 3, 4}));
  OwnProgramsFolder folder;
  ASSERT_FALSE(folder.path().empty());
  ASSERT_TRUE(MakeShortcut(folder.path() + L"\\Own App.lnk", app));
  PrivateDll dll;
  ASSERT_TRUE(dll.ok());
  ASSERT_TRUE(dll.WriteRules(L"<vedad><soft name='OwnApp'><start_menu path='" + folder.name() +
                             L"' app_file='App' policy='3' ver_filepath='app.exe'/></soft>"
                             L"</vedad>"));

  ComPtr<IKaCommonSoft> common;
  ASSERT_EQ(dll.dll().Create(CLSID_KaCommonSoft, common.GetAddressOf()), S_OK);
  kaSoftInstallStatus status = kaSoftInstallStatus_unknown;
  BSTR version = nullptr;
  EXPECT_EQ(common->GetSoftVersion(MakeBstr(L"OwnApp").Get(), &status, &version, nullptr), S_OK);
  EXPECT_EQ(status, looks ? kaSoftInstallStatus_installed : kaSoftInstallStatus_noInstall);
  EXPECT_EQ(Take(version), looks ? L"1.2.3.4" : L"<null>");

  ComPtr<IKaInstalledSoft> engine;
  ASSERT_EQ(dll.dll().Create(CLSID_KaInstalledSoft, engine.GetAddressOf()), S_OK);
  EXPECT_EQ(
      engine->GetSoftVersionFromStartMenu(MakeBstr(L"ownapp").Get(), kaSoftVersionPolicy_oppFile,
                                          MakeBstr(L"").Get(), &version),
      looks ? S_OK : static_cast<HRESULT>(0x80070001));
  EXPECT_EQ(Take(version), looks ? L"1.2.3.4" : L"<null>");
}

// Runs the case above in a copy of this executable that Wine presents as
// Vista, through the per-program version setting of the prefix.
TEST(StartMenuEndToEndTest, AlsoOnAVistaClassRelease) {
  if (_wgetenv(kExpectClassVariable)) GTEST_SKIP() << "already the copy";
  // The executable's copy loads the DLL's copy beside it.
  PrivateDllCopy dir;
  ASSERT_TRUE(dir.ok());
  wchar_t self[MAX_PATH] = {};
  ASSERT_GT(::GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
  const std::wstring copy = dir.Join(kClass3ExeName);
  ASSERT_TRUE(::CopyFileW(self, copy.c_str(), FALSE));

  const std::wstring appDefaults = std::wstring(kAppDefaultsPath) + kClass3ExeName;
  ASSERT_TRUE(WriteString(HKEY_CURRENT_USER, appDefaults, L"Version", L"vista"));
  struct KeyRemover {
    std::wstring path;
    ~KeyRemover() { ::RegDeleteTreeW(HKEY_CURRENT_USER, path.c_str()); }
  } remover{appDefaults};

  ASSERT_TRUE(::SetEnvironmentVariableW(kExpectClassVariable, L"3"));
  const std::wstring logPath = dir.Join(L"output.txt");
  const DWORD exitCode =
      RunTestChild(copy, L"StartMenuEndToEndTest.ShortcutsCount*", logPath, 120000);
  ::SetEnvironmentVariableW(kExpectClassVariable, nullptr);
  if (exitCode != 0) {
    std::string output;
    UniqueFileHandle read(::CreateFileW(logPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, 0, nullptr));
    char buffer[4096];
    DWORD got = 0;
    while (read && ::ReadFile(read.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0) {
      output.append(buffer, got);
    }
    ADD_FAILURE() << "the Vista-class run failed:\n" << output;
  }
}

}  // namespace
}  // namespace tessary::testing
