// tessary: the component's answers on the command line, as tables or JSON.
//
//   tessary [--json] [--dll PATH | --registered] [--data DIR] COMMAND [ARGS]
//
// Exit code: 0 done, 1 a query failed, 2 the command could not start (bad
// arguments, a missing or malformed data file, a DLL that does not load).
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <objbase.h>

#include <CLI/CLI.hpp>

#include <functional>
#include <new>
#include <string>
#include <vector>

#include "host/tool/Commands.h"

namespace tessary::tool {
namespace {

struct Arguments {
  std::string dll;
  bool registered = false;
  std::string data;
  bool json = false;
  std::vector<std::string> names;
  std::string name;
  std::string version;
};

std::vector<std::wstring> WideAll(const std::vector<std::string>& texts) {
  std::vector<std::wstring> wide;
  for (const std::string& text : texts) wide.push_back(Wide(text));
  return wide;
}

int Run(int argc, wchar_t** argv) {
  CLI::App app{"tessary: what the Tessary component knows about this PC", "tessary"};
  app.require_subcommand(1, 1);
  Arguments args;
  const auto dll = app.add_option("--dll", args.dll, "load this Tessary.dll (default: beside the tool)");
  app.add_flag("--registered", args.registered, "create the objects through their registration")
      ->excludes(dll);
  app.add_option("--data", args.data,
                 "host data folder: catalog.xml, regkeys.xml, ignorelist.xml (default: host)");
  app.add_flag("--json", args.json, "print one JSON document");

  // Each command: what it runs and how its document is shown.
  std::function<Json(Session&)> run;
  std::function<void(const Json&)> show;
  const auto command = [&](const char* name, const char* help, auto runner, auto shower) {
    CLI::App* sub = app.add_subcommand(name, help);
    sub->fallthrough();
    sub->callback([&run, &show, runner, shower] {
      run = runner;
      show = shower;
    });
    return sub;
  };
  ListOptions listOptions;
  CLI::App* list = command("list", "every installed program (Uninstall entries)",
                           [&](Session& s) { return RunList(s, listOptions); }, ShowList);
  list->add_option("QUERY", listOptions.query, "only programs whose name, publisher or key holds this");
  list->add_option("--source", listOptions.source, "only entries of this registry view")
      ->check(CLI::IsMember({"machine64", "machine32", "user"}));
  list->add_option("--sort", listOptions.sort, "order (default: the component's)")
      ->check(CLI::IsMember({"name", "key", "source", "version"}));
  command("status", "install status, version, uninstall and startup command of programs",
          [&](Session& s) { return RunStatus(s, WideAll(args.names)); }, ShowStatus)
      ->add_option("NAME", args.names, "software names")
      ->required();
  CLI::App* check = command("check", "is this version of a program installed?",
                            [&](Session& s) {
                              return RunCheck(s, Wide(args.name), Wide(args.version));
                            },
                            ShowCheck);
  check->add_option("NAME", args.name, "software name")->required();
  check->add_option("VERSION", args.version, "version")->required();
  command("updates", "newer catalog versions of installed programs",
          [](Session& s) { return RunUpdates(s); }, ShowUpdates);
  command("catalog", "the catalog: counts per subset, then every program",
          [](Session& s) { return RunCatalog(s); }, ShowCatalog);
  command("types", "main type of programs by registry key",
          [&](Session& s) { return RunTypes(s, WideAll(args.names)); }, ShowTypes)
      ->add_option("REGKEY", args.names, "Uninstall key names")
      ->required();
  command("recommend", "the recommendation lists and what of them is installed",
          [](Session& s) { return RunRecommend(s); }, ShowRecommend);
  command("antivirus", "the antivirus product found", [](Session& s) { return RunAntivirus(s); },
          ShowAntivirus);
  command("why", "how a program is identified: rules, keys, files, shortcuts",
          [&](Session& s) { return RunWhy(s, Wide(args.name)); }, ShowWhy)
      ->add_option("NAME", args.name, "software name")
      ->required();

  std::vector<std::string> utf8Args;
  for (int i = 0; i < argc; ++i) utf8Args.push_back(Utf8(argv[i]));
  std::vector<char*> pointers;
  for (std::string& arg : utf8Args) pointers.push_back(arg.data());
  try {
    app.parse(static_cast<int>(pointers.size()), pointers.data());
  } catch (const CLI::CallForHelp&) {
    Write(app.help());
    return 0;
  } catch (const CLI::ParseError& error) {
    PrintError(std::string(error.what()) + " (" + ResultName(E_INVALIDARG) + "); see tessary --help");
    return 2;
  }

  Options options;
  options.dllPath = Wide(args.dll);
  options.registered = args.registered;
  options.dataFolder = Wide(args.data);
  options.json = args.json;
  try {
    Json document;
    {
      Session session(options);
      document = run(session);
    }
    if (options.json) {
      PrintJson(document);
    } else {
      show(document);
    }
    return 0;
  } catch (const Failure& failure) {
    PrintError(failure.message);
    return failure.exitCode;
  }
}

}  // namespace
}  // namespace tessary::tool

int wmain(int argc, wchar_t** argv) {
  _setmode(_fileno(stdout), _O_BINARY);
  // The component's objects are apartment-threaded: the tool runs an STA.
  const HRESULT initialized = ::CoInitialize(nullptr);
  if (FAILED(initialized)) {
    tessary::tool::PrintError("CoInitialize: " + tessary::tool::ResultName(initialized));
    return 2;
  }
  int code = 2;
  try {
    code = tessary::tool::Run(argc, argv);
  } catch (const std::bad_alloc&) {
    tessary::tool::PrintError("out of memory (E_OUTOFMEMORY)");
  }
  ::CoUninitialize();
  return code;
}
