#include "host/tool/Output.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

namespace tessary::tool {
namespace {

struct Range {
  char32_t first;
  char32_t last;
};

// Code points that take no column: combining marks, zero-width characters,
// variation selectors and tags. Compact rather than complete: the scripts a
// program name is likely to be written in.
constexpr Range kZeroWidth[] = {
    {0x0300, 0x036F},   {0x0483, 0x0489},   {0x0591, 0x05BD},   {0x05BF, 0x05BF},
    {0x05C1, 0x05C2},   {0x05C4, 0x05C5},   {0x05C7, 0x05C7},   {0x0610, 0x061A},
    {0x064B, 0x065F},   {0x0670, 0x0670},   {0x06D6, 0x06DC},   {0x06DF, 0x06E4},
    {0x06E7, 0x06E8},   {0x06EA, 0x06ED},   {0x0900, 0x0902},   {0x093A, 0x093A},
    {0x093C, 0x093C},   {0x0941, 0x0948},   {0x094D, 0x094D},   {0x0951, 0x0957},
    {0x0E31, 0x0E31},   {0x0E34, 0x0E3A},   {0x0E47, 0x0E4E},   {0x1160, 0x11FF},
    {0x1AB0, 0x1AFF},   {0x1DC0, 0x1DFF},   {0x200B, 0x200F},   {0x2060, 0x2064},
    {0x20D0, 0x20FF},   {0x302A, 0x302D},   {0x3099, 0x309A},   {0xFE00, 0xFE0F},
    {0xFE20, 0xFE2F},   {0xFEFF, 0xFEFF},   {0xE0001, 0xE007F}, {0xE0100, 0xE01EF},
};

// Code points that take two columns: East Asian wide and fullwidth, and the
// emoji shown in emoji presentation by default.
constexpr Range kDoubleWidth[] = {
    {0x1100, 0x115F},   {0x231A, 0x231B},   {0x2329, 0x232A},   {0x23E9, 0x23EC},
    {0x23F0, 0x23F0},   {0x23F3, 0x23F3},   {0x25FD, 0x25FE},   {0x2614, 0x2615},
    {0x2648, 0x2653},   {0x267F, 0x267F},   {0x2693, 0x2693},   {0x26A1, 0x26A1},
    {0x26AA, 0x26AB},   {0x26BD, 0x26BE},   {0x26C4, 0x26C5},   {0x26CE, 0x26CE},
    {0x26D4, 0x26D4},   {0x26EA, 0x26EA},   {0x26F2, 0x26F3},   {0x26F5, 0x26F5},
    {0x26FA, 0x26FA},   {0x26FD, 0x26FD},   {0x2705, 0x2705},   {0x270A, 0x270B},
    {0x2728, 0x2728},   {0x274C, 0x274C},   {0x274E, 0x274E},   {0x2753, 0x2755},
    {0x2757, 0x2757},   {0x2795, 0x2797},   {0x27B0, 0x27B0},   {0x27BF, 0x27BF},
    {0x2B1B, 0x2B1C},   {0x2B50, 0x2B50},   {0x2B55, 0x2B55},   {0x2E80, 0x303E},
    {0x3041, 0x33FF},   {0x3400, 0x4DBF},   {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},
    {0xA960, 0xA97F},   {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},   {0xFE10, 0xFE19},
    {0xFE30, 0xFE6F},   {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},   {0x16FE0, 0x16FE4},
    {0x17000, 0x18CFF}, {0x1B000, 0x1B2FF}, {0x1F004, 0x1F004}, {0x1F0CF, 0x1F0CF},
    {0x1F18E, 0x1F18E}, {0x1F191, 0x1F19A}, {0x1F200, 0x1F251}, {0x1F300, 0x1F64F},
    {0x1F680, 0x1F6FF}, {0x1F7E0, 0x1F7EB}, {0x1F90C, 0x1F9FF}, {0x1FA70, 0x1FAFF},
    {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD},
};

template <size_t N>
bool In(const Range (&table)[N], char32_t c) {
  const auto found = std::upper_bound(std::begin(table), std::end(table), c,
                                      [](char32_t value, const Range& r) { return value < r.first; });
  return found != std::begin(table) && c <= std::prev(found)->last;
}

int ColumnsOf(char32_t c) {
  if (In(kZeroWidth, c)) return 0;
  return In(kDoubleWidth, c) ? 2 : 1;
}

struct CodePoint {
  char32_t value;
  size_t length;
  bool valid;
};

// One UTF-8 sequence at `i`; a malformed byte is one invalid code point.
CodePoint Decode(std::string_view s, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char b = byte(i);
  if (b < 0x80) return {b, 1, true};
  const size_t length = (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
  if (length == 0 || i + length > s.size()) return {b, 1, false};
  char32_t c = b & (0x3F >> (length - 1));
  for (size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return {b, 1, false};
    c = (c << 6) | (byte(i + k) & 0x3F);
  }
  return {c, length, true};
}

// Text that must not reach a console as it is: C0, DEL, C1, the line and
// paragraph separators, and the bidirectional controls that reorder a line.
bool NeedsEscape(char32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029 ||
         (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069) || c == 0x200E ||
         c == 0x200F;
}

std::string EscapeOf(char32_t c) {
  switch (c) {
    case 0x1B:
      return "\\e";
    case '\r':
      return "\\r";
    case '\n':
      return "\\n";
    case '\t':
      return "\\t";
    default:
      break;
  }
  char text[12];
  if (c < 0x80) {
    std::snprintf(text, sizeof(text), "\\x%02x", static_cast<unsigned>(c));
  } else {
    std::snprintf(text, sizeof(text), "\\u%04x", static_cast<unsigned>(c));
  }
  return text;
}

}  // namespace

std::string CutToWidth(std::string_view s, int width) {
  if (DisplayWidth(s) <= width) return std::string(s);
  std::string out;
  int used = 0;
  for (size_t i = 0; i < s.size();) {
    const CodePoint c = Decode(s, i);
    const int columns = ColumnsOf(c.value);
    if (used + columns > width - 1) break;
    out.append(s.substr(i, c.length));
    used += columns;
    i += c.length;
  }
  return out + "~";
}

namespace {

void Pad(std::string& line, std::string_view cell, int width) {
  line += cell;
  line.append(static_cast<size_t>(std::max(0, width - DisplayWidth(cell))), ' ');
}

constexpr int kDefaultColumns = 80;
constexpr int kGap = 2;
constexpr int kUnlimited = 0;

Format g_format = Format::kTable;
bool g_wide = false;

bool IsConsole(HANDLE handle) {
  DWORD mode = 0;
  return handle && handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode);
}

// Columns a line may take on the console behind `handle`: one less than its
// width, since filling the last column wraps the cursor to an empty line.
int LineColumns(HANDLE handle) {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!::GetConsoleScreenBufferInfo(handle, &info)) return kDefaultColumns - 1;
  const int columns = info.srWindow.Right - info.srWindow.Left + 1;
  return (columns > 1 ? columns : kDefaultColumns) - 1;
}

// The columns a table line may take: unlimited when redirected or --wide.
int TableColumns() {
  static const int columns = [] {
    const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    return IsConsole(out) ? LineColumns(out) : kUnlimited;
  }();
  return g_wide ? kUnlimited : columns;
}

// Where a batch run's output goes instead of the standard handles.
OutputCapture* g_capture = nullptr;

// Text to a standard handle: UTF-16 to a console, UTF-8 bytes otherwise.
void Emit(DWORD which, std::string_view text) {
  if (text.empty()) return;
  if (g_capture) {
    (which == STD_ERROR_HANDLE ? g_capture->err : g_capture->out).append(text);
    return;
  }
  FILE* stream = which == STD_ERROR_HANDLE ? stderr : stdout;
  const HANDLE handle = ::GetStdHandle(which);
  if (IsConsole(handle)) {
    std::fflush(stream);
    const std::wstring wide = Wide(text);
    size_t done = 0;
    while (done < wide.size()) {
      DWORD written = 0;
      const DWORD chunk = static_cast<DWORD>(std::min<size_t>(wide.size() - done, 16384));
      if (!::WriteConsoleW(handle, wide.data() + done, chunk, &written, nullptr) || written == 0) {
        break;
      }
      done += written;
    }
    return;
  }
  std::fwrite(text.data(), 1, text.size(), stream);
}

std::string g_lastCsvHeader;

}  // namespace

