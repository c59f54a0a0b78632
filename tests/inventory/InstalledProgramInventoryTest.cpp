// The inventory over a sandboxed registry, with the OS version posed through
// its seam.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "common/RegistryReader.h"
#include "inventory/InstalledProgramInventory.h"
#include "inventory/WindowsVersion.h"
#include "support/ScopedSeam.h"
#include "support/TestSupport.h"

using tessary::testing::AddUninstallEntry;
using tessary::testing::Posed;
using tessary::testing::RegistrySandbox;
using tessary::testing::ScopedOsVersion;
using tessary::testing::Values;
using tessary::testing::WriteRaw;
using tessary::testing::WriteString;

namespace tessary {
namespace {

const std::wstring kUninstall = std::wstring(kUninstallKeyPath) + L"\\";
const std::wstring kArpCache = std::wstring(kArpCacheKeyPath) + L"\\";

// The per-machine view other than this build's own, and what each view is.
#ifdef _WIN64
constexpr REGSAM kOtherView = KEY_WOW64_32KEY;
constexpr UninstallSource kOwnSource = UninstallSource::kMachine64;
constexpr UninstallSource kOtherSource = UninstallSource::kMachine32;
#else
constexpr REGSAM kOtherView = KEY_WOW64_64KEY;
constexpr UninstallSource kOwnSource = UninstallSource::kMachine32;
constexpr UninstallSource kOtherSource = UninstallSource::kMachine64;
#endif

void AddRaw(HKEY root, const std::wstring& key, const wchar_t* name, DWORD type,
            std::string_view bytes) {
  ASSERT_TRUE(
      WriteRaw(root, kUninstall + key, name, type, bytes.data(), static_cast<DWORD>(bytes.size())));
}

std::string SlowInfoCache(std::wstring_view path) {
  std::string record(552, '\0');
  record[0] = static_cast<char>(0x28);
  record[1] = static_cast<char>(0x02);
  const size_t bytes = std::min(path.size() * sizeof(wchar_t), size_t{520});
  std::memcpy(record.data() + 28, path.data(), bytes);
  return record;
}

void AddArpEntry(HKEY root, const std::wstring& key, std::string_view slowInfoCache,
                 REGSAM view = 0) {
  ASSERT_TRUE(WriteRaw(root, kArpCache + key, L"SlowInfoCache", REG_BINARY, slowInfoCache.data(),
                       static_cast<DWORD>(slowInfoCache.size()), view));
}

BOOL WINAPI NotWow64(HANDLE, PBOOL wow64) {
  *wow64 = FALSE;
  return TRUE;
}

class InventoryTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(sandbox_.ok()); }

  std::vector<std::wstring> RebuildKeys(InstalledProgramInventory& inventory) {
    EXPECT_EQ(inventory.Rebuild(), S_OK);
    std::vector<std::wstring> keys;
    for (size_t i = 0; i < inventory.Count(); ++i) keys.push_back(inventory.RecordAt(i)->keyName);
    return keys;
  }

  const InstalledProgramRecord* Find(const InstalledProgramInventory& inventory,
                                     std::wstring_view key) {
    for (size_t i = 0; i < inventory.Count(); ++i) {
      if (inventory.RecordAt(i)->keyName == key) return inventory.RecordAt(i);
    }
    return nullptr;
  }

  RegistrySandbox sandbox_;
  ScopedOsVersion version_{6, 1};
};

