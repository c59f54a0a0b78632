#include "identify/UninstallPaths.h"

#include <shlwapi.h>

#include "common/Names.h"
#include "common/Text.h"

namespace tessary {
namespace {

constexpr bool IsQuote(wchar_t c) noexcept { return c == L'"'; }

}  // namespace

std::wstring DeriveUninstallerPath(std::wstring_view uninstallString) {
  std::wstring_view text = uninstallString;
  const auto spaceOrQuote = [](wchar_t c) { return c == L' ' || c == L'"'; };
  text = TrimWhile(text, spaceOrQuote);
  const size_t quote = text.find(L'"');
  if (quote != std::wstring_view::npos) text = text.substr(0, quote);
  const size_t exe = text.find(L".exe");
  if (exe != std::wstring_view::npos) text = text.substr(0, exe + 4);
  return std::wstring(text);
}

std::wstring ExePathFromUninstallString(std::wstring_view uninstallString) {
  const std::wstring lowered = LowerCopy(uninstallString);
  std::wstring_view text = lowered;
  text = TrimWhile(text, IsQuote);
  text = TrimBlanks(text);
  const std::wstring_view unstripped = text;
  text = TrimFrontWhile(text, [](wchar_t c) { return c == L'r' || c == L'e' || c == L'm'; });
  // The run may eat a "rem" before the path, but not a drive letter: without
  // it "e:\x.exe" would never equal its own image path.
  if (text.size() < unstripped.size() && !text.empty() && text.front() == L':') {
    text = unstripped.substr(unstripped.size() - text.size() - 1);
  }
  text = TrimBlanks(text);
  text = TrimWhile(text, IsQuote);
  const size_t exe = text.find(L".exe");
  if (exe == std::wstring_view::npos) return std::wstring(text);
  std::wstring_view path = text.substr(0, exe + 4);
  const size_t quote = path.find(L'"');
  if (quote != std::wstring_view::npos) path = path.substr(quote + 1);
  return std::wstring(path);
}

std::wstring DeriveApplicationPath(const InstalledProgramRecord& program) {
  const std::wstring_view icon(program.displayIcon);
  const size_t exe = icon.find(L".exe");
  if (exe != std::wstring_view::npos) {
    // Cutting after ".exe" drops an icon index such as ",0".
    std::wstring path(icon.substr(0, exe + 4));
    if (::PathFileExistsW(path.c_str())) return path;
  }
  std::wstring image = LowerCopy(program.arpImagePath);
  if (image == ExePathFromUninstallString(program.uninstallString)) return {};
  return image;
}

}  // namespace tessary