std::string Utf8(std::wstring_view text) {
  if (text.empty()) return {};
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<size_t>(std::max(size, 0)), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size,
                        nullptr, nullptr);
  return bytes;
}

std::wstring Wide(std::string_view utf8) {
  if (utf8.empty()) return {};
  const int size =
      ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring text(static_cast<size_t>(std::max(size, 0)), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), text.data(), size);
  return text;
}

std::string ResultName(HRESULT hr) {
  static const struct {
    HRESULT code;
    const char* name;
  } kNames[] = {
      {S_OK, "S_OK"},
      {S_FALSE, "S_FALSE"},
      {E_FAIL, "E_FAIL"},
      {E_POINTER, "E_POINTER"},
      {E_INVALIDARG, "E_INVALIDARG"},
      {E_OUTOFMEMORY, "E_OUTOFMEMORY"},
      {E_NOINTERFACE, "E_NOINTERFACE"},
      {E_NOTIMPL, "E_NOTIMPL"},
      {E_ACCESSDENIED, "E_ACCESSDENIED"},
      {E_UNEXPECTED, "E_UNEXPECTED"},
      {REGDB_E_CLASSNOTREG, "REGDB_E_CLASSNOTREG"},
      {CLASS_E_CLASSNOTAVAILABLE, "CLASS_E_CLASSNOTAVAILABLE"},
      {CO_E_NOTINITIALIZED, "CO_E_NOTINITIALIZED"},
  };
  for (const auto& entry : kNames) {
    if (entry.code == hr) return entry.name;
  }
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08lX", static_cast<unsigned long>(hr));
  return text;
}