TEST_F(InventoryTest, ReadsEveryFieldMachineProgramsFirst) {
  ASSERT_TRUE(AddUninstallEntry(HKEY_CURRENT_USER, L"Alpha", {{L"DisplayName", L"Alpha Tool"}}));
  ASSERT_TRUE(AddUninstallEntry(HKEY_LOCAL_MACHINE, L"Zeta",
                                {{L"DisplayName", L"Zeta Player"},
                                 {L"DisplayVersion", L"v2.1"},
                                 {L"Publisher", L"Zeta Ltd"},
                                 {L"ParentDisplayName", L"Zeta Suite"},
                                 {L"UninstallString", L"\"C:\\Zeta\\unins000.exe\" /SILENT"},
                                 {L"DisplayIcon", L"C:\\Zeta\\zeta.exe,0"},
                                 {L"InstallLocation", L"C:\\Zeta"}}));
  AddArpEntry(HKEY_LOCAL_MACHINE, L"Zeta", SlowInfoCache(L"C:\\Zeta\\zeta.exe"));

  InstalledProgramInventory inventory;
  EXPECT_EQ(RebuildKeys(inventory), (std::vector<std::wstring>{L"Zeta", L"Alpha"}));
  const InstalledProgramRecord& zeta = *inventory.RecordAt(0);
  EXPECT_STREQ(zeta.displayName, L"Zeta Player");
  EXPECT_STREQ(zeta.displayVersion, L"v2.1");
  EXPECT_STREQ(zeta.publisher, L"Zeta Ltd");
  EXPECT_STREQ(zeta.parentDisplayName, L"Zeta Suite");
  EXPECT_STREQ(zeta.uninstallString, L"\"C:\\Zeta\\unins000.exe\" /SILENT");
  EXPECT_STREQ(zeta.displayIcon, L"C:\\Zeta\\zeta.exe,0");
  EXPECT_STREQ(zeta.arpImagePath, L"C:\\Zeta\\zeta.exe");
  EXPECT_STREQ(inventory.RecordAt(1)->arpImagePath, L"");
  EXPECT_EQ(inventory.RecordAt(2), nullptr);

  EXPECT_EQ(RebuildKeys(inventory).size(), 2u);  // a rebuild starts over
  inventory.Clear();
  EXPECT_EQ(inventory.RecordAt(0), nullptr);
}

TEST_F(InventoryTest, SkipsOnlyUpperAndLowerCaseUpdateEntries) {
  for (const wchar_t* key : {L"KB958644", L"kb958645", L"Kb958646", L"kB958647", L"KBX"}) {
    ASSERT_TRUE(AddUninstallEntry(HKEY_LOCAL_MACHINE, key, {{L"DisplayName", key}}));
  }
  InstalledProgramInventory inventory;
  EXPECT_EQ(RebuildKeys(inventory), (std::vector<std::wstring>{L"Kb958646", L"kB958647"}));
}

TEST_F(InventoryTest, DuplicatesAreDroppedFirstOneStays) {
  // Value-less keys are one program with empty fields.
  ASSERT_TRUE(AddUninstallEntry(HKEY_LOCAL_MACHINE, L"A_Empty", {}));
  ASSERT_TRUE(AddUninstallEntry(HKEY_LOCAL_MACHINE, L"B_Empty", {}));
  const Values app = {{L"DisplayName", L"App"},       {L"DisplayVersion", L"1.0"},
                      {L"Publisher", L"Maker"},       {L"ParentDisplayName", L"Suite"},
                      {L"UninstallString", L"u.exe"}, {L"DisplayIcon", L"one.ico"}};
  ASSERT_TRUE(AddUninstallEntry(HKEY_LOCAL_MACHINE, L"C_App", app));
  Values otherIcon = app;
  otherIcon.back().data = L"two.ico";
  ASSERT_TRUE(AddUninstallEntry(HKEY_LOCAL_MACHINE, L"D_AppOtherIcon", otherIcon));
  AddArpEntry(HKEY_LOCAL_MACHINE, L"D_AppOtherIcon", SlowInfoCache(L"C:\\other.exe"));
  ASSERT_TRUE(AddUninstallEntry(HKEY_LOCAL_MACHINE, L"E_AppUpperCase",
                                {{L"DisplayName", L"APP"},
                                 {L"DisplayVersion", L"1.0"},
                                 {L"Publisher", L"MAKER"},
                                 {L"ParentDisplayName", L"suite"},
                                 {L"UninstallString", L"U.EXE"}}));
  // Non-ASCII letters compare without case too.
  ASSERT_TRUE(
      AddUninstallEntry(HKEY_LOCAL_MACHINE, L"G_Umlaut", {{L"DisplayName", L"\u00dcber 2"}}));
  ASSERT_TRUE(
      AddUninstallEntry(HKEY_LOCAL_MACHINE, L"H_UmlautUpper", {{L"DisplayName", L"\u00fcBER 2"}}));
  // A difference in any one of the five compared fields makes another program.
  for (size_t field = 0; field < 5; ++field) {
    Values other = app;
    other[field].data += L"2";
    ASSERT_TRUE(AddUninstallEntry(HKEY_LOCAL_MACHINE, L"F_Other" + std::to_wstring(field), other));
  }

  InstalledProgramInventory inventory;
  EXPECT_EQ(RebuildKeys(inventory),
            (std::vector<std::wstring>{L"A_Empty", L"C_App", L"F_Other0", L"F_Other1", L"F_Other2",
                                       L"F_Other3", L"F_Other4", L"G_Umlaut"}));
  const InstalledProgramRecord& empty = *inventory.RecordAt(0);
  EXPECT_STREQ(empty.displayName, L"");
  EXPECT_STREQ(empty.uninstallString, L"");
  EXPECT_STREQ(inventory.RecordAt(1)->displayIcon, L"one.ico");
}

