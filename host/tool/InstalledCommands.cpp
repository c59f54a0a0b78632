// list, status, check and why: what is installed, and how the component
// tells.
#include <windows.h>
#include <wrl/client.h>

#include "common/Text.h"
#include "common/Unique.h"
#include "host/tool/Commands.h"
#include "datafiles/DataFiles.h"
#include "datafiles/XmlDom.h"

namespace tessary::tool {
namespace {

using Microsoft::WRL::ComPtr;

const char* SourceName(kaUninstallSource source) {
  switch (source) {
    case kaUninstallSource_machine64:
      return "machine64";
    case kaUninstallSource_machine32:
      return "machine32";
    case kaUninstallSource_user:
      return "user";
  }
  return "unknown";
}

Json ProgramJson(IKaInstalledProgram* program) {
  UniqueBstr key, name, version, publisher, uninstall, icon;
  kaUninstallSource source = kaUninstallSource_user;
  Check(program->get_KeyName(key.Receive()), "reading a program's key name");
  Check(program->get_Source(&source), "reading a program's source");
  Check(program->get_DisplayName(name.Receive()), "reading a program's display name");
  Check(program->get_DisplayVersion(version.Receive()), "reading a program's version");
  Check(program->get_Publisher(publisher.Receive()), "reading a program's publisher");
  Check(program->get_UninstallString(uninstall.Receive()), "reading an uninstall string");
  Check(program->get_DisplayIcon(icon.Receive()), "reading a display icon");
  return Json{{"key", Utf8(TextToNul(key.Get()))},
              {"source", SourceName(source)},
              {"displayName", Optional(name.Get())},
              {"displayVersion", Optional(version.Get())},
              {"publisher", Optional(publisher.Get())},
              {"uninstallString", Optional(uninstall.Get())},
              {"displayIcon", Optional(icon.Get())}};
}

// The explanation's XML as JSON: each element an object holding its
// attributes, its element name as "step" and its children as "steps".
Json StepJson(IXMLDOMNode* element) {
  Json step = Json::object();
  UniqueBstr tag;
  element->get_nodeName(tag.Receive());
  step["step"] = Utf8(TextToNul(tag.Get()));
  ForEachAttribute(element, [&](BSTR name, BSTR value) {
    step[Utf8(TextToNul(name))] = Utf8(TextToNul(value));
  });
  Json steps = Json::array();
  ForEachChildElement(element, [&](IXMLDOMNode* child) { steps.push_back(StepJson(child)); });
  if (!steps.empty()) step["steps"] = std::move(steps);
  return step;
}

std::string Field(const Json& object, const char* name) {
  const auto found = object.find(name);
  return found == object.end() ? std::string() : Cell(*found);
}

void ShowStep(const Json& step, const std::string& indent) {
  const std::string kind = step.value("step", "");
  std::vector<std::pair<std::string, std::string>> fields;
  for (const auto& [name, value] : step.items()) {
    if (name == "step" || name == "steps") continue;
    fields.emplace_back(name, Cell(value));
  }
  Write(indent + kind + "\n");
  PrintFields(fields, indent + "  ");
  if (const auto steps = step.find("steps"); steps != step.end()) {
    for (const Json& child : *steps) ShowStep(child, indent + "  ");
  }
}

}  // namespace

Json RunList(Session& session) {
  Progress progress;
  progress.Show("reading the installed programs ...");
  const ComPtr<IKaInstalledPrograms> programs =
      session.Create<IKaInstalledPrograms>(CLSID_KaInstalledSoft, "KaInstalledSoft");
  LONG count = 0;
  Check(programs->get_Count(&count), "counting the installed programs");
  Json list = Json::array();
  for (LONG i = 0; i < count; ++i) {
    ComPtr<IKaInstalledProgram> program;
    Check(programs->get_Item(i, &program), "reading an installed program");
    list.push_back(ProgramJson(program.Get()));
  }
  return Json{{"count", count}, {"programs", std::move(list)}};
}

void ShowList(const Json& document) {
  Table table({NameColumn("DISPLAY NAME"), "VERSION", "SOURCE", "KEY"});
  for (const Json& program : document["programs"]) {
    table.Add({Cell(program["displayName"]), Cell(program["displayVersion"]),
               Cell(program["source"]), Cell(program["key"])});
  }
  table.Print();
  Write(std::to_string(document["count"].get<long>()) + " programs\n");
}

Json RunStatus(Session& session, const std::vector<std::wstring>& names) {
  session.CheckComponentData(Session::kIdentificationRules | Session::kTypeFiles);
  IKaSoftStatusManager* manager = session.Manager();
  ComPtr<IKaSoftTypeStorage> types;
  Check(manager->GetSoftTypeStorage(&types), "GetSoftTypeStorage");
  Progress progress;
  Json list = Json::array();
  for (const std::wstring& name : names) {
    progress.Show("identifying " + Utf8(name) + " ...");
    UniqueBstr bstrName;
    if (!bstrName.CopyFrom(name.c_str())) Fail(1, "copying a name", E_OUTOFMEMORY);
    kaSoftInstallStatus status = kaSoftInstallStatus_unknown;
    UniqueBstr version, displayName;
    Check(manager->GetSoftInstallStatus(bstrName.Get(), &status, version.Receive(),
                                        displayName.Receive()),
          "GetSoftInstallStatus " + Utf8(name));
    Json program{{"name", Utf8(name)},
                 {"status", StatusName(status)},
                 {"version", Optional(version.Get())},
                 {"displayName", Optional(displayName.Get())},
                 {"uninstallString", nullptr},
                 {"startupExe", nullptr},
                 {"mainType", nullptr},
                 {"mainTypeKey", nullptr}};
    if (status == kaSoftInstallStatus_installed) {
      UniqueBstr asked, uninstall, startup;
      if (!asked.CopyFrom(version ? version.Get() : L"")) Fail(1, "copying", E_OUTOFMEMORY);
      if (SUCCEEDED(manager->GetUninstallString(bstrName.Get(), asked.Get(),
                                                uninstall.Receive()))) {
        program["uninstallString"] = Optional(uninstall.Get());
      }
      if (SUCCEEDED(manager->GetStartupExeString(bstrName.Get(), startup.Receive()))) {
        program["startupExe"] = Optional(startup.Get());
      }
    }
    // The type storage is asked by registry key: the first key with a type.
    if (const std::vector<std::wstring>* keys = session.RegistryKeysOf(name)) {
      for (const std::wstring& key : *keys) {
        UniqueBstr bstrKey, type;
        if (!bstrKey.CopyFrom(key.c_str())) Fail(1, "copying", E_OUTOFMEMORY);
        if (SUCCEEDED(types->GetSoftMainTypeByRegKey(bstrKey.Get(), type.Receive()))) {
          program["mainType"] = Optional(type.Get());
          program["mainTypeKey"] = Utf8(key);
          break;
        }
      }
    }
    list.push_back(std::move(program));
  }
  return Json{{"programs", std::move(list)}};
}

void ShowStatus(const Json& document) {
  bool first = true;
  for (const Json& program : document["programs"]) {
    if (!first) Write("\n");
    first = false;
    Write(Cell(program["name"]) + "\n");
    PrintFields({{"status", Cell(program["status"])},
                 {"version", Cell(program["version"])},
                 {"display name", Cell(program["displayName"])},
                 {"uninstall", Cell(program["uninstallString"])},
                 {"starts", Cell(program["startupExe"])},
                 {"main type", program["mainType"].is_null()
                                   ? "-"
                                   : Cell(program["mainType"]) + " (by key " +
                                         Cell(program["mainTypeKey"]) + ")"}},
                "  ");
  }
}

Json RunCheck(Session& session, const std::wstring& name, const std::wstring& version) {
  session.CheckComponentData(Session::kIdentificationRules);
  IKaSoftStatusManager* manager = session.Manager();
  UniqueBstr bstrName, bstrVersion, displayName;
  if (!bstrName.CopyFrom(name.c_str()) || !bstrVersion.CopyFrom(version.c_str())) {
    Fail(1, "copying", E_OUTOFMEMORY);
  }
  kaSoftInstallStatus status = kaSoftInstallStatus_unknown;
  Check(manager->GetSoftInstallStatusWithVer(bstrName.Get(), bstrVersion.Get(), &status,
                                             displayName.Receive()),
        "GetSoftInstallStatusWithVer " + Utf8(name));
  return Json{{"name", Utf8(name)},
              {"version", Utf8(version)},
              {"status", StatusName(status)},
              {"displayName", Optional(displayName.Get())}};
}

void ShowCheck(const Json& document) {
  PrintFields({{"name", Cell(document["name"])},
               {"version asked", Cell(document["version"])},
               {"status", Cell(document["status"])},
               {"display name", Cell(document["displayName"])}});
}

Json RunWhy(Session& session, const std::wstring& name) {
  session.CheckComponentData(Session::kIdentificationRules);
  Progress progress;
  progress.Show("reading the rules and the installed programs ...");
  const ComPtr<IKaIdentifyExplain> explain =
      session.Create<IKaIdentifyExplain>(CLSID_KaCommonSoft, "KaCommonSoft");
  UniqueBstr bstrName, text;
  if (!bstrName.CopyFrom(name.c_str())) Fail(1, "copying", E_OUTOFMEMORY);
  Check(explain->ExplainIdentification(bstrName.Get(), text.Receive()),
        "ExplainIdentification " + Utf8(name));
  const ComPtr<IXMLDOMDocument> document = LoadXmlText(text.Get());
  const ComPtr<IXMLDOMNode> root =
      document ? SelectRoot(document.Get(), L"explanation") : nullptr;
  if (!root) Fail(1, "the explanation of " + Utf8(name) + " is not XML", E_FAIL);
  return StepJson(root.Get());
}

void ShowWhy(const Json& document) {
  Write(Field(document, "name") + ": " + Field(document, "status"));
  if (document.contains("version")) Write(" " + Field(document, "version"));
  Write("\n");
  std::vector<std::pair<std::string, std::string>> outcome;
  for (const char* name : {"displayName", "winner", "reason"}) {
    if (document.contains(name)) outcome.emplace_back(name, Field(document, name));
  }
  PrintFields(outcome, "  ");
  if (const auto steps = document.find("steps"); steps != document.end()) {
    for (const Json& step : *steps) ShowStep(step, "  ");
  }
}

const char* StatusName(kaSoftInstallStatus status) {
  switch (status) {
    case kaSoftInstallStatus_installed:
      return "installed";
    case kaSoftInstallStatus_noInstall:
      return "notInstalled";
    case kaSoftInstallStatus_noIdentifyInfo:
      return "noIdentifyInfo";
    case kaSoftInstallStatus_unknown:
      return "unknown";
  }
  return "unexpected";
}

Json Optional(BSTR text) {
  if (!text || ::SysStringLen(text) == 0) return nullptr;
  return Utf8(TextToNul(text));
}

std::wstring WideOf(const Json& value) { return value.is_string() ? Wide(value.get<std::string>()) : L""; }

}  // namespace tessary::tool
