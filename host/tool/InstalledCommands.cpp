// list, status, check and why: what is installed, and how the component
// tells.
#include <windows.h>
#include <wrl/client.h>

#include <algorithm>
#include <cwctype>
#include <initializer_list>
#include <optional>

#include "common/Text.h"
#include "common/Unique.h"
#include "inventory/InstalledProgramInventory.h"
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

const char* HiddenName(kaHiddenReason reason) {
  switch (reason) {
    case kaHiddenReason_none:
      return nullptr;
    case kaHiddenReason_systemComponent:
      return "systemComponent";
    case kaHiddenReason_update:
      return "update";
    case kaHiddenReason_noDisplayName:
      return "noDisplayName";
    case kaHiddenReason_noUninstallString:
      return "noUninstallString";
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
  Json json{{"key", Utf8(TextToNul(key.Get()))},
            {"source", SourceName(source)},
            {"displayName", Optional(name.Get())},
            {"displayVersion", Optional(version.Get())},
            {"publisher", Optional(publisher.Get())},
            {"uninstallString", Optional(uninstall.Get())},
            {"displayIcon", Optional(icon.Get())},
            {"installLocation", nullptr},
            {"installDate", nullptr},
            {"estimatedSize", nullptr},
            {"hidden", nullptr},
            {"hiddenBecause", nullptr}};
  // A component without the second program interface does not know these.
  ComPtr<IKaInstalledProgram2> more;
  if (FAILED(program->QueryInterface(IID_PPV_ARGS(&more)))) return json;
  UniqueBstr location, date;
  LONG size = -1;
  kaHiddenReason hidden = kaHiddenReason_none;
  Check(more->get_InstallLocation(location.Receive()), "reading an install location");
  Check(more->get_InstallDate(date.Receive()), "reading an install date");
  Check(more->get_EstimatedSize(&size), "reading an estimated size");
  Check(more->get_HiddenReason(&hidden), "reading why a program is hidden");
  json["installLocation"] = Optional(location.Get());
  json["installDate"] = Optional(date.Get());
  if (size >= 0) json["estimatedSize"] = size;
  json["hidden"] = hidden != kaHiddenReason_none;
  if (const char* because = HiddenName(hidden)) json["hiddenBecause"] = because;
  return json;
}

// The component's whole list, and how many Uninstall entries its build saw.
struct InstalledList {
  Json programs = Json::array();
  Json entryCount;  // null when the component does not count them
  bool capReached = false;
};

InstalledList ReadInstalledList(Session& session) {
  const ComPtr<IKaInstalledPrograms> programs =
      session.Create<IKaInstalledPrograms>(CLSID_KaInstalledSoft, "KaInstalledSoft");
  LONG count = 0;
  Check(programs->get_Count(&count), "counting the installed programs");
  InstalledList list;
  for (LONG i = 0; i < count; ++i) {
    ComPtr<IKaInstalledProgram> program;
    Check(programs->get_Item(i, &program), "reading an installed program");
    list.programs.push_back(ProgramJson(program.Get()));
  }
  ComPtr<IKaInstalledPrograms2> counted;
  if (SUCCEEDED(programs.As(&counted))) {
    LONG entries = 0;
    Check(counted->get_EntryCount(&entries), "counting the Uninstall entries");
    list.entryCount = entries;
    list.capReached = entries > count;
  }
  return list;
}

std::wstring Lower(std::wstring text) {
  if (!text.empty()) ::CharLowerBuffW(text.data(), static_cast<DWORD>(text.size()));
  return text;
}

bool Matches(const Json& program, const std::wstring& query) {
  for (const char* field : {"displayName", "publisher", "key"}) {
    if (Lower(WideOf(program[field])).find(query) != std::wstring::npos) return true;
  }
  return false;
}

// Versions compare by their numbers, then as text; absent ones go last.
bool VersionLess(const Json& a, const Json& b) {
  if (a.is_null() || b.is_null()) return !a.is_null() && b.is_null();
  const std::wstring x = WideOf(a);
  const std::wstring y = WideOf(b);
  size_t i = 0;
  size_t j = 0;
  while (i < x.size() && j < y.size()) {
    if (iswdigit(x[i]) && iswdigit(y[j])) {
      size_t ei = i, ej = j;
      unsigned long long nx = 0, ny = 0;
      while (ei < x.size() && iswdigit(x[ei])) nx = nx * 10 + (x[ei++] - L'0');
      while (ej < y.size() && iswdigit(y[ej])) ny = ny * 10 + (y[ej++] - L'0');
      if (nx != ny) return nx < ny;
      i = ei;
      j = ej;
    } else {
      const wchar_t cx = std::towlower(x[i++]);
      const wchar_t cy = std::towlower(y[j++]);
      if (cx != cy) return cx < cy;
    }
  }
  return x.size() - i < y.size() - j;
}

void SortPrograms(Json& programs, const std::string& by) {
  if (by.empty()) return;
  const auto text = [](const Json& value) { return Lower(WideOf(value)); };
  std::stable_sort(programs.begin(), programs.end(), [&](const Json& a, const Json& b) {
    if (by == "version") return VersionLess(a["displayVersion"], b["displayVersion"]);
    if (by == "name") {
      // Entries without a name go last.
      if (a["displayName"].is_null() != b["displayName"].is_null()) {
        return b["displayName"].is_null();
      }
      return text(a["displayName"]) < text(b["displayName"]);
    }
    const char* field = by == "key" ? "key" : "source";
    return text(a[field]) < text(b[field]);
  });
}

constexpr char kCapNote[] = "the component keeps the first 1,023";

// The component's list, read once and only when a command needs it.
class LazyList {
 public:
  explicit LazyList(Session& session) : session_(session) {}
  const InstalledList& Get() {
    if (!list_) list_ = ReadInstalledList(session_);
    return *list_;
  }

 private:
  Session& session_;
  std::optional<InstalledList> list_;
};

// A field the component keeps at a fixed width, and the list field that
// carries the same value whole.
struct CutWidth {
  const char* field;
  const char* listField;
  size_t width;
};
constexpr CutWidth kStatusCuts[] = {{"displayName", "displayName", 253},
                                    {"uninstallString", "uninstallString", 258}};
constexpr CutWidth kRecordCuts[] = {{"displayVersion", "displayVersion", 253},
                                    {"uninstallString", "uninstallString", 258}};

template <size_t N>
bool AtCutWidth(const Json& object, const CutWidth (&cuts)[N]) {
  for (const CutWidth& cut : cuts) {
    if (WideOf(object.value(cut.field, Json())).size() == cut.width) return true;
  }
  return false;
}

// The fields of `object` the component cut: exactly at their width, and a
// longer whole value among `whole` starts with them.
template <size_t N>
Json CutFields(const Json& object, const CutWidth (&cuts)[N],
               const std::vector<const Json*>& whole) {
  Json fields = Json::array();
  for (const CutWidth& cut : cuts) {
    const std::wstring value = WideOf(object.value(cut.field, Json()));
    if (value.size() != cut.width) continue;
    for (const Json* program : whole) {
      const std::wstring full = WideOf((*program)[cut.listField]);
      if (full.size() > value.size() && full.compare(0, value.size(), value) == 0) {
        fields.push_back(cut.field);
        break;
      }
    }
  }
  return fields;
}

std::vector<const Json*> AllPrograms(const InstalledList& list) {
  std::vector<const Json*> all;
  for (const Json& program : list.programs) all.push_back(&program);
  return all;
}

std::string Marked(const Json& object, const char* field) {
  std::string text = Cell(object.value(field, Json()));
  const auto cut = object.find("cutFields");
  if (cut != object.end() && std::find(cut->begin(), cut->end(), field) != cut->end()) {
    text += " (cut)";
  }
  return text;
}

constexpr char kNoEntryText[] = "no Uninstall entry under this key";

// Update entries, which the component never lists, are never the cap's doing.
bool IsUpdateKey(const std::wstring& key) {
  return key.compare(0, 2, L"KB") == 0 || key.compare(0, 2, L"kb") == 0;
}

// What the explanation cannot know: a key the registry holds that the
// component's list left out at its cap, and values it cut. Its records are
// compared with the list's programs under the same key and source.
void AnnotateWhy(Session& session, Json& document) {
  LazyList list(session);
  const auto steps = document.find("steps");
  if (steps != document.end()) {
    for (Json& step : *steps) {
      if (step.value("step", "") != "regkey" || !step.contains("steps")) continue;
      const std::wstring key = Wide(step.value("key", ""));
      for (Json& child : step["steps"]) {
        const std::string kind = child.value("step", "");
        if (kind == "decision" && child.value("text", "").rfind(kNoEntryText, 0) == 0 &&
            !key.empty() && !IsUpdateKey(key) && UninstallKeyExists(key.c_str()) &&
            list.Get().capReached) {
          const std::string text = child["text"];
          child["text"] = "past the component's 1,023-entry cap" +
                          text.substr(sizeof(kNoEntryText) - 1);
        }
        if (kind != "record") continue;
        child["cutFields"] = Json::array();
        if (!AtCutWidth(child, kRecordCuts)) continue;
        std::vector<const Json*> same;
        for (const Json& program : list.Get().programs) {
          if (Lower(WideOf(program["key"])) == Lower(key) &&
              program["source"] == child.value("source", Json())) {
            same.push_back(&program);
          }
        }
        child["cutFields"] = CutFields(child, kRecordCuts, same);
      }
    }
  }
  document["cutFields"] = Json::array();
  if (AtCutWidth(document, kStatusCuts)) {
    document["cutFields"] = CutFields(document, kStatusCuts, AllPrograms(list.Get()));
  }
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
    if (name == "step" || name == "steps" || name == "cutFields") continue;
    fields.emplace_back(name, Marked(step, name.c_str()));
  }
  Write(indent + kind + "\n");
  PrintFields(fields, indent + "  ");
  if (const auto steps = step.find("steps"); steps != step.end()) {
    for (const Json& child : *steps) ShowStep(child, indent + "  ");
  }
}

}  // namespace