std::string ResultText(HRESULT hr) {
  const auto message = [](DWORD code) {
    wchar_t* buffer = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text(buffer ? buffer : L"", buffer ? length : 0);
    if (buffer) ::LocalFree(buffer);
    return text;
  };
  std::wstring words = message(static_cast<DWORD>(hr));
  if (words.empty() && HRESULT_FACILITY(hr) == FACILITY_WIN32) words = message(HRESULT_CODE(hr));
  while (!words.empty() && (iswspace(words.back()) || words.back() == L'.')) words.pop_back();
  // Inserts were not filled: "%1 is not a valid application" names the file.
  for (size_t at = words.find(L"%1"); at != std::wstring::npos; at = words.find(L"%1")) {
    words.replace(at, 2, L"the file");
  }
  // Mid-sentence: "Access denied" reads "access denied", "COM" stays.
  if (words.size() > 1 && iswupper(words[0]) && iswlower(words[1])) words[0] = towlower(words[0]);
  if (words.empty()) return ResultName(hr);
  return Escaped(Utf8(words)) + " (" + ResultName(hr) + ")";
}

void ConfigureOutput(Format format, bool wide) {
  g_format = format;
  g_wide = wide;
  g_lastCsvHeader.clear();
}

OutputCapture::OutputCapture() : previous_(g_capture) { g_capture = this; }
OutputCapture::~OutputCapture() { g_capture = previous_; }

Format OutputFormat() { return g_format; }

std::string Escaped(std::string_view utf8, bool keepLineFeeds) {
  std::string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) {
    const CodePoint c = Decode(utf8, i);
    if (!c.valid) {
      char text[8];
      std::snprintf(text, sizeof(text), "\\x%02x", static_cast<unsigned>(c.value));
      out += text;
    } else if (NeedsEscape(c.value) && !(keepLineFeeds && c.value == '\n')) {
      out += EscapeOf(c.value);
    } else {
      out.append(utf8.substr(i, c.length));
    }
    i += c.length;
  }
  return out;
}

int DisplayWidth(std::string_view utf8) {
  int width = 0;
  for (size_t i = 0; i < utf8.size();) {
    const CodePoint c = Decode(utf8, i);
    width += ColumnsOf(c.value);
    i += c.length;
  }
  return width;
}

