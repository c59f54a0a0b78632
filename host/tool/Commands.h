#pragma once
// The tool's commands. Each builds one JSON document from the component's
// answers (Run...) and has a renderer that prints that document as tables
// (Show...). Field names are documented in the README and kept stable.
#include <string>
#include <vector>

#include "TessaryLib.h"
#include "host/tool/Output.h"
#include "host/tool/Session.h"

namespace tessary::tool {

// Installed programs: InstalledCommands.cpp.
struct ListOptions {
  std::string query;   // case-insensitive, over display name, publisher and key
  std::string source;  // machine64, machine32, user; empty: all
  std::string sort;    // name, key, source, version; empty: the component's order
};
Json RunList(Session& session, const ListOptions& options);
void ShowList(const Json& document);
Json RunStatus(Session& session, const std::vector<std::wstring>& names);
void ShowStatus(const Json& document);
Json RunCheck(Session& session, const std::wstring& name, const std::wstring& version);
void ShowCheck(const Json& document);
Json RunWhy(Session& session, const std::wstring& name);
void ShowWhy(const Json& document);

// The catalog: CatalogCommands.cpp.
Json RunCatalog(Session& session);
void ShowCatalog(const Json& document);
Json RunUpdates(Session& session);
void ShowUpdates(const Json& document);
Json RunTypes(Session& session, const std::vector<std::wstring>& keys);
void ShowTypes(const Json& document);

// Advice for the user: AdviceCommands.cpp.
Json RunRecommend(Session& session);
void ShowRecommend(const Json& document);
Json RunAntivirus(Session& session);
void ShowAntivirus(const Json& document);

// The data files checked: ValidateCommand.cpp. No files: KaData beside the
// DLL and the host data folder's files.
Json RunValidate(Session& session, const std::vector<std::wstring>& files);
void ShowValidate(const Json& document);
// The child validate starts to find where the streaming reader stops in
// files: "tessary --xml-stop PATH..." prints "LINE COLUMN", or "-" for none,
// a line per file as it reads it.
inline constexpr wchar_t kStopOption[] = L"--xml-stop";
int ShowStreamingReaderStops(int count, wchar_t** paths);
// And where each element starts, for validate's format problems: "tessary
// --xml-elements PATH" prints "DEPTH LINE COLUMN NAME" per element in
// document order, then "end" once the reader has read the whole file.
inline constexpr wchar_t kElementsOption[] = L"--xml-elements";
int ShowElementPositions(const wchar_t* path);
// The tool's test runs many commands in one process: "tessary --batch FILE"
// reads one JSON array of arguments per line and prints one JSON line per
// run: {"exit", "out", "err", "ms"}.
inline constexpr wchar_t kBatchOption[] = L"--batch";
int RunBatch(const wchar_t* path);

// Shared by the command files.
const char* StatusName(kaSoftInstallStatus status);
// A COM string as JSON: null when absent or empty.
Json Optional(BSTR text);
std::wstring WideOf(const Json& value);
// The name the component gives a main type it does not know ("" if none), and
// a main type as JSON with that name as null.
std::wstring UnknownMainType(Session& session);
Json MainTypeJson(BSTR type, const std::wstring& unknown);

}  // namespace tessary::tool
