// The tool's output layer where the end-to-end test cannot reach it: cutting
// to a console's width (the test's output is never a console) and text no
// registry value can carry (bytes that are not UTF-8).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/tool/Output.h"

namespace tessary::testing {
namespace {

using tool::ColumnFit;

TEST(ToolOutputTest, ColumnsGiveWayOthersFirstNamesLast) {
  const struct {
    const char* what;
    std::vector<ColumnFit> columns;
    int limit;
    std::vector<int> expected;
  } cases[] = {
      {"fits already", {{10, 8, true}, {5, 8, false}}, 40, {10, 5}},
      {"no limit (redirected, --wide)", {{100, 8, true}, {100, 8, false}}, 0, {100, 100}},
      {"other columns cut though the name is wider",
       {{40, 12, true}, {30, 8, false}, {9, 6, false}},
       60,
       {40, 8, 8}},
      {"the name cut once the others are at their floor",
       {{50, 12, true}, {20, 8, false}},
       40,
       {30, 8}},
      {"never below a floor, even when the line stays long",
       {{20, 12, true}, {20, 8, false}},
       10,
       {12, 8}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(tool::FitColumns(c.columns, c.limit), c.expected) << c.what;
  }
}

TEST(ToolOutputTest, CutsKeepCharactersWholeWithinTheWidth) {
  const struct {
    const char* text;
    int width;
    const char* expected;
  } cases[] = {
      {"Brightfield", 20, "Brightfield"},
      {"Brightfield", 6, "Brigh~"},
      // A wide character that would straddle the mark is left out whole.
      {"\u5bbd\u5b57\u7b26\u8f6f\u4ef6", 6, "\u5bbd\u5b57~"},
      // A combining accent stays with its letter.
      {"Cafe\u0301 Bar", 6, "Cafe\u0301 ~"},
  };
  for (const auto& c : cases) {
    const std::string cut = tool::CutToWidth(c.text, c.width);
    EXPECT_EQ(cut, c.expected) << c.text;
    EXPECT_LE(tool::DisplayWidth(cut), c.width) << c.text;
  }
}

TEST(ToolOutputTest, EscapesWhatAConsoleWouldObey) {
  const struct {
    std::string text;
    bool keepLineFeeds;
    std::string expected;
  } cases[] = {
      {"a\xff" "b\xc3", false, "a\\xffb\\xc3"},  // not UTF-8: each byte shown
      {"\xe2\x80\xae" "exe.txt", false, "\\u202eexe.txt"},  // right-to-left override
      {"\xc2\x9b" "2J", false, "\\u009b2J"},  // C1 control sequence introducer
      {"one\ntwo\r\n", true, "one\ntwo\\r\n"},
      {"one\ntwo", false, "one\\ntwo"},
  };
  for (const auto& c : cases) EXPECT_EQ(tool::Escaped(c.text, c.keepLineFeeds), c.expected);
}

// A spreadsheet must neither split a field nor run one as a formula; the
// table's "-" for nothing stays text.
TEST(ToolOutputTest, CsvFieldsStayWholeAndInert) {
  const struct {
    const char* value;
    const char* expected;
  } cases[] = {
      {"plain", "plain"},
      {"", ""},
      {"-", "-"},
      {"a,b", "\"a,b\""},
      {"say \"hi\"", "\"say \"\"hi\"\"\""},
      {"one\ntwo", "\"one\ntwo\""},
      {"=HYPERLINK(\"x\")", "\"'=HYPERLINK(\"\"x\"\")\""},
      {"+1", "'+1"},
      {"-x", "'-x"},
      {"@SUM(1)", "'@SUM(1)"},
      {"\tTab", "'\tTab"},
      {"\rCR", "\"'\rCR\""},
      {"a=b", "a=b"},
  };
  for (const auto& c : cases) EXPECT_EQ(tool::CsvField(c.value), c.expected) << c.value;
}

TEST(ToolOutputTest, DisplayWidthCountsConsoleColumns) {
  const struct {
    const char* text;
    int columns;
  } cases[] = {
      {"Tessary", 7},
      {"\u5bbd\u5b57", 4},             // East Asian wide
      {"\U0001F4E6", 2},               // emoji
      {"Cafe\u0301", 4},               // combining accent
      {"a\u200bb", 2},                 // zero-width space
      {"\uff21\uff22", 4},             // fullwidth letters
      {"\xff", 1},                     // a stray byte stands for one column
  };
  for (const auto& c : cases) EXPECT_EQ(tool::DisplayWidth(c.text), c.columns) << c.text;
}

// The batch runs commands one after another in one process: each run's output
// is its own, its CSV header included.
TEST(ToolOutputTest, CapturedRunsKeepTheirOwnOutput) {
  std::string runs[2];
  for (std::string& run : runs) {
    tool::OutputCapture capture;
    tool::ConfigureOutput(tool::Format::kCsv, false);
    tool::Table table({"NAME"});
    table.Add({"x"});
    table.Print();
    tool::PrintError("line");
    run = capture.out + "|" + capture.err;
  }
  tool::ConfigureOutput(tool::Format::kTable, false);
  EXPECT_EQ(runs[0], "NAME\r\nx\r\n|tessary: line\n");
  EXPECT_EQ(runs[1], runs[0]);
}

}  // namespace
}  // namespace tessary::testing