TEST_F(InventoryTest, ProgramUnderBothRootsIsHeldOnceWithTheMachineEntry) {
  const Values app = {{L"DisplayName", L"Shared"}, {L"UninstallString", L"C:\\s\\u.exe"}};
  ASSERT_TRUE(AddUninstallEntry(HKEY_LOCAL_MACHINE, L"SharedMachine", app));
  AddArpEntry(HKEY_LOCAL_MACHINE, L"SharedMachine", SlowInfoCache(L"C:\\machine.exe"));
  ASSERT_TRUE(AddUninstallEntry(HKEY_CURRENT_USER, L"SharedUser", app));
  AddArpEntry(HKEY_CURRENT_USER, L"SharedUser", SlowInfoCache(L"C:\\user.exe"));

  InstalledProgramInventory inventory;
  EXPECT_EQ(RebuildKeys(inventory), (std::vector<std::wstring>{L"SharedMachine"}));
  EXPECT_STREQ(inventory.RecordAt(0)->arpImagePath, L"C:\\machine.exe");

  EXPECT_TRUE(UninstallKeyExists(L"shareduser"));  // present under HKCU only
  EXPECT_TRUE(UninstallKeyExists(L"SharedMachine"));
  EXPECT_FALSE(UninstallKeyExists(L"Nowhere"));
  EXPECT_TRUE(UninstallKeyExists(nullptr));  // the Uninstall key itself
  EXPECT_TRUE(UninstallKeyExists(L""));
}

TEST_F(InventoryTest, Holds1023ProgramsInEnumerationOrderTheOtherViewLast) {
  for (int i = 0; i < 1030; ++i) {
    wchar_t key[16];
    swprintf(key, 16, L"P%04d", i);
    ASSERT_TRUE(AddUninstallEntry(HKEY_LOCAL_MACHINE, key, {{L"DisplayName", key}},
                                  i < 1000 ? 0 : kOtherView));
  }
  InstalledProgramInventory inventory;
  const std::vector<std::wstring> keys = RebuildKeys(inventory);
  ASSERT_EQ(keys.size(), InstalledProgramInventory::kMaxRecords);
  EXPECT_EQ(keys.front(), L"P0000");
  EXPECT_EQ(keys.back(), L"P1022");
  EXPECT_EQ(inventory.RecordAt(999)->source, kOwnSource);
  EXPECT_EQ(inventory.RecordAt(1000)->source, kOtherSource);
}

