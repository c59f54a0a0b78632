#pragma once
// The tool's output layer: every command builds one JSON document; --json
// prints it as it is, otherwise the command's renderer turns it into aligned
// tables sized for an 80-column console. Text goes out as UTF-8.
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

// Writes UTF-8 to standard output as it is (a pipe gets the bytes; a console
// is switched to UTF-8 first).
void Write(std::string_view text);
void PrintJson(const Json& document);

// One line on standard error: "tessary: <message>".
void PrintError(std::string_view message);

// Columns of text, aligned; the widest column is cut to keep each line within
// 80 columns. Wide (CJK) characters count two columns.
class Table {
 public:
  explicit Table(std::vector<std::string> headers) : headers_(std::move(headers)) {}
  void Add(std::vector<std::string> row) { rows_.push_back(std::move(row)); }
  bool Empty() const { return rows_.empty(); }
  void Print() const;

 private:
  std::vector<std::string> headers_;
  std::vector<std::vector<std::string>> rows_;
};

// "label   value" lines, labels aligned; empty values show as "-", long
// ones whole.
void PrintFields(const std::vector<std::pair<std::string, std::string>>& fields,
                 std::string_view indent = "");

// A JSON value as table text: strings as they are, null as "-".
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
  size_t shown_ = 0;
};

}  // namespace tessary::tool
