// KaInstalledSoft through the DLL's class object, over a sandboxed registry
// and real files.
#include <windows.h>
#include <shlwapi.h>

#include <gtest/gtest.h>
#include <wrl/client.h>

#include <iterator>
#include <map>
#include <string>
#include <utility>

#include "IdentifyTestSupport.h"
#include "TessaryLib.h"

using Microsoft::WRL::ComPtr;

namespace tessary::testing {
namespace {

constexpr HRESULT kComputed = static_cast<HRESULT>(0x00070000);
constexpr HRESULT kNoRecord = static_cast<HRESULT>(0x80070001);
constexpr HRESULT kFileMissing = static_cast<HRESULT>(0x80070002);
constexpr HRESULT kUnreadable = static_cast<HRESULT>(0x80070005);

class KaInstalledSoftTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sandbox_.ok());
    ASSERT_TRUE(dll_.ok());
  }

  // A program installed in its own folder under the test's folder, with its
  // uninstaller there; every entry gets a display name of its own so the
  // inventory keeps it.
  std::wstring Folder(std::wstring_view name) const {
    const std::wstring folder = files_.Join(name);
    CreateDirectories(folder);
    return folder;
  }
  void Program(HKEY root, const std::wstring& key, std::wstring_view displayVersion,
               const std::wstring& folder, std::wstring_view icon = {}) {
    const std::wstring uninstall = L"\"" + folder + L"\\uninst.exe\" /S";
    ASSERT_TRUE(AddUninstallEntry(root, key,
                                  {{L"DisplayName", key + L" " + std::wstring(displayVersion)},
                                   {L"DisplayVersion", displayVersion},
                                   {L"UninstallString", uninstall},
                                   {L"DisplayIcon", icon}}));
  }
  ComPtr<IKaInstalledSoft> Engine() {
    ComPtr<IKaInstalledSoft> engine;
    EXPECT_EQ(dll_.dll().Create(CLSID_KaInstalledSoft, engine.GetAddressOf()), S_OK);
    return engine;
  }
  static std::wstring Version(IKaInstalledSoft* engine, const wchar_t* key, int policy,
                              const wchar_t* path = nullptr, HRESULT* hr = nullptr) {
    BSTR version = nullptr;
    const HRESULT result =
        engine->GetSoftVersion(MakeBstr(key).Get(), static_cast<kaSoftVersionPolicy>(policy),
                               MakeBstr(path).Get(), &version);
    if (hr) *hr = result;
    return Take(version);
  }
  static kaSoftInstallStatus StatusWith(IKaInstalledSoft* engine, const wchar_t* key, int policy,
                                        const wchar_t* version) {
    kaSoftInstallStatus status = kaSoftInstallStatus_unknown;
    EXPECT_EQ(engine->QueryInstallStatusWithVersion(
                  MakeBstr(key).Get(), static_cast<kaSoftVersionPolicy>(policy),
                  MakeBstr(L"app.exe").Get(), MakeBstr(version).Get(), &status),
              S_OK);
    return status;
  }

  RegistrySandbox sandbox_;
  TempDir files_;
  PrivateDll dll_;
};