TEST_F(InventoryTest, BothMachineViewsAreReadTheOtherOneAfterTheUserKey) {
  const Values identical = {{L"DisplayName", L"Twin"}, {L"UninstallString", L"C:\\t\\u.exe"}};
  for (const REGSAM view : {REGSAM{0}, kOtherView}) {
    ASSERT_TRUE(AddUninstallEntry(HKEY_LOCAL_MACHINE, L"Identical", identical, view));
    ASSERT_TRUE(
        AddUninstallEntry(HKEY_LOCAL_MACHINE, L"KB4000", {{L"DisplayName", L"Update"}}, view));
  }
  ASSERT_TRUE(AddUninstallEntry(HKEY_LOCAL_MACHINE, L"Own", {{L"DisplayName", L"Own"}}));
  ASSERT_TRUE(
      AddUninstallEntry(HKEY_LOCAL_MACHINE, L"Shared", {{L"DisplayName", L"Shared, own view"}}));
  ASSERT_TRUE(AddUninstallEntry(HKEY_CURRENT_USER, L"User", {{L"DisplayName", L"User"}}));
  ASSERT_TRUE(AddUninstallEntry(HKEY_LOCAL_MACHINE, L"Other",
                                {{L"DisplayName", L"Other"},
                                 {L"DisplayVersion", L"3.1"},
                                 {L"UninstallString", L"\"C:\\Other\\uninst.exe\" /S"}},
                                kOtherView));
  AddArpEntry(HKEY_LOCAL_MACHINE, L"Other", SlowInfoCache(L"C:\\Other\\other.exe"), kOtherView);
  ASSERT_TRUE(AddUninstallEntry(HKEY_LOCAL_MACHINE, L"Shared",
                                {{L"DisplayName", L"Shared, other view"}}, kOtherView));

  const std::vector<std::wstring> all = {L"Identical", L"Own",   L"Shared",
                                         L"User",      L"Other", L"Shared"};
  const struct {
    Wow64Query pose;  // null: as Windows says
    std::vector<std::wstring> keys;
    bool otherKeyExists;
  } cases[] = {
      {nullptr, all, true},
#ifdef _WIN64
      {&NotWow64, all, true},  // the x64 build always has both views
#else
      {&NotWow64, {L"Identical", L"Own", L"Shared", L"User"}, false},  // 32-bit Windows
#endif
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pose ? "posed outside WOW64" : "as Windows says");
    const Wow64Query previous = SetWow64Query(c.pose);
    InstalledProgramInventory inventory;
    EXPECT_EQ(RebuildKeys(inventory), c.keys);
    EXPECT_EQ(UninstallKeyExists(L"other"), c.otherKeyExists);
    EXPECT_TRUE(UninstallKeyExists(L"Own"));
    SetWow64Query(previous);
    if (c.keys.size() < all.size()) continue;

    EXPECT_EQ(inventory.RecordAt(0)->source, kOwnSource);
    EXPECT_EQ(inventory.RecordAt(3)->source, UninstallSource::kUser);
    const InstalledProgramRecord& other = *inventory.RecordAt(4);
    EXPECT_EQ(other.source, kOtherSource);
    EXPECT_STREQ(other.displayVersion, L"3.1");
    EXPECT_STREQ(other.uninstallString, L"\"C:\\Other\\uninst.exe\" /S");
    EXPECT_STREQ(other.arpImagePath, L"C:\\Other\\other.exe");
    // One key name in both views: two programs, the own view's first.
    EXPECT_STREQ(inventory.RecordAt(2)->displayName, L"Shared, own view");
    EXPECT_STREQ(inventory.RecordAt(5)->displayName, L"Shared, other view");
    EXPECT_EQ(inventory.RecordAt(5)->source, kOtherSource);
  }
}

// The visitor is handed each kept entry's own key, open in the view it was
// found in, with the index of its record; a dropped duplicate is never seen.
TEST_F(InventoryTest, VisitorSeesEachKeptEntryOpenInItsViewWithItsIndex) {
  const Values twin = {{L"DisplayName", L"Twin"}, {L"UninstallString", L"C:\\t\\u.exe"}};
  ASSERT_TRUE(AddUninstallEntry(HKEY_LOCAL_MACHINE, L"Shared",
                                {{L"DisplayName", L"Shared"}, {L"Comments", L"own view"}}));
  ASSERT_TRUE(AddUninstallEntry(HKEY_LOCAL_MACHINE, L"Twin", twin));
  ASSERT_TRUE(AddUninstallEntry(HKEY_CURRENT_USER, L"TwinCopy", twin));
  ASSERT_TRUE(AddUninstallEntry(HKEY_CURRENT_USER, L"User",
                                {{L"DisplayName", L"User"}, {L"Comments", L"user"}}));
  ASSERT_TRUE(AddUninstallEntry(HKEY_LOCAL_MACHINE, L"Shared",
                                {{L"DisplayName", L"Shared 2"}, {L"Comments", L"other view"}},
                                kOtherView));

  struct Recorder final : KeptEntryVisitor {
    void Kept(HKEY entry, size_t index) noexcept override {
      std::wstring comments;
      ReadWholeText(entry, L"Comments", comments);
      seen.emplace_back(index, comments);
    }
    std::vector<std::pair<size_t, std::wstring>> seen;
  } recorder;
  InstalledProgramInventory inventory;
  ASSERT_EQ(inventory.Rebuild(&recorder), S_OK);
  ASSERT_EQ(inventory.Count(), 4u);
  const std::vector<std::pair<size_t, std::wstring>> expected = {
      {0, L"own view"}, {1, L""}, {2, L"user"}, {3, L"other view"}};
  EXPECT_EQ(recorder.seen, expected);
  EXPECT_EQ(std::wstring(inventory.RecordAt(3)->displayName), L"Shared 2");
}

