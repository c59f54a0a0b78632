// Version comparison and the clean-up of versions read under a policy.
#include <gtest/gtest.h>

#include <string>

#include "identify/VersionPolicy.h"

namespace tessary {
namespace {

struct Case {
  const wchar_t* first;
  const wchar_t* second;
  int expected;
};

void ExpectAll(std::initializer_list<Case> cases) {
  for (const Case& c : cases) {
    EXPECT_EQ(CompareVersions(c.first, c.second), c.expected)
        << "first=" << (c.first ? ::testing::PrintToString(std::wstring(c.first)) : "null")
        << " second=" << (c.second ? ::testing::PrintToString(std::wstring(c.second)) : "null");
    // The relation is antisymmetric.
    EXPECT_EQ(CompareVersions(c.second, c.first), -c.expected);
  }
}

TEST(CompareVersionsTest, NumericComponentOrder) {
  ExpectAll({
      {L"1.2.3", L"1.10", 1},
      {L"2.0", L"1.99.99", -1},
      {L"1.0", L"1.0", 0},
      {L"10", L"9", -1},
      {L"-1", L"0", 1},
      {L"007.1", L"7.1", 0},
  });
}

TEST(CompareVersionsTest, LongerListWinsEvenWithZeros) {
  ExpectAll({
      {L"1.0", L"1.0.0", 1},
      {L"1.0.0", L"1.0", -1},
      {L"", L"0", 1},
      {nullptr, L"0", 1},
      {L"", L"", 0},
      {nullptr, nullptr, 0},
      {nullptr, L"", 0},
  });
}

TEST(CompareVersionsTest, SeparatorsAndTheirRuns) {
  ExpectAll({
      {L"1,2,3", L"1.2.3", 0},
      {L"1\xff0c"
       L"2\xff0c"
       L"3",
       L"1.2.3", 0},
      {L"1..2", L"1.0", 0},  // the second separator opens a component reading 0
      {L".5", L"0", 0},
      {L"1.2.", L"1.2", 0},  // a trailing separator adds nothing
      {L"...", L"0.0", 0},   // two components, each one separator reading 0
      {L"1.\xff0c"
       L"9",
       L"1.0", 0},
      {L"1;2", L"1", 0},  // not a separator: the component reads 1
  });
}

TEST(CompareVersionsTest, ComponentsReadLikeWtoi) {
  ExpectAll({
      {L"2.0 beta", L"2.0", 0},
      {L"2.0 beta", L"2.1", 1},
      {L"1. 2", L"1.2", 0},  // leading blanks skipped
      {L"1.x", L"1.0", 0},
      {L"1.2rc3.4", L"1.2.4", 0},
      {L"v1.2", L"0.2", 0},  // a leading letter reads 0
  });
}

TEST(VersionCleanupTest, TrimLettersThenNormalize) {
  EXPECT_EQ(TrimVersionLetters(L"vV1.2vV"), L"1.2");
  EXPECT_EQ(TrimVersionLetters(L"1.v.2"), L"1.v.2");
  EXPECT_EQ(TrimVersionLetters(L"vvv"), L"");
  std::wstring text = L"1, 2, 0, 5";
  NormalizeVersion(text);
  EXPECT_EQ(text, L"1.2.0.5");
  text =
      L" 3\xff0c"
      L"4 beta";
  NormalizeVersion(text);
  EXPECT_EQ(text, L"3.4beta");
}

}  // namespace
}  // namespace tessary