TEST_F(KaInstalledSoftTest, KeyUnderBothHivesHasTwoRecords) {
  const std::wstring machine = Folder(L"Machine");
  const std::wstring user = Folder(L"User");
  ASSERT_TRUE(WriteVersionedFile(machine + L"\\app.exe", {1, 0, 0, 0}, {1, 0, 0, 0}));
  Program(HKEY_LOCAL_MACHINE, L"Twin", L"1.0", machine);
  Program(HKEY_CURRENT_USER, L"twin", L"2.0", user);
  auto engine = Engine();
  ASSERT_TRUE(engine);

  // Either record's version matches; blanks around the asked one are ignored.
  EXPECT_EQ(StatusWith(engine.Get(), L"TWIN", kaSoftVersionPolicy_reg, L" 2.0\t"),
            kaSoftInstallStatus_installed);
  EXPECT_EQ(StatusWith(engine.Get(), L"twin", kaSoftVersionPolicy_reg, L"1.0"),
            kaSoftInstallStatus_installed);
  EXPECT_EQ(StatusWith(engine.Get(), L"twin", kaSoftVersionPolicy_reg, L"1.00"),
            kaSoftInstallStatus_noInstall);
  EXPECT_EQ(StatusWith(engine.Get(), L"other", kaSoftVersionPolicy_reg, L""),
            kaSoftInstallStatus_noInstall);

  // Only the first record (HKLM's) reports a version.
  EXPECT_EQ(Version(engine.Get(), L"Twin", kaSoftVersionPolicy_reg), L"1.0");

  // Every record is computed; the last one's result is returned.
  EXPECT_EQ(engine->SetSoftVersion(MakeBstr(L"twin").Get(), kaSoftVersionPolicy_oppFile,
                                   MakeBstr(L"app.exe").Get()),
            kFileMissing);
  EXPECT_EQ(Version(engine.Get(), L"twin", kaSoftVersionPolicy_oppFile), L"1.0.0.0");
  ASSERT_TRUE(WriteVersionedFile(user + L"\\app.exe", {2, 0, 0, 0}, {2, 0, 0, 0}));
  EXPECT_EQ(engine->SetSoftVersion(MakeBstr(L"twin").Get(), kaSoftVersionPolicy_oppFile,
                                   MakeBstr(L"app.exe").Get()),
            kComputed);
  EXPECT_EQ(engine->SetSoftVersion(MakeBstr(L"nobody").Get(), kaSoftVersionPolicy_oppFile, nullptr),
            kNoRecord);

  // The uninstall string of the first record whose version matches.
  BSTR uninstall = nullptr;
  EXPECT_EQ(
      engine->QueryUninstallStringWithVersion(MakeBstr(L"Twin").Get(), kaSoftVersionPolicy_reg,
                                              nullptr, MakeBstr(L"2.0").Get(), &uninstall),
      S_OK);
  EXPECT_EQ(Take(uninstall), L"\"" + user + L"\\uninst.exe\" /S");
  EXPECT_EQ(
      engine->QueryUninstallStringWithVersion(MakeBstr(L"Twin").Get(), kaSoftVersionPolicy_reg,
                                              nullptr, MakeBstr(L"3.0").Get(), &uninstall),
      E_FAIL);
  EXPECT_EQ(uninstall, nullptr);
  EXPECT_EQ(
      engine->QueryUninstallStringWithVersion(MakeBstr(L"nobody").Get(), kaSoftVersionPolicy_reg,
                                              nullptr, MakeBstr(L"").Get(), &uninstall),
      E_FAIL);
}

