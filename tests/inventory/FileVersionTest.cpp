// Both version readers against PE files made here and against the system
// DLLs the platform ships.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "inventory/FileVersion.h"
#include "support/PeBuilder.h"
#include "support/TestSupport.h"

using tessary::testing::BuildVersionResource;
using tessary::testing::TempDir;
using tessary::testing::VersionResourceLayout;
using tessary::testing::VersionWord;
using tessary::testing::WriteFileBytes;
using tessary::testing::WritePeWithVersion;

namespace tessary {
namespace {

struct Read {
  bool ok;
  std::wstring file;
  std::wstring product;
};

class FileVersionTest : public ::testing::Test {
 protected:
  std::wstring Make(const VersionResourceLayout& layout) { return MakeRaw(BuildVersionResource(layout)); }

  std::wstring MakeRaw(const std::string& resource) {
    const std::wstring path = dir_.Join(L"v" + std::to_wstring(next_++) + L".dll");
    EXPECT_TRUE(WritePeWithVersion(path, resource));
    return path;
  }

  static Read Strings(const std::wstring& path) {
    VersionText file = {};
    VersionText product = {};
    const bool ok = ReadVersionStrings(path.c_str(), &file, &product);
    return {ok, file, product};
  }

  static Read Fixed(const std::wstring& path) {
    VersionText file = {};
    VersionText product = {};
    const bool ok = ReadFixedFileVersion(path.c_str(), &file, &product);
    return {ok, file, product};
  }

  static VersionResourceLayout Layout(DWORD fileMS, DWORD fileLS, DWORD productMS, DWORD productLS) {
    VersionResourceLayout layout;
    layout.fileVersionMS = fileMS;
    layout.fileVersionLS = fileLS;
    layout.productVersionMS = productMS;
    layout.productVersionLS = productLS;
    return layout;
  }

