#include "catalog/PackedText.h"

#include <gtest/gtest.h>

#include <string>

namespace tessary {
namespace {

std::wstring Shown(const PackedText<4>& packed, size_t field) {
  const wchar_t* text = packed.Get(field);
  return text ? L"'" + std::wstring(text, packed.Length(field)) + L"'" : L"<null>";
}

TEST(PackedTextTest, KeepsAbsentEmptyRepeatedAndSharedFieldsApart) {
  PackedTextBuilder<4> builder;
  UniqueBstr null;
  builder.Set(0, std::wstring_view(L"first"));
  builder.Set(0, std::wstring_view(L"last"));  // the last text set stays
  builder.Set(1, std::wstring_view());           // empty, not absent
  builder.Set(2, null);                          // absent
  builder.SetSame(3, 0);
  PackedText<4> packed;
  // Only what is kept is written: the text set over is not.
  std::wstring chars(builder.Size(), L'#');
  EXPECT_EQ(chars.size(), 5u + 1u + 5u);
  builder.Build(chars.data(), packed);
  EXPECT_EQ(Shown(packed, 0), L"'last'");
  EXPECT_EQ(Shown(packed, 1), L"''");
  EXPECT_EQ(Shown(packed, 2), L"<null>");
  EXPECT_EQ(Shown(packed, 3), L"'last'");
  EXPECT_EQ(packed.Get(0)[4], L'\0');  // getters copy the text up to its NUL

  // Cleared for the next entry: nothing of the last one shows through.
  builder.Clear();
  builder.SetSame(0, 2);
  builder.Set(1, std::wstring_view(L"x\0y", 3));
  PackedText<4> next;
  std::wstring nextChars(builder.Size(), L'#');
  builder.Build(nextChars.data(), next);
  EXPECT_EQ(Shown(next, 0), L"<null>");
  EXPECT_EQ(next.Length(1), 3u);
  EXPECT_EQ(Shown(next, 3), L"<null>");
  EXPECT_EQ(Shown(packed, 0), L"'last'");  // built blocks stand alone
}

}  // namespace
}  // namespace tessary