TEST_F(KaInstalledSoftTest, InstalledListIsTheLastBuildsSnapshot) {
  Program(HKEY_LOCAL_MACHINE, L"Alpha", L"1.0", Folder(L"Alpha"), L"alpha.ico");
  Program(HKEY_CURRENT_USER, L"Beta", L"2.0", Folder(L"Beta"));
  auto engine = Engine();
  ASSERT_TRUE(engine);
  ComPtr<IKaInstalledPrograms> list;
  ASSERT_EQ(engine.As(&list), S_OK);
  LONG count = 0;
  ASSERT_EQ(list->get_Count(&count), S_OK);
  ASSERT_EQ(count, 2);
  ComPtr<IKaInstalledProgram> alpha;
  ASSERT_EQ(list->get_Item(0, &alpha), S_OK);
  BSTR text = nullptr;
  kaUninstallSource source = kaUninstallSource_user;
  EXPECT_EQ(alpha->get_Source(&source), S_OK);
  EXPECT_EQ(source, sizeof(void*) == 8 ? kaUninstallSource_machine64 : kaUninstallSource_machine32);
  alpha->get_DisplayIcon(&text);
  EXPECT_EQ(Take(text), L"alpha.ico");
  ComPtr<IKaInstalledProgram> none;
  EXPECT_EQ(list->get_Item(2, &none), E_INVALIDARG);
  EXPECT_EQ(none, nullptr);

  // Script hosts walk it through _NewEnum; what was handed out outlives a
  // rebuild unchanged.
  ComPtr<IUnknown> unknown;
  ASSERT_EQ(list->_NewEnum(&unknown), S_OK);
  ComPtr<IEnumVARIANT> walk;
  ASSERT_EQ(unknown.As(&walk), S_OK);
  Program(HKEY_LOCAL_MACHINE, L"Gamma", L"3.0", Folder(L"Gamma"));
  ASSERT_EQ(engine->ReBuildInstalledVerInfo(), S_OK);
  EXPECT_EQ(list->get_Count(&count), S_OK);
  EXPECT_EQ(count, 3);
  VARIANT items[3] = {};
  ULONG fetched = 0;
  EXPECT_EQ(walk->Next(3, items, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 2u);
  ComPtr<IKaInstalledProgram> beta;
  ASSERT_EQ(items[1].vt, VT_DISPATCH);
  ASSERT_EQ(items[1].pdispVal->QueryInterface(IID_PPV_ARGS(&beta)), S_OK);
  beta->get_KeyName(&text);
  EXPECT_EQ(Take(text), L"Beta");
  beta->get_Source(&source);
  EXPECT_EQ(source, kaUninstallSource_user);
  for (VARIANT& item : items) ::VariantClear(&item);
  alpha->get_DisplayVersion(&text);
  EXPECT_EQ(Take(text), L"1.0");
}

TEST_F(KaInstalledSoftTest, VersionsUnderEachPolicy) {
  const std::wstring folder = Folder(L"Prog");
  ASSERT_TRUE(WriteVersionedFile(folder + L"\\app.exe", {1, 2, 0, 5}, {3, 0, 0, 0},
                                 L"v1, 2, 0, 5", L"3, 0 beta"));
  ASSERT_TRUE(WriteVersionedFile(folder + L"\\cache.exe", {4, 0, 0, 1}, {4, 1, 0, 0}));
  Program(HKEY_LOCAL_MACHINE, L"Lettered", L"v1.2", folder);
  Program(HKEY_LOCAL_MACHINE, L"Both", L"V2.0v", folder);
  Program(HKEY_LOCAL_MACHINE, L"Commas", L"1, 2", folder);
  ASSERT_TRUE(SetArpImagePath(HKEY_LOCAL_MACHINE, L"Commas", folder + L"\\cache.exe"));
  auto engine = Engine();
  ASSERT_TRUE(engine);

  HRESULT hr = S_OK;
  EXPECT_EQ(Version(engine.Get(), L"Lettered", kaSoftVersionPolicy_reg, nullptr, &hr), L"1.2");
  EXPECT_EQ(hr, kComputed);
  EXPECT_EQ(Version(engine.Get(), L"Both", kaSoftVersionPolicy_reg), L"2.0");
  // The registry's text is kept as written; file versions are normalised.
  EXPECT_EQ(Version(engine.Get(), L"Commas", kaSoftVersionPolicy_reg), L"1, 2");
  EXPECT_EQ(Version(engine.Get(), L"Lettered", kaSoftVersionPolicy_oppFile, L"app.exe"),
            L"1.2.0.5");
  EXPECT_EQ(Version(engine.Get(), L"Both", kaSoftVersionPolicy_oppProduct, L"./app.exe"),
            L"3.0beta");
  // Policy none, and any unknown value, read the product version.
  EXPECT_EQ(Version(engine.Get(), L"Commas", 17, L"sub/../app.exe"), L"3.0beta");
  EXPECT_EQ(engine->SetSoftVersion(MakeBstr(L"Commas").Get(), kaSoftVersionPolicy_arpFile, nullptr),
            kComputed);
  EXPECT_EQ(Version(engine.Get(), L"Commas", kaSoftVersionPolicy_arpFile), L"4.0.0.1");
  EXPECT_EQ(Version(engine.Get(), L"Commas", kaSoftVersionPolicy_arpProduct), L"4.1.0.0");

  // A key without records; a record whose version cannot be computed.
  EXPECT_EQ(Version(engine.Get(), L"Missing", kaSoftVersionPolicy_reg, nullptr, &hr), L"<null>");
  EXPECT_EQ(hr, kNoRecord);
  EXPECT_EQ(Version(engine.Get(), L"Lettered", kaSoftVersionPolicy_arpFile, nullptr, &hr),
            L"<null>");
  EXPECT_EQ(hr, kComputed);
}

// The file beside the uninstaller is opened by the path as registered,
// while the uninstaller's path is cut where its lower-cased form has
// ".exe": an upper-case extension, or a later ".exe" among the arguments,
// must not move the folder.
TEST_F(KaInstalledSoftTest, FileBesideTheUninstallerWhateverTheLetterCase) {
  const std::wstring folder = Folder(L"Mixed Case");
  ASSERT_TRUE(WriteVersionedFile(folder + L"\\App.exe", {1, 2, 0, 5}, {3, 0, 0, 0}));
  std::wstring upper = folder;
  ::CharUpperBuffW(upper.data(), static_cast<DWORD>(upper.size()));
  const struct {
    const wchar_t* key;
    std::wstring uninstall;
  } cases[] = {
      {L"UpperExtension", L"\"" + folder + L"\\UNINST.EXE\" /log=\"C:\\Other\\x.exe\""},
      {L"Unquoted", folder + L"\\Uninst.Exe /log=C:\\Logs\\u.log"},
      {L"UpperFolder", L"\"" + upper + L"\\uninst.exe\""},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(AddUninstallEntry(HKEY_LOCAL_MACHINE, c.key,
                                  {{L"DisplayName", c.key}, {L"UninstallString", c.uninstall}}));
  }
  auto engine = Engine();
  ASSERT_TRUE(engine);
  for (const auto& c : cases) {
    EXPECT_EQ(Version(engine.Get(), c.key, kaSoftVersionPolicy_oppFile, L"app.exe"), L"1.2.0.5")
        << c.uninstall;
    EXPECT_EQ(Version(engine.Get(), c.key, kaSoftVersionPolicy_oppProduct, L"APP.EXE"),
              L"3.0.0.0")
        << c.uninstall;
  }
}

TEST_F(KaInstalledSoftTest, ComputedVersionsAreCachedPerRecordAndPolicy) {
  const std::wstring folder = Folder(L"Prog");
  const std::wstring app = folder + L"\\app.exe";
  ASSERT_TRUE(WriteVersionedFile(app, {1, 0, 0, 0}, {1, 5, 0, 0}));
  Program(HKEY_LOCAL_MACHINE, L"Cached", L"9.9", folder);
  Program(HKEY_LOCAL_MACHINE, L"Later", L"8.8", Folder(L"Later"));
  Program(HKEY_LOCAL_MACHINE, L"Arp", L"7.7", Folder(L"Arp"));
  const std::wstring arpImage = files_.Join(L"Arp\\image.exe");
  ASSERT_TRUE(SetArpImagePath(HKEY_LOCAL_MACHINE, L"Arp", arpImage));
  auto engine = Engine();
  ASSERT_TRUE(engine);

  EXPECT_EQ(Version(engine.Get(), L"Cached", kaSoftVersionPolicy_oppFile, L"app.exe"), L"1.0.0.0");
  ASSERT_TRUE(WriteVersionedFile(app, {2, 0, 0, 0}, {2, 5, 0, 0}));
  // The registry policy reads DisplayVersion and leaves the cache alone.
  EXPECT_EQ(Version(engine.Get(), L"Cached", kaSoftVersionPolicy_reg), L"9.9");
  // The same policy answers from the cache, whatever the path now says.
  EXPECT_EQ(Version(engine.Get(), L"Cached", kaSoftVersionPolicy_oppFile, L"other.exe"),
            L"1.0.0.0");
  // Another policy computes again.
  EXPECT_EQ(Version(engine.Get(), L"Cached", kaSoftVersionPolicy_oppProduct, L"app.exe"),
            L"2.5.0.0");

  // A file missing through the relative path is looked for again next time.
  EXPECT_EQ(Version(engine.Get(), L"Later", kaSoftVersionPolicy_oppFile, L"app.exe"), L"<null>");
  ASSERT_TRUE(WriteVersionedFile(files_.Join(L"Later\\app.exe"), {3, 0, 0, 0}, {3, 0, 0, 0}));
  EXPECT_EQ(Version(engine.Get(), L"Later", kaSoftVersionPolicy_oppFile, L"app.exe"), L"3.0.0.0");

  // A failed ARP-cache read stays cached, empty, until computed on purpose.
  EXPECT_EQ(Version(engine.Get(), L"Arp", kaSoftVersionPolicy_arpFile), L"<null>");
  ASSERT_TRUE(WriteFileBytes(arpImage, "no version resource"));
  EXPECT_EQ(Version(engine.Get(), L"Arp", kaSoftVersionPolicy_arpFile), L"<null>");
  EXPECT_EQ(engine->SetSoftVersion(MakeBstr(L"Arp").Get(), kaSoftVersionPolicy_arpFile, nullptr),
            kUnreadable);
  ASSERT_TRUE(WriteVersionedFile(arpImage, {5, 0, 0, 0}, {5, 0, 0, 0}));
  EXPECT_EQ(Version(engine.Get(), L"Arp", kaSoftVersionPolicy_arpFile), L"<null>");
  EXPECT_EQ(engine->SetSoftVersion(MakeBstr(L"Arp").Get(), kaSoftVersionPolicy_arpFile, nullptr),
            kComputed);
  EXPECT_EQ(Version(engine.Get(), L"Arp", kaSoftVersionPolicy_arpFile), L"5.0.0.0");

  // A rebuild drops every cached version.
  EXPECT_EQ(engine->ReBuildInstalledVerInfo(), S_OK);
  EXPECT_EQ(Version(engine.Get(), L"Cached", kaSoftVersionPolicy_oppFile, L"app.exe"), L"2.0.0.0");
}

TEST_F(KaInstalledSoftTest, VersionMatchingUsesThePolicysVersion) {
  const std::wstring folder = Folder(L"Prog");
  ASSERT_TRUE(WriteVersionedFile(folder + L"\\app.exe", {1, 0, 0, 0}, {1, 0, 0, 0}));
  Program(HKEY_LOCAL_MACHINE, L"Matched", L"0.1", folder);
  Program(HKEY_LOCAL_MACHINE, L"Unknowable", L"0.2", Folder(L"Empty"));
  auto engine = Engine();
  ASSERT_TRUE(engine);
  EXPECT_EQ(StatusWith(engine.Get(), L"Matched", kaSoftVersionPolicy_oppFile, L"  1.0.0.0 "),
            kaSoftInstallStatus_installed);
  EXPECT_EQ(StatusWith(engine.Get(), L"Matched", kaSoftVersionPolicy_oppFile, L"1.0"),
            kaSoftInstallStatus_noInstall);
  // A version that cannot be computed matches only blanks.
  EXPECT_EQ(StatusWith(engine.Get(), L"Unknowable", kaSoftVersionPolicy_oppFile, L"   "),
            kaSoftInstallStatus_installed);
  EXPECT_EQ(StatusWith(engine.Get(), L"Unknowable", kaSoftVersionPolicy_oppFile, L"0.2"),
            kaSoftInstallStatus_noInstall);

  kaSoftInstallStatus status = kaSoftInstallStatus_unknown;
  EXPECT_EQ(engine->QueryInstallStatus(MakeBstr(L"MATCHED").Get(), &status), S_OK);
  EXPECT_EQ(status, kaSoftInstallStatus_installed);
  EXPECT_EQ(engine->QueryInstallStatus(MakeBstr(L"nothing").Get(), &status), S_OK);
  EXPECT_EQ(status, kaSoftInstallStatus_noInstall);
}

TEST_F(KaInstalledSoftTest, StartupExeIsTheFirstRecordWithAnApplication) {
  const std::wstring folder = Folder(L"Prog");
  const std::wstring app = folder + L"\\App.exe";
  ASSERT_TRUE(WriteVersionedFile(app, {1, 0, 0, 0}, {1, 0, 0, 0}));
  Program(HKEY_LOCAL_MACHINE, L"Started", L"1.0", folder);
  Program(HKEY_CURRENT_USER, L"Started", L"1.1", folder, app + L",0");
  Program(HKEY_LOCAL_MACHINE, L"Bare", L"1.0", folder);
  auto engine = Engine();
  ASSERT_TRUE(engine);
  BSTR path = nullptr;
  EXPECT_EQ(engine->GetStartupExeString(MakeBstr(L"started").Get(), &path), S_OK);
  EXPECT_EQ(Take(path), app);
  EXPECT_EQ(engine->GetStartupExeString(MakeBstr(L"Bare").Get(), &path), E_FAIL);
  EXPECT_EQ(path, nullptr);
  EXPECT_EQ(engine->GetStartupExeString(MakeBstr(L"nobody").Get(), &path), kNoRecord);
  EXPECT_EQ(path, nullptr);
}

TEST_F(KaInstalledSoftTest, GamePlatformProgramsAreFoundBelowItsOwnFolder) {
  const std::wstring game = Folder(L"Game");
  ASSERT_TRUE(WriteVersionedFile(game + L"\\hall.exe", {6, 0, 0, 0}, {6, 0, 0, 0}));
  ASSERT_TRUE(WriteString(HKEY_CURRENT_USER, L"Software\\GlobalLink\\Game\\Share", L"Path", game));
  const std::wstring key = L"\x8054\x4f17\x4e16\x754c";
  Program(HKEY_LOCAL_MACHINE, key, L"1.0", Folder(L"Elsewhere"));
  Program(HKEY_LOCAL_MACHINE, L"NotTheGame", L"1.0", Folder(L"Elsewhere2"));
  auto engine = Engine();
  ASSERT_TRUE(engine);
  EXPECT_EQ(Version(engine.Get(), key.c_str(), kaSoftVersionPolicy_oppFile, L"hall.exe"),
            L"6.0.0.0");
  EXPECT_EQ(Version(engine.Get(), L"NotTheGame", kaSoftVersionPolicy_oppFile, L"hall.exe"),
            L"<null>");
}

// Paths that cannot be formed soundly name no file: neither a join longer
// than a path (cut, it would name another file) nor a bare relative path
// (it would be looked up in whatever the current directory is).
TEST_F(KaInstalledSoftTest, UnsoundCandidatePathsNameNoFile) {
  // An uninstaller deep enough that its folder, "\\a.exe" and more would be
  // cut to exactly the path of a.exe beside it.
  std::wstring folder = files_.Join(L"Deep");
  while (folder.size() < 200) folder += L"\\" + std::wstring(10, L'd');
  folder += L"\\" + std::wstring(MAX_PATH - 7 - folder.size() - 1, L'e');
  for (size_t pos = files_.path().size(); pos != std::wstring::npos;
       pos = folder.find(L'\\', pos + 1)) {
    ::CreateDirectoryW((L"\\\\?\\" + folder.substr(0, pos)).c_str(), nullptr);
  }
  ASSERT_TRUE(::CreateDirectoryW((L"\\\\?\\" + folder).c_str(), nullptr));
  ASSERT_TRUE(WriteVersionedFile(L"\\\\?\\" + folder + L"\\a.exe", {1, 0, 0, 0}, {1, 0, 0, 0}));
  ASSERT_TRUE(AddUninstallEntry(HKEY_LOCAL_MACHINE, L"Deep",
                                {{L"DisplayName", L"Deep"},
                                 {L"UninstallString", folder + L"\\u.exe"}}));
  // No uninstaller at all: nothing to join a relative path to.
  ASSERT_TRUE(AddUninstallEntry(HKEY_LOCAL_MACHINE, L"Rootless", {{L"DisplayName", L"Rootless"}}));
  const std::wstring cwd = Folder(L"Current");
  ASSERT_TRUE(WriteVersionedFile(cwd + L"\\tool.exe", {2, 0, 0, 0}, {2, 0, 0, 0}));
  wchar_t previous[MAX_PATH] = {};
  ::GetCurrentDirectoryW(MAX_PATH, previous);
  ASSERT_TRUE(::SetCurrentDirectoryW(cwd.c_str()));
  auto engine = Engine();
  ::SetCurrentDirectoryW(previous);
  ASSERT_TRUE(engine);

  EXPECT_EQ(engine->SetSoftVersion(MakeBstr(L"Deep").Get(), kaSoftVersionPolicy_oppFile,
                                   MakeBstr(L"a.exe\\more\\tool.exe").Get()),
            kFileMissing);
  ASSERT_TRUE(::SetCurrentDirectoryW(cwd.c_str()));
  const HRESULT rootless = engine->SetSoftVersion(
      MakeBstr(L"Rootless").Get(), kaSoftVersionPolicy_oppFile, MakeBstr(L"tool.exe").Get());
  ::SetCurrentDirectoryW(previous);
  EXPECT_EQ(rootless, kFileMissing);
  RemoveTree(L"\\\\?\\" + files_.Join(L"Deep"));
}

TEST_F(KaInstalledSoftTest, RefusesMissingArguments) {
  Program(HKEY_LOCAL_MACHINE, L"Some", L"1.0", Folder(L"Some"));
  auto engine = Engine();
  ASSERT_TRUE(engine);
  // Missing strings are refused before anything is looked up.
  kaSoftInstallStatus status;
  BSTR out = nullptr;
  EXPECT_EQ(engine->QueryInstallStatusWithVersion(MakeBstr(L"Some").Get(), kaSoftVersionPolicy_reg,
                                                  nullptr, nullptr, &status),
            E_POINTER);
  EXPECT_EQ(engine->GetSoftVersion(nullptr, kaSoftVersionPolicy_reg, nullptr, &out), E_POINTER);
  EXPECT_EQ(engine->GetSoftVersionFromStartMenu(MakeBstr(L"Some").Get(),
                                                kaSoftVersionPolicy_oppFile, nullptr, nullptr),
            E_POINTER);
  // These two clear their out string before looking at the other arguments.
  out = reinterpret_cast<BSTR>(1);
  EXPECT_EQ(engine->QueryUninstallStringWithVersion(
                MakeBstr(L"Some").Get(), kaSoftVersionPolicy_reg, nullptr, nullptr, &out),
            E_POINTER);
  EXPECT_EQ(out, nullptr);
  out = reinterpret_cast<BSTR>(1);
  EXPECT_EQ(engine->GetStartupExeString(nullptr, &out), E_POINTER);
  EXPECT_EQ(out, nullptr);
}

// The per-machine view other than this build's own.
#ifdef _WIN64
constexpr REGSAM kOtherView = KEY_WOW64_32KEY;
constexpr kaUninstallSource kOwn = kaUninstallSource_machine64;
constexpr kaUninstallSource kOther = kaUninstallSource_machine32;
#else
constexpr REGSAM kOtherView = KEY_WOW64_64KEY;
constexpr kaUninstallSource kOwn = kaUninstallSource_machine32;
constexpr kaUninstallSource kOther = kaUninstallSource_machine64;
#endif

bool AddDword(HKEY root, const std::wstring& key, const wchar_t* name, DWORD value,
              REGSAM view = 0) {
  return WriteRaw(root, kUninstallPath + key, name, REG_DWORD, &value, sizeof(value), view);
}

// What the list hands out for one program, through the second interface.
struct Listed {
  std::wstring displayName, uninstallString, installLocation, installDate;
  LONG estimatedSize = 0;
  kaHiddenReason hidden = kaHiddenReason_none;
};

std::map<std::pair<std::wstring, kaUninstallSource>, Listed> ListAll(IKaInstalledSoft* engine) {
  std::map<std::pair<std::wstring, kaUninstallSource>, Listed> all;
  ComPtr<IKaInstalledPrograms> list;
  EXPECT_EQ(engine->QueryInterface(IID_PPV_ARGS(&list)), S_OK);
  LONG count = 0;
  EXPECT_EQ(list->get_Count(&count), S_OK);
  for (LONG i = 0; i < count; ++i) {
    ComPtr<IKaInstalledProgram> first;
    ComPtr<IKaInstalledProgram2> program;
    EXPECT_EQ(list->get_Item(i, &first), S_OK);
    EXPECT_EQ(first.As(&program), S_OK);
    if (!program) continue;
    // Old clients keep the interface they asked for: one object behind both.
    ComPtr<IKaInstalledProgram> back;
    EXPECT_EQ(program.As(&back), S_OK);
    EXPECT_EQ(back.Get(), first.Get());
    UniqueBstr key, name, uninstall, location, date;
    kaUninstallSource source{};
    Listed listed;
    EXPECT_EQ(program->get_KeyName(Out(key)), S_OK);
    EXPECT_EQ(program->get_Source(&source), S_OK);
    EXPECT_EQ(program->get_DisplayName(Out(name)), S_OK);
    EXPECT_EQ(program->get_UninstallString(Out(uninstall)), S_OK);
    EXPECT_EQ(program->get_InstallLocation(Out(location)), S_OK);
    EXPECT_EQ(program->get_InstallDate(Out(date)), S_OK);
    EXPECT_EQ(program->get_EstimatedSize(&listed.estimatedSize), S_OK);
    EXPECT_EQ(program->get_HiddenReason(&listed.hidden), S_OK);
    listed.displayName = Text(name);
    listed.uninstallString = Text(uninstall);
    listed.installLocation = Text(location);
    listed.installDate = Text(date);
    all[{Text(key), source}] = listed;
  }
  return all;
}

TEST_F(KaInstalledSoftTest, InstalledListCarriesWholeValuesAndWhyWindowsHidesAnEntry) {
  std::wstring uninstall = L"\"C:\\Program Files\\Long\\uninst.exe\" /remove";
  while (uninstall.size() < 651) uninstall += L" /flag" + std::to_wstring(uninstall.size());
  uninstall.resize(651);
  const std::wstring longName = L"Long " + std::wstring(295, L'n');
  ASSERT_TRUE(AddUninstallEntry(HKEY_LOCAL_MACHINE, L"Long",
                                {{L"DisplayName", longName},
                                 {L"DisplayVersion", L"1.0"},
                                 {L"UninstallString", uninstall},
                                 {L"InstallLocation", L"C:\\Program Files\\Long"},
                                 {L"InstallDate", L"20240131"}}));
  ASSERT_TRUE(AddDword(HKEY_LOCAL_MACHINE, L"Long", L"EstimatedSize", 123456));
  // The same key name in the other view is read in its own view.
  ASSERT_TRUE(AddUninstallEntry(HKEY_LOCAL_MACHINE, L"Long",
                                {{L"DisplayName", L"Long, other view"},
                                 {L"UninstallString", L"other.exe"}},
                                kOtherView));
  ASSERT_TRUE(AddUninstallEntry(HKEY_LOCAL_MACHINE, L"System",
                                {{L"DisplayName", L"System"},
                                 {L"UninstallString", L"system.exe"},
                                 {L"ParentKeyName", L"Long"}}));
  ASSERT_TRUE(AddDword(HKEY_LOCAL_MACHINE, L"System", L"SystemComponent", 1));
  ASSERT_TRUE(AddUninstallEntry(HKEY_LOCAL_MACHINE, L"NotSystem",
                                {{L"DisplayName", L"Not system"},
                                 {L"UninstallString", L"notsystem.exe"}}));
  ASSERT_TRUE(AddDword(HKEY_LOCAL_MACHINE, L"NotSystem", L"SystemComponent", 0));
  ASSERT_TRUE(AddUninstallEntry(HKEY_CURRENT_USER, L"Patch",
                                {{L"DisplayName", L"Patch"}, {L"ParentKeyName", L"Long"}}));
  ASSERT_TRUE(AddUninstallEntry(HKEY_CURRENT_USER, L"Nameless",
                                {{L"UninstallString", L"nameless.exe"},
                                 {L"EstimatedSize", L"12"}}));
  ASSERT_TRUE(AddUninstallEntry(HKEY_CURRENT_USER, L"Stuck", {{L"DisplayName", L"Stuck"}}));

  // Created for identification, the list reads the entries again when first
  // asked; created for its list, it reads them in the build's own walk, so a
  // value changed after the build is not seen.
  for (const bool forList : {false, true}) {
    SCOPED_TRACE(forList ? "created for its list" : "created for identification");
    ComPtr<IKaInstalledSoft> engine;
    if (forList) {
      ComPtr<IKaInstalledPrograms2> created;
      ASSERT_EQ(dll_.dll().Create(CLSID_KaInstalledSoft, created.GetAddressOf()), S_OK);
      ASSERT_EQ(created.As(&engine), S_OK);
    } else {
      engine = Engine();
      ASSERT_TRUE(engine);
    }
    ASSERT_TRUE(
        AddUninstallEntry(HKEY_LOCAL_MACHINE, L"Long", {{L"InstallLocation", L"C:\\Moved"}}));
    const std::wstring location = forList ? L"C:\\Program Files\\Long" : L"C:\\Moved";
    const struct {
      const wchar_t* key;
      kaUninstallSource source;
      std::wstring displayName, uninstallString, installLocation, installDate;
      LONG estimatedSize;
      kaHiddenReason hidden;
    } cases[] = {
        {L"Long", kOwn, longName, uninstall, location, L"20240131", 123456, kaHiddenReason_none},
        {L"Long", kOther, L"Long, other view", L"other.exe", L"", L"", -1, kaHiddenReason_none},
        {L"System", kOwn, L"System", L"system.exe", L"", L"", -1, kaHiddenReason_systemComponent},
        {L"NotSystem", kOwn, L"Not system", L"notsystem.exe", L"", L"", -1, kaHiddenReason_none},
        {L"Patch", kaUninstallSource_user, L"Patch", L"", L"", L"", -1, kaHiddenReason_update},
        {L"Nameless", kaUninstallSource_user, L"", L"nameless.exe", L"", L"", -1,
         kaHiddenReason_noDisplayName},
        {L"Stuck", kaUninstallSource_user, L"Stuck", L"", L"", L"", -1,
         kaHiddenReason_noUninstallString},
    };
    const auto all = ListAll(engine.Get());
    EXPECT_EQ(all.size(), std::size(cases));
    ComPtr<IKaInstalledPrograms2> list;
    ASSERT_EQ(engine.As(&list), S_OK);
    LONG entries = 0;
    EXPECT_EQ(list->get_EntryCount(&entries), S_OK);
    EXPECT_EQ(entries, static_cast<LONG>(std::size(cases)));
    for (const auto& c : cases) {
      SCOPED_TRACE(::testing::Message() << Utf8(c.key) << " from " << c.source);
      const auto found = all.find({c.key, c.source});
      ASSERT_NE(found, all.end());
      const Listed& listed = found->second;
      EXPECT_EQ(listed.displayName, c.displayName);
      EXPECT_EQ(listed.uninstallString, c.uninstallString);
      EXPECT_EQ(listed.installLocation, c.installLocation);
      EXPECT_EQ(listed.installDate, c.installDate);
      EXPECT_EQ(listed.estimatedSize, c.estimatedSize);
      EXPECT_EQ(listed.hidden, c.hidden);
    }

    // Identification keeps answering with the fixed-width text.
    UniqueBstr cut;
    ASSERT_EQ(
        engine->QueryUninstallStringWithVersion(MakeBstr(L"Long").Get(), kaSoftVersionPolicy_reg,
                                                nullptr, MakeBstr(L"1.0").Get(), Out(cut)),
        S_OK);
    EXPECT_EQ(Text(cut), uninstall.substr(0, 258));
    ASSERT_TRUE(AddUninstallEntry(HKEY_LOCAL_MACHINE, L"Long",
                                  {{L"InstallLocation", L"C:\\Program Files\\Long"}}));
  }
}

TEST_F(KaInstalledSoftTest, EntryCountCountsWhatTheCapLeftOut) {
  for (int i = 0; i < 1030; ++i) {
    const std::wstring key = L"P" + std::to_wstring(1000 + i);
    ASSERT_TRUE(AddUninstallEntry(HKEY_LOCAL_MACHINE, key, {{L"DisplayName", key}},
                                  i < 1000 ? 0 : kOtherView));
  }
  // Past the cap, a copy of a kept program is still a copy, not an entry.
  ASSERT_TRUE(AddUninstallEntry(HKEY_LOCAL_MACHINE, L"Copy", {{L"DisplayName", L"P1000"}},
                                kOtherView));
  auto engine = Engine();
  ASSERT_TRUE(engine);
  ComPtr<IKaInstalledPrograms2> list;
  ASSERT_EQ(engine.As(&list), S_OK);
  LONG count = 0, entries = 0;
  EXPECT_EQ(list->get_Count(&count), S_OK);
  EXPECT_EQ(list->get_EntryCount(&entries), S_OK);
  EXPECT_EQ(count, 1023);
  EXPECT_EQ(entries, 1030);

  // Script hosts reach it by name, through the list's own IDispatch.
  ComPtr<IDispatch> script;
  ASSERT_EQ(engine.As(&script), S_OK);
  for (const auto& [member, expected] : {std::pair{L"EntryCount", 1030}, {L"Count", 1023}}) {
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR name = const_cast<LPOLESTR>(member);
    ASSERT_EQ(script->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id), S_OK);
    DISPPARAMS none = {};
    VARIANT result;
    ::VariantInit(&result);
    ASSERT_EQ(script->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none,
                             &result, nullptr, nullptr),
              S_OK);
    EXPECT_EQ(result.vt, VT_I4);
    EXPECT_EQ(result.lVal, expected) << Utf8(member);
  }

  // A rebuild counts afresh.
  ASSERT_EQ(::RegDeleteTreeW(HKEY_LOCAL_MACHINE, (std::wstring(kUninstallPath) + L"P1500").c_str()),
            ERROR_SUCCESS);
  ASSERT_EQ(engine->ReBuildInstalledVerInfo(), S_OK);
  EXPECT_EQ(list->get_EntryCount(&entries), S_OK);
  EXPECT_EQ(entries, 1029);
}

}  // namespace
}  // namespace tessary::testing