  TempDir dir_;
  int next_ = 0;
};

void ExpectRead(const Read& read, bool ok, const wchar_t* file, const wchar_t* product) {
  EXPECT_EQ(read.ok, ok);
  EXPECT_EQ(read.file, file);
  EXPECT_EQ(read.product, product);
}

TEST_F(FileVersionTest, FixedBlockFormatsEachHalf) {
  const std::wstring path =
      Make(Layout(VersionWord(6, 0), VersionWord(2860, 1), VersionWord(65535, 7), VersionWord(0, 9)));
  ExpectRead(Fixed(path), true, L"6.0.2860.1", L"65535.7.0.9");

  // The file version is kept when already present; the product is replaced.
  VersionText file = {L'k', L'e', L'p', L't'};
  VersionText product = {L'o', L'l', L'd'};
  EXPECT_TRUE(ReadFixedFileVersion(path.c_str(), &file, &product));
  EXPECT_STREQ(file, L"kept");
  EXPECT_STREQ(product, L"65535.7.0.9");
  // Either output may be left out.
  VersionText only = {};
  EXPECT_TRUE(ReadFixedFileVersion(path.c_str(), nullptr, &only));
  EXPECT_STREQ(only, L"65535.7.0.9");
  EXPECT_TRUE(ReadFixedFileVersion(path.c_str(), nullptr, nullptr));
}

TEST_F(FileVersionTest, ZeroVersionsEndTheFixedRead) {
  ExpectRead(Fixed(Make(Layout(0, 0, VersionWord(1, 2), 0))), true, L"", L"");
  ExpectRead(Fixed(Make(Layout(VersionWord(1, 2), 0, 0, 0))), true, L"1.2.0.0", L"");
  VersionResourceLayout noFixed;
  noFixed.hasFixedBlock = false;
  ExpectRead(Fixed(Make(noFixed)), true, L"", L"");
}

TEST_F(FileVersionTest, StringTableTextsStandAsWrittenButCut) {
  VersionResourceLayout layout = Layout(VersionWord(9, 9), 0, VersionWord(9, 9), 0);
  layout.stringTables = {
      {L"040904b0", {{L"FileVersion", L"1, 0, 0, 1"}, {L"ProductVersion", L"1, 0, 0, 1"}}}};
  layout.translations = {{0x0409, 0x04b0}};
  ExpectRead(Strings(Make(layout)), true, L"1, 0, 0, 1", L"1, 0, 0, 1");

  const std::wstring longText(600, L'9');
  layout.stringTables[0].strings[0].second = longText;
  EXPECT_EQ(Strings(Make(layout)).file, longText.substr(0, 255));
}

TEST_F(FileVersionTest, MissingStringsFallBackToTheFixedBlock) {
  VersionResourceLayout layout = Layout(VersionWord(3, 0), 0, VersionWord(2, 3), VersionWord(4, 5));
  layout.stringTables = {{L"040904b0", {{L"FileVersion", L"v3 beta"}}}};
  layout.translations = {{0x0409, 0x04b0}};
  ExpectRead(Strings(Make(layout)), true, L"v3 beta", L"2.3.4.5");

  // Only a product string: the fixed block's product version replaces it.
  layout.stringTables = {{L"040904b0", {{L"ProductVersion", L"7.7"}}}};
  ExpectRead(Strings(Make(layout)), true, L"3.0.0.0", L"2.3.4.5");

  // Strings without a translation table are never looked at.
  layout.stringTables = {{L"040904b0", {{L"FileVersion", L"8"}, {L"ProductVersion", L"8"}}}};
  layout.translations.clear();
  ExpectRead(Strings(Make(layout)), true, L"3.0.0.0", L"2.3.4.5");

  // A zero file version stops the fallback with nothing written.
  VersionResourceLayout zero = Layout(0, 0, VersionWord(1, 0), 0);
  ExpectRead(Strings(Make(zero)), true, L"", L"");
}

TEST_F(FileVersionTest, LaterTranslationsWin) {
  VersionResourceLayout layout = Layout(VersionWord(1, 0), 0, VersionWord(1, 0), 0);
  layout.stringTables = {
      {L"080404b0", {{L"FileVersion", L"first"}, {L"ProductVersion", L"first product"}}},
      {L"040904b0", {{L"FileVersion", L"second"}}},
  };
  // The third translation has no table and changes nothing.
  layout.translations = {{0x0804, 0x04b0}, {0x0409, 0x04b0}, {0x0407, 0x04e4}};
  ExpectRead(Strings(Make(layout)), true, L"second", L"first product");
}

TEST_F(FileVersionTest, QuotedPathsAndFilesWithoutAResource) {
  VersionResourceLayout layout = Layout(VersionWord(4, 1), 0, VersionWord(4, 1), 0);
  const std::wstring path = Make(layout);
  ExpectRead(Strings(L"\"" + path + L"\""), true, L"4.1.0.0", L"4.1.0.0");
  ExpectRead(Strings(L"\"" + path), true, L"4.1.0.0", L"4.1.0.0");

  const std::wstring text = dir_.Join(L"notes.txt");
  ASSERT_TRUE(WriteFileBytes(text, "no resource here"));
  ExpectRead(Strings(text), false, L"", L"");
  ExpectRead(Fixed(text), false, L"", L"");
  ExpectRead(Strings(dir_.Join(L"missing.exe")), false, L"", L"");
  ExpectRead(Fixed(dir_.Join(L"missing.exe")), false, L"", L"");
  EXPECT_FALSE(ReadFixedFileVersion(nullptr, nullptr, nullptr));
}

TEST_F(FileVersionTest, CorruptResourcesAreRefusedOrReadWithinBounds) {
  const std::string good = BuildVersionResource(Layout(VersionWord(1, 2), 0, VersionWord(1, 2), 0));
  // A root that announces a fixed block of 8 bytes.
  std::string shortFixed = good;
  shortFixed[2] = 8;
  shortFixed[3] = 0;
  ExpectRead(Fixed(MakeRaw(shortFixed)), false, L"", L"");
  ExpectRead(Strings(MakeRaw(shortFixed)), false, L"", L"");

  // Cut short, or a header claiming more than there is: nothing is read from
  // beyond the resource. A fixed block without its signature is still read,
  // and one that would lie in bytes the file did not fill reads as zeros.
  std::string overlong = good;
  overlong[0] = static_cast<char>(0xff);
  overlong[1] = static_cast<char>(0x7f);
  std::string unsignedBlock = good;
  unsignedBlock[40] = 0;  // first byte of the signature
  const struct {
    std::string resource;
    bool ok;
    const wchar_t* version;
  } cases[] = {{good.substr(0, 30), false, L""},
               {good.substr(0, 6), false, L""},
               {std::string(64, '\xff'), true, L""},
               {unsignedBlock, true, L"1.2.0.0"},
               {overlong, true, L"1.2.0.0"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "resource of " << c.resource.size() << " bytes");
    ExpectRead(Fixed(MakeRaw(c.resource)), c.ok, c.version, c.version);
    ExpectRead(Strings(MakeRaw(c.resource)), c.ok, c.version, c.version);
  }
}

bool IsDottedQuad(const std::wstring& text) {
  int parts = 1;
  for (wchar_t c : text) {
    if (c == L'.') {
      ++parts;
    } else if (c < L'0' || c > L'9') {
      return false;
    }
  }
  return parts == 4 && text.front() != L'.' && text.back() != L'.';
}

TEST(SystemFileVersionTest, ReadsTheDllsThePlatformShips) {
  wchar_t system[MAX_PATH] = {};
  ASSERT_GT(::GetSystemDirectoryW(system, MAX_PATH), 0u);
  for (const wchar_t* name : {L"kernel32.dll", L"version.dll", L"msxml3.dll", L"shell32.dll"}) {
    SCOPED_TRACE(::testing::Message() << name);
    const std::wstring path = std::wstring(system) + L"\\" + name;
    VersionText fixedFile = {};
    VersionText fixedProduct = {};
    ASSERT_TRUE(ReadFixedFileVersion(path.c_str(), &fixedFile, &fixedProduct));
    EXPECT_TRUE(IsDottedQuad(fixedFile)) << ::testing::PrintToString(std::wstring(fixedFile));
    EXPECT_TRUE(IsDottedQuad(fixedProduct));

    VersionText file = {};
    VersionText product = {};
    ASSERT_TRUE(ReadVersionStrings((L"\"" + path + L"\"").c_str(), &file, &product));
    // The string table may add a build tag, never a different number.
    EXPECT_EQ(std::wstring(file).rfind(fixedFile, 0), 0u);
    EXPECT_EQ(std::wstring(product).rfind(fixedProduct, 0), 0u);
  }
}

}  // namespace
}  // namespace tessary
