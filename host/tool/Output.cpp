#include "host/tool/Output.h"

#include <cstdio>

namespace tessary::tool {
namespace {

// Columns a code point takes on a console: two for the wide East Asian
// blocks, one otherwise.
int ColumnsOf(char32_t c) {
  const bool wide = (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF) ||
                    (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) ||
                    (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
                    (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x20000 && c <= 0x3FFFD);
  return wide ? 2 : 1;
}

// Decodes one UTF-8 sequence at `i`; malformed bytes count as one character.
char32_t Next(std::string_view s, size_t& i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char b = byte(i);
  size_t length = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 1;
  if (i + length > s.size()) length = 1;
  char32_t c = length == 1 ? b : b & (0x3F >> (length - 1));
  for (size_t k = 1; k < length; ++k) c = (c << 6) | (byte(i + k) & 0x3F);
  i += length;
  return c;
}

int Width(std::string_view s) {
  int width = 0;
  for (size_t i = 0; i < s.size();) width += ColumnsOf(Next(s, i));
  return width;
}

// Cut to `width` columns, marking the cut with "~".
std::string Fit(std::string_view s, int width) {
  if (Width(s) <= width) return std::string(s);
  std::string out;
  int used = 0;
  for (size_t i = 0; i < s.size();) {
    const size_t start = i;
    const int columns = ColumnsOf(Next(s, i));
    if (used + columns > width - 1) break;
    out.append(s.substr(start, i - start));
    used += columns;
  }
  return out + "~";
}

void Pad(std::string& line, std::string_view cell, int width) {
  line += cell;
  line.append(static_cast<size_t>(std::max(0, width - Width(cell))), ' ');
}

constexpr int kConsoleColumns = 80;
constexpr int kGap = 2;

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

void Write(std::string_view text) {
  static const bool prepared = [] {
    DWORD mode = 0;
    if (::GetConsoleMode(::GetStdHandle(STD_OUTPUT_HANDLE), &mode)) ::SetConsoleOutputCP(CP_UTF8);
    return true;
  }();
  (void)prepared;
  std::fwrite(text.data(), 1, text.size(), stdout);
}

void PrintJson(const Json& document) { Write(document.dump(2) + "\n"); }

void PrintError(std::string_view message) {
  std::fflush(stdout);
  const std::string line = "tessary: " + std::string(message) + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

void Table::Print() const {
  const size_t columns = headers_.size();
  std::vector<int> widths(columns, 0);
  for (size_t c = 0; c < columns; ++c) widths[c] = Width(headers_[c]);
  for (const auto& row : rows_) {
    for (size_t c = 0; c < columns && c < row.size(); ++c) {
      widths[c] = std::max(widths[c], Width(row[c]));
    }
  }
  // Shrink the widest column until the line fits; headers stay readable.
  for (;;) {
    int total = kGap * static_cast<int>(columns - 1);
    for (int w : widths) total += w;
    if (total <= kConsoleColumns) break;
    size_t widest = 0;
    for (size_t c = 1; c < columns; ++c) {
      if (widths[c] > widths[widest]) widest = c;
    }
    const int floor = std::max(Width(headers_[widest]), 8);
    if (widths[widest] <= floor) break;
    widths[widest] = std::max(floor, widths[widest] - (total - kConsoleColumns));
  }
  const auto printRow = [&](const std::vector<std::string>& row) {
    std::string line;
    for (size_t c = 0; c < columns; ++c) {
      const std::string cell = Fit(c < row.size() ? row[c] : "", widths[c]);
      if (c + 1 == columns) {
        line += cell;
      } else {
        Pad(line, cell, widths[c] + kGap);
      }
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    Write(line + "\n");
  };
  printRow(headers_);
  std::vector<std::string> rule;
  for (int w : widths) rule.push_back(std::string(static_cast<size_t>(w), '-'));
  printRow(rule);
  for (const auto& row : rows_) printRow(row);
}

void PrintFields(const std::vector<std::pair<std::string, std::string>>& fields,
                 std::string_view indent) {
  int width = 0;
  for (const auto& [label, value] : fields) width = std::max(width, Width(label));
  // Values are never cut: a path or command line is what support needs whole.
  for (const auto& [label, value] : fields) {
    std::string line(indent);
    Pad(line, label, width + kGap);
    line += value.empty() ? "-" : value;
    Write(line + "\n");
  }
}

std::string Cell(const Json& value) {
  if (value.is_null()) return "-";
  if (value.is_string()) return value.get<std::string>();
  if (value.is_boolean()) return value.get<bool>() ? "yes" : "no";
  return value.dump();
}

Progress::Progress() {
  const HANDLE error = ::GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (error && error != INVALID_HANDLE_VALUE && ::GetConsoleMode(error, &mode)) console_ = error;
}

void Progress::Show(std::string_view text) {
  if (!console_) return;
  std::string line = "\r" + Fit(text, kConsoleColumns - 1);
  const size_t width = static_cast<size_t>(Width(text));
  if (width < shown_) line.append(shown_ - width, ' ');
  shown_ = std::max(width, shown_);
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

void Progress::Done() {
  if (!console_ || shown_ == 0) return;
  const std::string blank = "\r" + std::string(shown_, ' ') + "\r";
  std::fwrite(blank.data(), 1, blank.size(), stderr);
  std::fflush(stderr);
  shown_ = 0;
}

}  // namespace tessary::tool