Json RunList(Session& session, const ListOptions& options) {
  Progress progress;
  progress.Show("reading the installed programs ...");
  InstalledList all = ReadInstalledList(session);
  progress.Done();
  if (all.capReached) {
    PrintError("the registry holds " + all.entryCount.dump() + " Uninstall entries; " + kCapNote);
  }
  const std::wstring query = Lower(Wide(options.query));
  Json list = Json::array();
  for (Json& program : all.programs) {
    if (!options.source.empty() && program["source"] != options.source) continue;
    if (!query.empty() && !Matches(program, query)) continue;
    list.push_back(std::move(program));
  }
  SortPrograms(list, options.sort);
  const size_t count = list.size();
  return Json{{"count", count},
              {"entryCount", all.entryCount},
              {"capReached", all.capReached},
              {"programs", std::move(list)}};
}

void ShowList(const Json& document) {
  Table table({"DISPLAY NAME", "VERSION", "SOURCE", "KEY"});
  for (const Json& program : document["programs"]) {
    std::string name = Cell(program["displayName"]);
    if (program["hidden"] == true) name += " (hidden)";
    table.Add({name, Cell(program["displayVersion"]), Cell(program["source"]),
               Cell(program["key"])});
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
  LazyList installed(session);
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
    program["cutFields"] = Json::array();
    if (AtCutWidth(program, kStatusCuts)) {
      program["cutFields"] = CutFields(program, kStatusCuts, AllPrograms(installed.Get()));
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
                 {"display name", Marked(program, "displayName")},
                 {"uninstall", Marked(program, "uninstallString")},
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
  Json explanation = StepJson(root.Get());
  AnnotateWhy(session, explanation);
  return explanation;
}

void ShowWhy(const Json& document) {
  Write(Field(document, "name") + ": " + Field(document, "status"));
  if (document.contains("version")) Write(" " + Field(document, "version"));
  Write("\n");
  std::vector<std::pair<std::string, std::string>> outcome;
  for (const char* name : {"displayName", "winner", "reason"}) {
    if (document.contains(name)) outcome.emplace_back(name, Marked(document, name));
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