TEST_F(InventoryTest, CacheOfMachineProgramsComesFromTheUserOnNt6x) {
  ASSERT_TRUE(AddUninstallEntry(HKEY_LOCAL_MACHINE, L"Machine", {{L"DisplayName", L"Machine"}}));
  AddArpEntry(HKEY_LOCAL_MACHINE, L"Machine", SlowInfoCache(L"C:\\from-machine.exe"));
  AddArpEntry(HKEY_CURRENT_USER, L"Machine", SlowInfoCache(L"C:\\from-user.exe"));
  {
    ScopedOsVersion vista(6, 0);
    InstalledProgramInventory inventory;
    EXPECT_EQ(inventory.windowsVersionClass(), WindowsVersionClass::kNt6x);
    inventory.Rebuild();
    EXPECT_STREQ(inventory.RecordAt(0)->arpImagePath, L"C:\\from-user.exe");
  }
  ScopedOsVersion win7(6, 1);
  InstalledProgramInventory inventory;
  EXPECT_EQ(inventory.windowsVersionClass(), WindowsVersionClass::kNt61);
  inventory.Rebuild();
  EXPECT_STREQ(inventory.RecordAt(0)->arpImagePath, L"C:\\from-machine.exe");
}

TEST(WindowsVersionTest, ClassifiesNtReleasesOnly) {
  const struct {
    DWORD platform, major, minor;
    WindowsVersionClass expected;
  } cases[] = {
      {VER_PLATFORM_WIN32_NT, 5, 0, WindowsVersionClass::kNt50},
      {VER_PLATFORM_WIN32_NT, 5, 1, WindowsVersionClass::kNt51},
      {VER_PLATFORM_WIN32_NT, 5, 2, WindowsVersionClass::kNt52},
      {VER_PLATFORM_WIN32_NT, 5, 3, WindowsVersionClass::kUnset},
      {VER_PLATFORM_WIN32_NT, 6, 0, WindowsVersionClass::kNt6x},
      {VER_PLATFORM_WIN32_NT, 6, 1, WindowsVersionClass::kNt61},
      {VER_PLATFORM_WIN32_NT, 6, 3, WindowsVersionClass::kNt6x},
      {VER_PLATFORM_WIN32_NT, 10, 0, WindowsVersionClass::kUnset},
      {VER_PLATFORM_WIN32_WINDOWS, 5, 1, WindowsVersionClass::kUnset},
  };
  ScopedOsVersion posed(0, 0);
  for (const auto& c : cases) {
    Posed().platform = c.platform;
    Posed().major = c.major;
    Posed().minor = c.minor;
    EXPECT_EQ(ClassifyWindowsVersion(), c.expected) << c.major << "." << c.minor;
  }
  Posed() = {};
  Posed().major = 5;
  Posed().minor = 1;
  Posed().extendedFails = true;  // falls back to the basic block
  EXPECT_EQ(ClassifyWindowsVersion(), WindowsVersionClass::kNt51);
  Posed().basicFails = true;
  EXPECT_EQ(ClassifyWindowsVersion(), WindowsVersionClass::kUnset);
}

TEST_F(InventoryTest, LongNamesAreReadOrSkippedWithoutEndingTheRoot) {
  const std::wstring longest(255, L'L');
  ASSERT_TRUE(AddUninstallEntry(HKEY_LOCAL_MACHINE, longest, {{L"DisplayName", L"Longest"}}));
  ASSERT_TRUE(AddUninstallEntry(HKEY_LOCAL_MACHINE, L"Z_After", {{L"DisplayName", L"After"}}));
  // Wine accepts one character more than Windows; such a name cannot be read
  // into a buffer sized for legal names, and must cost only itself.
  const std::wstring tooLong(256, L'M');
  UniqueHkey created;
  const bool wineExtra =
      ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, (kUninstall + tooLong).c_str(), 0, nullptr, 0,
                        KEY_ALL_ACCESS, nullptr, created.put(), nullptr) == ERROR_SUCCESS;
  if (wineExtra) {
    ASSERT_TRUE(::RegSetValueExW(created.get(), L"DisplayName", 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>(L"TooLong"), 16) == ERROR_SUCCESS);
  }
  InstalledProgramInventory inventory;
  EXPECT_EQ(RebuildKeys(inventory),
            (std::vector<std::wstring>{longest.substr(0, 253), L"Z_After"}));
}

