#pragma once
// The tool's output layer: every command builds one JSON document; the JSON
// format prints it as it is, otherwise the command's renderer turns it into
// aligned tables (or, for CSV, prints only its tables, every value whole).
//
// Registry text is shown, never obeyed: in table text every control
// character (C0, DEL, C1) and every bidirectional override is written as an
// escape (`\e`, `\r`, `\n`, `\t`, `\x7f`, `\u009b`), so no value can move the
// cursor, recolour the console or split a row. JSON keeps JSON's escaping;
// CSV keeps values whole and quoted.
//
// On a console, text is written as UTF-16 (WriteConsoleW), whatever the code
// page; redirected, it is UTF-8 bytes.
#include <windows.h>

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessary::tool {

using Json = nlohmann::ordered_json;

std::string Utf8(std::wstring_view text);
std::wstring Wide(std::string_view utf8);

// A result code by name where it has a well-known one, else 0x%08X.
std::string ResultName(HRESULT hr);
// The system's words for a result code beside its name: "the system cannot
// find the file specified (0x80070002)"; the name alone when the system has
// no words for it.
std::string ResultText(HRESULT hr);

enum class Format { kTable, kJson, kCsv };
// Set once by the command line before anything is printed. `wide` shows
// every table value whole on a console too.
void ConfigureOutput(Format format, bool wide);
Format OutputFormat();

// Control characters and bidirectional overrides as visible escapes; with
// `keepLineFeeds`, line feeds stay (for text that is made of lines).
std::string Escaped(std::string_view utf8, bool keepLineFeeds = false);
// Columns the text takes on a console: East Asian wide and emoji two,
// combining and zero-width characters none, others one.
int DisplayWidth(std::string_view utf8);
// Cut to `width` columns, the cut marked with "~" (the one cut mark).
std::string CutToWidth(std::string_view utf8, int width);
// One CSV field (RFC 4180): quoted when it must be, and a value a spreadsheet
// would run as a formula (leading =, +, -, @, TAB or CR) prefixed with "'".
std::string CsvField(std::string_view utf8);

// Table-view text to standard output, control characters other than line
// feeds escaped. CSV prints tables only: this text is left out there.
void Write(std::string_view text);
void PrintJson(const Json& document);

// One line on standard error: "tessary: <message>", escaped to stay one line.
void PrintError(std::string_view message);

// While one lives, what would go to standard output and standard error is
// kept in `out` and `err` instead, as UTF-8 bytes (the batch runs commands
// in-process this way).
struct OutputCapture {
  OutputCapture();
  ~OutputCapture();
  OutputCapture(const OutputCapture&) = delete;
  OutputCapture& operator=(const OutputCapture&) = delete;
  std::string out;
  std::string err;

 private:
  OutputCapture* previous_;
};

// A table column; name columns (what a row is about) are cut last.
struct Column {
  Column(const char* header) : header(header) {}  // NOLINT: a plain header
  Column(std::string header) : header(std::move(header)) {}  // NOLINT
  std::string header;
  bool name = false;
};
inline Column NameColumn(std::string header) {
  Column column(std::move(header));
  column.name = true;
  return column;
}

// A column's natural width, the width below which it is never cut (its
// header, or 8), and whether it is a name column.
struct ColumnFit {
  int width;
  int floor;
  bool name;
};
// The widths that keep a line (columns two apart) within `limit` (0: no
// limit): the widest other column is cut first, name columns last, none
// below its floor, even when the line stays too long.
std::vector<int> FitColumns(const std::vector<ColumnFit>& columns, int limit);

// Columns of text, aligned by display width. On a console the line is kept
// within its width: other columns are cut first, name columns last, each cut
// marked with "~"; redirected output and --wide are never cut. In CSV the
// table prints as CSV (a second table with the same headers continues the
// first without repeating them).
//
// A table printed under a heading of its own (one per recommendation list,
// say) names it with Within: CSV leaves headings out, so there the heading
// becomes the table's first column.
class Table {
 public:
  explicit Table(std::vector<Column> columns) : columns_(std::move(columns)) {}
  void Add(std::vector<std::string> row) { rows_.push_back(std::move(row)); }
  void Within(std::string header, std::string heading) {
    within_ = {std::move(header), std::move(heading)};
  }
  bool Empty() const { return rows_.empty(); }
  void Print() const;

 private:
  void PrintCsv() const;

  std::vector<Column> columns_;
  std::vector<std::vector<std::string>> rows_;
  std::pair<std::string, std::string> within_;
};

// "label   value" lines, labels aligned; empty values show as "-", long
// ones whole.
void PrintFields(const std::vector<std::pair<std::string, std::string>>& fields,
                 std::string_view indent = "");

// A JSON value as table text: strings as they are, null as "-" (as nothing
// in CSV).
std::string Cell(const Json& value);

// A line on standard error that updates in place while long work runs; silent
// when standard error is not a console.
class Progress {
 public:
  Progress();
  ~Progress() { Done(); }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  void Show(std::string_view text);
  void Done();

 private:
  HANDLE console_ = nullptr;
  int columns_ = 80;
  size_t shown_ = 0;
};

}  // namespace tessary::tool
