// tessary: the component's answers on the command line, as tables, JSON or
// CSV.
//
//   tessary [OPTIONS] COMMAND [ARGS]     (options before or after the command)
//   tessary --version | help [COMMAND] | COMMAND --help
//
// Exit code: 0 answered, 1 a query failed, 2 bad usage or data (arguments, a
// missing or malformed data file, a DLL that does not load); with
// --exit-code, 3 when the answer is "no" (a named program not installed or
// not known) or "yes, there are updates" - the rule per command sits beside
// its registration.
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <objbase.h>

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "datafiles/DataFiles.h"
#include "host/tool/Commands.h"

namespace tessary::tool {
namespace {

constexpr int kAnswered = 0;
constexpr int kUsage = 2;
constexpr int kNotice = 3;

struct Arguments {
  std::string dll;
  bool registered = false;
  std::string data;
  bool json = false;
  std::string format = "table";
  bool wide = false;
  bool exitCode = false;
  bool version = false;
  std::string helpTopic;
  std::vector<std::string> names;
  std::string name;
  std::string versionAsked;
};

struct Command {
  CLI::App* app = nullptr;
  std::function<Json(Session&)> run;
  std::function<void(const Json&)> show;
  bool tables = false;  // prints only tables: CSV can hold it
  // With --exit-code: true when the command exits 3 for this document.
  std::function<bool(const Json&)> notice;
  // True when the document reports bad data: exit 2 after printing it.
  std::function<bool(const Json&)> refused;
};

bool NotInstalled(const Json& program) { return program.value("status", "") != "installed"; }

std::vector<std::wstring> WideAll(const std::vector<std::string>& texts) {
  std::vector<std::wstring> wide;
  wide.reserve(texts.size());
  for (const std::string& text : texts) wide.push_back(Wide(text));
  return wide;
}

size_t Distance(std::string_view a, std::string_view b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

std::string UnknownCommand(const std::string& word, const std::deque<Command>& commands) {
  std::string nearest;
  size_t best = SIZE_MAX;
  std::string all;
  for (const Command& command : commands) {
    const std::string& name = command.app->get_name();
    const size_t distance = Distance(word, name);
    if (distance < best) best = distance, nearest = name;
    all += (all.empty() ? "" : ", ") + name;
  }
  std::string message = "unknown command \"" + word + "\"";
  // Far from every name is not a typo: list them instead.
  if (best <= std::max<size_t>(2, word.size() / 3)) {
    message += ": did you mean \"" + nearest + "\"?";
  } else {
    message += "; the commands are " + all;
  }
  return message + " (" + ResultName(E_INVALIDARG) + "); see tessary --help";
}

// The command word: the first argument that is neither an option nor an
// option's value.
std::string CommandWord(const CLI::App& app, const std::vector<std::string>& args) {
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--") return i + 1 < args.size() ? args[i + 1] : std::string();
    if (arg.empty() || arg[0] != '-') return arg;
    if (arg.find('=') != std::string::npos) continue;
    const CLI::Option* option = app.get_option_no_throw(arg);
    if (option && option->get_items_expected_min() > 0) ++i;
  }
  return {};
}

std::string GlobalOptionsHelp(const CLI::App& app) {
  std::string text = "\nGlobal options (before or after the command):\n";
  for (const CLI::Option* option : app.get_options()) {
    if (option == app.get_help_ptr()) continue;
    std::string names = option->get_name(false, true);
    if (option->get_items_expected_min() > 0) names += " " + option->get_type_name();
    names.resize(std::max<size_t>(names.size() + 2, 30), ' ');
    text += "  " + names + option->get_description() + "\n";
  }
  return text;
}

std::string CommandHelp(const CLI::App& app, const CLI::App& command) {
  std::string text = command.help();
  const std::string usage = "Usage: " + command.get_name();
  if (const size_t at = text.find(usage); at != std::string::npos) {
    text.replace(at, usage.size(), "Usage: tessary " + command.get_name());
  }
  return text + GlobalOptionsHelp(app);
}

// The file version in a module's version resource, "1.2.3.4".
std::string FileVersion(const std::wstring& path, HRESULT& hr) {
  DWORD ignored = 0;
  const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
  std::vector<BYTE> block(size);
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (size == 0 || !::GetFileVersionInfoW(path.c_str(), 0, size, block.data()) ||
      !::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) ||
      length < sizeof(VS_FIXEDFILEINFO)) {
    hr = HRESULT_FROM_WIN32(::GetLastError());
    if (SUCCEEDED(hr)) hr = HRESULT_FROM_WIN32(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return {};
  }
  hr = S_OK;
  return std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." +
         std::to_string(LOWORD(fixed->dwFileVersionMS)) + "." +
         std::to_string(HIWORD(fixed->dwFileVersionLS)) + "." +
         std::to_string(LOWORD(fixed->dwFileVersionLS));
}

// The DLL the options select: the registration's server for --registered.
std::wstring SelectedDll(const Options& options) {
  if (!options.registered) {
    if (options.dllPath.empty()) return ModuleDirectory(nullptr) + L"Tessary.dll";
    wchar_t full[MAX_PATH * 4];
    const DWORD length = ::GetFullPathNameW(options.dllPath.c_str(), ARRAYSIZE(full), full, nullptr);
    return length > 0 && length < ARRAYSIZE(full) ? full : options.dllPath;
  }
  wchar_t clsid[64];
  ::StringFromGUID2(CLSID_KaInstalledSoft, clsid, ARRAYSIZE(clsid));
  const std::wstring key = std::wstring(L"CLSID\\") + clsid + L"\\InprocServer32";
  wchar_t path[MAX_PATH * 4];
  DWORD bytes = sizeof(path);
  if (::RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, path,
                     &bytes) != ERROR_SUCCESS) {
    return {};
  }
  return path;
}

int ShowVersion(const Options& options) {
  wchar_t toolPath[MAX_PATH * 4];
  const DWORD toolLength = ::GetModuleFileNameW(nullptr, toolPath, ARRAYSIZE(toolPath));
  const std::wstring tool(toolPath, toolLength < ARRAYSIZE(toolPath) ? toolLength : 0);
  const std::wstring dll = SelectedDll(options);
  HRESULT toolRead = S_OK, dllRead = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
  const std::string toolVersion = FileVersion(tool, toolRead);
  const std::string dllVersion = dll.empty() ? std::string() : FileVersion(dll, dllRead);
  const auto entry = [](const std::wstring& path, const std::string& version) {
    return Json{{"path", path.empty() ? Json(nullptr) : Json(Utf8(path))},
                {"version", version.empty() ? Json(nullptr) : Json(version)}};
  };
  const Json document{{"tool", entry(tool, toolVersion)}, {"dll", entry(dll, dllVersion)}};
  if (OutputFormat() == Format::kJson) {
    PrintJson(document);
  } else {
    PrintFields({{"tessary", Cell(document["tool"]["version"]) + "  " + Utf8(tool)},
                 {"Tessary.dll", Cell(document["dll"]["version"]) + "  " +
                                     (dll.empty() ? "(not registered)" : Utf8(dll))}});
  }
  if (dll.empty()) {
    PrintError("no Tessary.dll is registered: " + ResultText(REGDB_E_CLASSNOTREG) +
               "; register it with regsvr32 Tessary.dll");
    return kUsage;
  }
  if (FAILED(dllRead)) {
    PrintError("the version of " + Utf8(dll) + ": " + ResultText(dllRead));
    return kUsage;
  }
  return kAnswered;
}

int Run(int argc, wchar_t** argv) {
  CLI::App app{"tessary: what the Tessary component knows about this PC", "tessary"};
  app.require_subcommand(0, 1);
  Arguments args;
  const auto dll = app.add_option("--dll", args.dll, "load this Tessary.dll (default: beside the tool)")
                       ->type_name("PATH");
  app.add_flag("--registered", args.registered, "create the objects through their registration")
      ->excludes(dll);
  app.add_option("--data", args.data,
                 "host data folder: catalog.xml, regkeys.xml, ignorelist.xml (default: host "
                 "beside the tool)")
      ->type_name("DIR");
  const auto format = app.add_option("--format", args.format, "table (default), json or csv")
                          ->check(CLI::IsMember({"table", "json", "csv"}))
                          ->type_name("FORMAT");
  app.add_flag("--json", args.json, "print one JSON document (--format json)")->excludes(format);
  app.add_flag("--wide", args.wide, "show every table value whole, however wide the console");
  app.add_flag("--exit-code", args.exitCode,
               "exit 3 when a named program is not installed or not known, or there are updates");
  app.add_flag("--version", args.version, "the tool's and the DLL's file versions");

  std::deque<Command> commands;
  const auto command = [&](const char* name, const char* help, auto runner, auto shower,
                           bool tables, std::function<bool(const Json&)> notice = {}) {
    Command& entry = commands.emplace_back();
    entry.app = app.add_subcommand(name, help);
    entry.app->fallthrough();
    entry.run = runner;
    entry.show = shower;
    entry.tables = tables;
    entry.notice = std::move(notice);
    return entry.app;
  };
  ListOptions listOptions;
  CLI::App* list = command("list", "every installed program (Uninstall entries)",
                           [&](Session& s) { return RunList(s, listOptions); }, ShowList, true);
  list->add_option("QUERY", listOptions.query, "only programs whose name, publisher or key holds this");
  list->add_option("--source", listOptions.source, "only entries of this registry view")
      ->check(CLI::IsMember({"machine64", "machine32", "user"}));
  list->add_option("--sort", listOptions.sort, "order (default: the component's)")
      ->check(CLI::IsMember({"name", "key", "source", "version"}));
  command("status", "install status, version, uninstall and startup command of programs",
          [&](Session& s) { return RunStatus(s, WideAll(args.names)); }, ShowStatus, false,
          [](const Json& document) {
            const Json& programs = document["programs"];
            return std::any_of(programs.begin(), programs.end(), NotInstalled);
          })
      ->add_option("NAME", args.names, "software names")
      ->required();
  CLI::App* check = command(
      "check", "is this version of a program installed?",
      [&](Session& s) { return RunCheck(s, Wide(args.name), Wide(args.versionAsked)); }, ShowCheck,
      false, NotInstalled);
  check->add_option("NAME", args.name, "software name")->required();
  check->add_option("VERSION", args.versionAsked, "version")->required();
  command("updates", "newer catalog versions of installed programs",
          [](Session& s) { return RunUpdates(s); }, ShowUpdates, true,
          [](const Json& document) { return document.value("programCount", 0) > 0; });
  command("catalog", "the catalog: counts per subset, then every program",
          [](Session& s) { return RunCatalog(s); }, ShowCatalog, true);
  command("types", "main type of programs by registry key",
          [&](Session& s) { return RunTypes(s, WideAll(args.names)); }, ShowTypes, true)
      ->add_option("REGKEY", args.names, "Uninstall key names")
      ->required();
  command("recommend", "the recommendation lists and what of them is installed",
          [](Session& s) { return RunRecommend(s); }, ShowRecommend, true);
  command("antivirus", "the antivirus product found", [](Session& s) { return RunAntivirus(s); },
          ShowAntivirus, false);
  command("why", "how a program is identified: rules, keys, files, shortcuts",
          [&](Session& s) { return RunWhy(s, Wide(args.name)); }, ShowWhy, false, NotInstalled)
      ->add_option("NAME", args.name, "software name")
      ->required();
  command("validate", "check data files: well-formed, their format, likely mistakes",
          [&](Session& s) { return RunValidate(s, WideAll(args.names)); }, ShowValidate, false,
          [](const Json& document) { return document.value("warningCount", 0) > 0; })
      ->add_option("FILE", args.names, "data files (default: KaData beside the DLL and --data's)");
  commands.back().refused = [](const Json& document) {
    return document.value("errorCount", 0) > 0;
  };
  CLI::App* help = app.add_subcommand("help", "a command's help: help COMMAND");
  help->add_option("COMMAND", args.helpTopic, "command");
  // Set last: subcommands made before it would inherit it.
  app.footer(
      "\nExit codes: 0 answered, 1 a query failed, 2 bad usage or data (validate: errors\n"
      "found); with --exit-code, 3 when status, check or why find a program not installed\n"
      "or not known, updates finds updates, or validate finds only warnings.\n");

  const auto find = [&](const std::string& name) -> const Command* {
    for (const Command& entry : commands) {
      if (entry.app->get_name() == name) return &entry;
    }
    return nullptr;
  };

  std::vector<std::string> utf8Args;
  utf8Args.reserve(static_cast<size_t>(argc));
  for (int i = 0; i < argc; ++i) utf8Args.push_back(Utf8(argv[i]));
  const std::string word = CommandWord(app, utf8Args);
  if (!word.empty() && word != "help" && !find(word)) {
    PrintError(UnknownCommand(word, commands));
    return kUsage;
  }
  std::vector<char*> pointers;
  pointers.reserve(utf8Args.size());
  for (std::string& arg : utf8Args) pointers.push_back(arg.data());
  try {
    app.parse(static_cast<int>(pointers.size()), pointers.data());
  } catch (const CLI::CallForHelp&) {
    for (const Command& entry : commands) {
      if (entry.app->parsed()) {
        Write(CommandHelp(app, *entry.app));
        return kAnswered;
      }
    }
    Write(app.help());
    return kAnswered;
  } catch (const CLI::ParseError& error) {
    PrintError(std::string(error.what()) + " (" + ResultName(E_INVALIDARG) +
               "); see tessary --help");
    return kUsage;
  }

  if (help->parsed()) {
    if (args.helpTopic.empty()) {
      Write(app.help());
    } else if (const Command* topic = find(args.helpTopic)) {
      Write(CommandHelp(app, *topic->app));
    } else {
      PrintError(UnknownCommand(args.helpTopic, commands));
      return kUsage;
    }
    return kAnswered;
  }

  const Format chosen = args.json || args.format == "json" ? Format::kJson
                        : args.format == "csv"             ? Format::kCsv
                                                           : Format::kTable;
  ConfigureOutput(chosen, args.wide);
  Options options;
  options.dllPath = Wide(args.dll);
  options.registered = args.registered;
  options.dataFolder = Wide(args.data);
  options.json = chosen == Format::kJson;
  if (args.version) return ShowVersion(options);

  const Command* chosenCommand = nullptr;
  for (const Command& entry : commands) {
    if (entry.app->parsed()) chosenCommand = &entry;
  }
  if (!chosenCommand) {
    PrintError("no command given (" + ResultName(E_INVALIDARG) + "); see tessary --help");
    return kUsage;
  }
  if (chosen == Format::kCsv && !chosenCommand->tables) {
    PrintError(chosenCommand->app->get_name() +
               " prints no table: --format csv is for list, updates, catalog, types and "
               "recommend (" +
               ResultName(E_INVALIDARG) + ")");
    return kUsage;
  }
  try {
    Json document;
    {
      Session session(options);
      document = chosenCommand->run(session);
    }
    if (chosen == Format::kJson) {
      PrintJson(document);
    } else {
      chosenCommand->show(document);
    }
    if (chosenCommand->refused && chosenCommand->refused(document)) return kUsage;
    if (args.exitCode && chosenCommand->notice && chosenCommand->notice(document)) return kNotice;
    return kAnswered;
  } catch (const Failure& failure) {
    PrintError(failure.message);
    return failure.exitCode;
  }
}

// One run as the batch sees it: exit code, output and time.
Json BatchRun(const Json& line) {
  Json result{{"exit", kUsage}, {"out", ""}, {"err", ""}, {"ms", 0}};
  if (!line.is_array() || !std::all_of(line.begin(), line.end(),
                                        [](const Json& arg) { return arg.is_string(); })) {
    result["err"] = "a batch line is a JSON array of strings\n";
    return result;
  }
  std::vector<std::wstring> args{L"tessary"};
  for (const Json& arg : line) args.push_back(Wide(arg.get<std::string>()));
  std::vector<wchar_t*> argv;
  argv.reserve(args.size());
  for (std::wstring& arg : args) argv.push_back(arg.data());
  const ULONGLONG start = ::GetTickCount64();
  OutputCapture capture;
  int code = kUsage;
  try {
    code = Run(static_cast<int>(argv.size()), argv.data());
  } catch (const std::bad_alloc&) {
    PrintError(ResultText(E_OUTOFMEMORY));
  }
  result["exit"] = code;
  result["out"] = std::move(capture.out);
  result["err"] = std::move(capture.err);
  result["ms"] = ::GetTickCount64() - start;
  return result;
}

}  // namespace