TEST_F(InventoryTest, ValuesOfAnyTypeAndLengthAreCutAndTerminated) {
  const std::wstring key = L"Odd";
  const DWORD letters = 0x00420041;  // "AB" taken as text
  AddRaw(HKEY_LOCAL_MACHINE, key, L"displayname", REG_DWORD,
         std::string_view(reinterpret_cast<const char*>(&letters), 4));
  AddRaw(HKEY_LOCAL_MACHINE, key, L"DisplayVersion", REG_BINARY, std::string_view("1\0.\0X", 5));
  const std::wstring longText(400, L'p');  // stored without a terminator
  AddRaw(HKEY_LOCAL_MACHINE, key, L"Publisher", REG_SZ,
         std::string_view(reinterpret_cast<const char*>(longText.data()), longText.size() * 2));
  AddRaw(HKEY_LOCAL_MACHINE, key, L"ParentDisplayName", REG_MULTI_SZ,
         std::string_view(reinterpret_cast<const char*>(L"a\0b\0"), 10));
  const std::wstring expand = L"%SystemRoot%\\u.exe";
  AddRaw(HKEY_LOCAL_MACHINE, key, L"UninstallString", REG_EXPAND_SZ,
         std::string_view(reinterpret_cast<const char*>(expand.c_str()), expand.size() * 2 + 2));
  const std::wstring huge(9000, L'h');  // beyond what the reader accepts
  AddRaw(HKEY_LOCAL_MACHINE, key, L"DisplayIcon", REG_SZ,
         std::string_view(reinterpret_cast<const char*>(huge.c_str()), huge.size() * 2 + 2));

  InstalledProgramInventory inventory;
  inventory.Rebuild();
  const InstalledProgramRecord* odd = Find(inventory, key);
  ASSERT_NE(odd, nullptr);
  EXPECT_STREQ(odd->displayName, L"AB");
  EXPECT_STREQ(odd->displayVersion, L"1.X");  // an odd last byte is a character
  EXPECT_EQ(std::wstring(odd->publisher), longText.substr(0, 258));
  EXPECT_STREQ(odd->parentDisplayName, L"a");
  EXPECT_STREQ(odd->uninstallString, L"%SystemRoot%\\u.exe");
  EXPECT_STREQ(odd->displayIcon, L"");
}

TEST_F(InventoryTest, AValueNameTooLongToReadSkipsOnlyItsProgram) {
  // A name of 16383 characters is legal but does not fit the walk's buffer
  // with its terminator; one character less does.
  ASSERT_TRUE(AddUninstallEntry(HKEY_LOCAL_MACHINE, L"A_LongestName", {{L"DisplayName", L"A"}}));
  ASSERT_TRUE(WriteString(HKEY_LOCAL_MACHINE, kUninstall + L"A_LongestName",
                          std::wstring(16383, L'x').c_str(), L"1"));
  ASSERT_TRUE(AddUninstallEntry(HKEY_LOCAL_MACHINE, L"B_LongName", {{L"DisplayName", L"B"}}));
  ASSERT_TRUE(WriteString(HKEY_LOCAL_MACHINE, kUninstall + L"B_LongName",
                          std::wstring(16382, L'x').c_str(), L"1"));
  ASSERT_TRUE(AddUninstallEntry(HKEY_LOCAL_MACHINE, L"C_Plain", {{L"DisplayName", L"C"}}));
  InstalledProgramInventory inventory;
  EXPECT_EQ(RebuildKeys(inventory), (std::vector<std::wstring>{L"B_LongName", L"C_Plain"}));
}

TEST_F(InventoryTest, CacheRecordsOfAnySizeNeverLeakStaleBytes) {
  const std::wstring longPath = L"C:\\" + std::wstring(300, L'q');
  const std::string full = SlowInfoCache(L"C:\\full.exe");
  const struct {
    const wchar_t* key;
    std::string value;
    std::wstring expected;
  } cases[] = {
      {L"A_Full", full, L"C:\\full.exe"},
      {L"B_Short", full.substr(0, 40), L"C:\\ful"},  // only what the value holds
      {L"C_Tiny", full.substr(0, 20), L""},
      {L"D_Oversized", full + std::string(48, 'x'), L""},
      {L"E_Unterminated", SlowInfoCache(longPath), longPath.substr(0, 259)},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(AddUninstallEntry(HKEY_LOCAL_MACHINE, c.key, {{L"DisplayName", c.key}}));
    AddArpEntry(HKEY_LOCAL_MACHINE, c.key, c.value);
  }
  InstalledProgramInventory inventory;
  inventory.Rebuild();
  for (const auto& c : cases) {
    const InstalledProgramRecord* record = Find(inventory, c.key);
    ASSERT_NE(record, nullptr) << c.key;
    EXPECT_EQ(std::wstring(record->arpImagePath), c.expected) << c.key;
  }
}

}  // namespace
}  // namespace tessary