std::string CsvField(std::string_view utf8) {
  // A lone "-" is the table's "nothing": text, not a formula.
  const bool formula = !utf8.empty() && utf8 != "-" &&
                       std::string_view("=+-@\t\r").find(utf8.front()) != std::string_view::npos;
  std::string value = formula ? "'" : "";
  value.append(utf8);
  if (value.find_first_of(",\"\r\n") == std::string::npos) return value;
  std::string quoted = "\"";
  for (const char c : value) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

void Write(std::string_view text) {
  if (g_format == Format::kCsv) return;
  Emit(STD_OUTPUT_HANDLE, Escaped(text, true));
}

void PrintJson(const Json& document) { Emit(STD_OUTPUT_HANDLE, document.dump(2) + "\n"); }

void PrintError(std::string_view message) {
  std::fflush(stdout);
  Emit(STD_ERROR_HANDLE, "tessary: " + Escaped(message) + "\n");
  std::fflush(stderr);
}

std::vector<int> FitColumns(const std::vector<ColumnFit>& columns, int limit) {
  std::vector<int> widths;
  widths.reserve(columns.size());
  for (const ColumnFit& column : columns) widths.push_back(column.width);
  if (limit == kUnlimited || columns.empty()) return widths;
  // The widest other column gives way first, the name columns only when the
  // others are down to their floor; a header is never cut.
  for (const bool names : {false, true}) {
    for (;;) {
      int total = kGap * static_cast<int>(columns.size() - 1);
      for (const int w : widths) total += w;
      if (total <= limit) return widths;
      int widest = -1;
      for (size_t c = 0; c < columns.size(); ++c) {
        if (columns[c].name != names || widths[c] <= columns[c].floor) continue;
        if (widest < 0 || widths[c] > widths[static_cast<size_t>(widest)]) {
          widest = static_cast<int>(c);
        }
      }
      if (widest < 0) break;
      const size_t w = static_cast<size_t>(widest);
      widths[w] = std::max(columns[w].floor, widths[w] - (total - limit));
    }
  }
  return widths;
}

void Table::PrintCsv() const {
  std::string text;
  const bool within = !within_.first.empty();
  const auto addRow = [&](const std::string& first, const auto& cells, const auto& valueOf) {
    if (within) text += CsvField(first) + ',';
    for (size_t c = 0; c < columns_.size(); ++c) {
      if (c > 0) text += ',';
      text += CsvField(c < cells.size() ? valueOf(cells[c]) : std::string());
    }
    text += "\r\n";
  };
  std::string header;
  addRow(within_.first, columns_, [](const Column& column) { return column.header; });
  header.swap(text);
  if (header != g_lastCsvHeader) text = header;
  g_lastCsvHeader = header;
  for (const auto& row : rows_) {
    addRow(within_.second, row, [](const std::string& cell) { return cell; });
  }
  Emit(STD_OUTPUT_HANDLE, text);
}

void Table::Print() const {
  if (g_format == Format::kCsv) return PrintCsv();
  const size_t columns = columns_.size();
  std::vector<std::string> headers;
  headers.reserve(columns);
  for (const Column& column : columns_) headers.push_back(Escaped(column.header));
  std::vector<std::vector<std::string>> rows;
  rows.reserve(rows_.size());
  for (const auto& row : rows_) {
    std::vector<std::string> cells;
    cells.reserve(columns);
    for (size_t c = 0; c < columns; ++c) cells.push_back(c < row.size() ? Escaped(row[c]) : "");
    rows.push_back(std::move(cells));
  }
  std::vector<int> widths(columns, 0);
  for (size_t c = 0; c < columns; ++c) widths[c] = DisplayWidth(headers[c]);
  for (const auto& row : rows) {
    for (size_t c = 0; c < columns; ++c) widths[c] = std::max(widths[c], DisplayWidth(row[c]));
  }
  std::vector<ColumnFit> fits;
  fits.reserve(columns);
  for (size_t c = 0; c < columns; ++c) {
    fits.push_back({widths[c], std::max(DisplayWidth(headers[c]), 8), columns_[c].name});
  }
  widths = FitColumns(fits, TableColumns());
  const auto printRow = [&](const std::vector<std::string>& row) {
    std::string line;
    for (size_t c = 0; c < columns; ++c) {
      const std::string cell = CutToWidth(row[c], widths[c]);
      if (c + 1 == columns) {
        line += cell;
      } else {
        Pad(line, cell, widths[c] + kGap);
      }
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    Emit(STD_OUTPUT_HANDLE, line + "\n");
  };
  printRow(headers);
  std::vector<std::string> rule;
  rule.reserve(widths.size());
  for (int w : widths) rule.push_back(std::string(static_cast<size_t>(w), '-'));
  printRow(rule);
  for (const auto& row : rows) printRow(row);
}

void PrintFields(const std::vector<std::pair<std::string, std::string>>& fields,
                 std::string_view indent) {
  int width = 0;
  for (const auto& [label, value] : fields) width = std::max(width, DisplayWidth(label));
  // Values are never cut: a path or command line is what support needs whole.
  for (const auto& [label, value] : fields) {
    std::string line(indent);
    Pad(line, Escaped(label), width + kGap);
    line += value.empty() ? "-" : Escaped(value);
    Write(line + "\n");
  }
}

std::string Cell(const Json& value) {
  if (value.is_null()) return g_format == Format::kCsv ? "" : "-";
  if (value.is_string()) return value.get<std::string>();
  if (value.is_boolean()) return value.get<bool>() ? "yes" : "no";
  return value.dump();
}

Progress::Progress() {
  const HANDLE error = ::GetStdHandle(STD_ERROR_HANDLE);
  if (IsConsole(error)) {
    console_ = error;
    columns_ = LineColumns(error);
  }
}

void Progress::Show(std::string_view text) {
  if (!console_) return;
  const std::string shown = CutToWidth(Escaped(text), columns_);
  const size_t width = static_cast<size_t>(DisplayWidth(shown));
  std::string line = "\r" + shown;
  if (width < shown_) line.append(shown_ - width, ' ');
  shown_ = std::max(width, shown_);
  Emit(STD_ERROR_HANDLE, line);
}

void Progress::Done() {
  if (!console_ || shown_ == 0) return;
  std::string blank(shown_ + 2, ' ');
  blank.front() = blank.back() = '\r';
  Emit(STD_ERROR_HANDLE, blank);
  shown_ = 0;
}

}  // namespace tessary::tool