// Many runs in one process, for the tool's test: each line of the file a JSON
// array of arguments, each answered at once by a line of JSON (flushed, so a
// run that never ends is seen as the one after the last answer).
int RunBatch(const wchar_t* path) {
  const std::unique_ptr<FILE, int (*)(FILE*)> file(::_wfopen(path, L"rb"), std::fclose);
  if (!file) {
    PrintError("batch file " + Utf8(path) + ": " +
               ResultText(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)));
    return kUsage;
  }
  std::string text;
  char buffer[65536];
  for (size_t read; (read = std::fread(buffer, 1, sizeof(buffer), file.get())) > 0;) {
    text.append(buffer, read);
  }
  size_t begin = 0;
  while (begin < text.size()) {
    size_t end = text.find('\n', begin);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(begin, end - begin);
    begin = end + 1;
    if (line.find_first_not_of(" \r\t") == std::string::npos) continue;
    const Json result = BatchRun(Json::parse(line, nullptr, false));
    const std::string answer =
        result.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
    std::fwrite(answer.data(), 1, answer.size(), stdout);
    std::fflush(stdout);
  }
  return kAnswered;
}

}  // namespace tessary::tool

int wmain(int argc, wchar_t** argv) {
  _setmode(_fileno(stdout), _O_BINARY);
  if (argc >= 3 && std::wstring_view(argv[1]) == tessary::tool::kStopOption) {
    return tessary::tool::ShowStreamingReaderStops(argc - 2, argv + 2);
  }
  if (argc == 3 && std::wstring_view(argv[1]) == tessary::tool::kElementsOption) {
    return tessary::tool::ShowElementPositions(argv[2]);
  }
  // The component's objects are apartment-threaded: the tool runs an STA.
  const HRESULT initialized = ::CoInitialize(nullptr);
  if (FAILED(initialized)) {
    tessary::tool::PrintError("CoInitialize: " + tessary::tool::ResultText(initialized));
    return 2;
  }
  int code = 2;
  try {
    code = argc == 3 && std::wstring_view(argv[1]) == tessary::tool::kBatchOption
               ? tessary::tool::RunBatch(argv[2])
               : tessary::tool::Run(argc, argv);
  } catch (const std::bad_alloc&) {
    tessary::tool::PrintError(tessary::tool::ResultText(E_OUTOFMEMORY));
  }
  ::CoUninitialize();
  return code;
}
