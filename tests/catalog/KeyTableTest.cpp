#include "catalog/KeyTable.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace tessary {
namespace {

using Table = KeyTable<int>;
using Map = std::map<UniqueBstr, int, KeyLess>;

template <typename Entries>
std::vector<std::pair<std::wstring, int>> Contents(const Entries& table) {
  std::vector<std::pair<std::wstring, int>> contents;
  for (const auto& [key, value] : table) {
    contents.emplace_back(std::wstring(key ? key.Get() : L"<null>", key.Length()), value);
  }
  return contents;
}

UniqueBstr Key(const std::wstring& text) {
  UniqueBstr key;
  key.CopyFrom(text.data(), static_cast<UINT>(text.size()));
  return key;
}

// Whatever order the builder puts keys in, the table is the one inserting
// them one by one in the order added gives: same keys, same spelling of
// each, same values, the first added winning. A table keeping sort keys
// finds exactly what the comparison finds.
void ExpectBuiltAsInsertedInOrder(const std::vector<std::wstring>& keys, bool keepSortKeys) {
  SCOPED_TRACE(keepSortKeys ? "sort keys kept" : "comparison only");
  Map expected;
  KeyTableBuilder<int> builder;
  if (keepSortKeys) builder.KeepSortKeys();
  for (size_t i = 0; i < keys.size(); ++i) {
    expected.try_emplace(Key(keys[i]), static_cast<int>(i));
    builder.Add(Key(keys[i]), static_cast<int>(i));
  }
  builder.Add(UniqueBstr(), -1);  // absent equals empty, added later: dropped
  Table built;
  std::vector<size_t> added;
  builder.Build(built, &added);
  EXPECT_EQ(Contents(built), Contents(expected));
  // Only a key holding a NUL keeps a table from its sort keys.
  const bool nul = std::any_of(keys.begin(), keys.end(), [](const std::wstring& key) {
    return key.find(L'\0') != std::wstring::npos;
  });
  EXPECT_EQ(built.SortKeyBytes() > 0, keepSortKeys && !nul);
  ASSERT_EQ(added.size(), built.size());
  std::vector<bool> seen(keys.size() + 1);
  for (const size_t position : added) {
    ASSERT_LT(position, seen.size());
    EXPECT_FALSE(seen[position]);
    seen[position] = true;
  }
  for (const auto& [key, value] : built) EXPECT_TRUE(seen[static_cast<size_t>(value)]);
  // Lookups find what the map finds, by any spelling the locale equates.
  std::vector<std::wstring> wanted = keys;
  wanted.insert(wanted.end(), {L"missing", L"PROGRAM10", L"a\x00ad" L"b", L"\x00e5x", L"AE",
                               L"SS", L"FI", L"K", L"I", std::wstring(L"program2\0", 9),
                               std::wstring(L"\0program2", 9), std::wstring(L"pro\0gram2", 9),
                               std::wstring(L"\0", 1)});
  for (const std::wstring& text : wanted) {
    const UniqueBstr key = Key(text);
    const auto found = built.find(key.Get());
    const auto known = expected.find(key);
    ASSERT_EQ(found == built.end(), known == expected.end()) << ::testing::PrintToString(text);
    if (found != built.end()) {
      EXPECT_EQ(found->second, known->second);
    }
  }
  EXPECT_EQ(builder.Size(), 0u);
}

TEST(KeyTableTest, BuildsAndFindsWhatAMapFilledInOrderGives) {
  // ASCII keys, on which code units and the locale often disagree.
  std::vector<std::wstring> keys = {
      L"program10", L"program2", L"Program2", L"PROGRAM2", L"program2", L"a-b", L"ab", L"a b",
      L"a'b", L"{00001-ABCD}_Program1", L"{000010-ABCD}_Program10", L"{0000-abcd}_program1",
      L"_x", L"~x", L"x", L"X", L"", L"z", L"10", L"9", L"1", L"a\tb", L"a\x01"};
  // Many keys the orders agree on, and repeats spread far apart.
  for (int i = 0; i < 300; ++i) keys.push_back(L"name" + std::to_wstring(i * 7 % 101));
  for (int i = 0; i < 20; ++i) keys.push_back(keys[i * 3 % 23]);
  ExpectBuiltAsInsertedInOrder(keys, false);
  ExpectBuiltAsInsertedInOrder(keys, true);

  // Any other key: equal to the locale yet spelled apart, the later in
  // code-unit order added first.
  keys.insert(keys.begin(), {L"a\xfeff" L"b", L"\x00e5", L"a\x0301"});
  for (const wchar_t* key : {L"\x00e4pfel", L"apfel", L"Apfel", L"\x540d\x5b57", L"\x5b57",
                             L"a\x00adb", L"a\x200b" L"b", L"a\x030a", L"\x00e1", L"\xff11"}) {
    keys.push_back(key);
  }
  // Ligatures and letters that expand or fold across scripts.
  for (const wchar_t* key : {L"\x00e6", L"ae", L"\x00df", L"ss", L"\xfb01", L"fi", L"\x0153",
                             L"oe", L"\x212a", L"k", L"\x0130", L"\x0131", L"i", L"\x212b",
                             L"\x00c5", L"\xff21", L"A", L"\x0430"}) {
    keys.push_back(key);
  }
  ExpectBuiltAsInsertedInOrder(keys, false);
  ExpectBuiltAsInsertedInOrder(keys, true);

  // A key holding a NUL: the comparison weighs a leading one.
  for (const std::wstring& key : {std::wstring(L"\0", 1), std::wstring(L"\0b", 2),
                                  std::wstring(L"a\0b", 3), std::wstring(L"ab\0", 3)}) {
    keys.push_back(key);
  }
  ExpectBuiltAsInsertedInOrder(keys, true);
}

// Names as catalogs spell them, with every ASCII symbol between the words:
// the keys a table puts together from character weights for plain ASCII
// names must find exactly what the comparison finds, symbols included
// (some are weighed at the first level, some passed over, some both ways
// with their neighbours).
TEST(KeyTableTest, PlainNamesWithSymbolsFindWhatTheComparisonFinds) {
  std::vector<std::wstring> keys = {L""};
  for (wchar_t symbol = 0x20; symbol < 0x7f; ++symbol) {
    if (iswalnum(symbol)) continue;
    const std::wstring s(1, symbol);
    for (const std::wstring& key :
         {L"program" + s + L"7", s + L"tool", L"tool" + s, L"a" + s + s + L"b", L"x" + s + L"y z"}) {
      keys.push_back(key);
    }
  }
  for (int i = 0; i < 200; ++i) keys.push_back(L"program" + std::to_wstring(i * 37 % 211));
  ExpectBuiltAsInsertedInOrder(keys, true);
}

}  // namespace
}  // namespace tessary
