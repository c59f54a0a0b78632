// list, status, check and why: what is installed, and how the component
// tells.
#include <windows.h>
#include <wrl/client.h>

#include <algorithm>
#include <cwctype>
#include <initializer_list>
#include <optional>

#include "common/Names.h"
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
            {"hidden", false},
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

// The explanation's attributes as the tool's fields, per element: each
// element becomes an object with its kind as "step" and every field of its
// kind present, null when the explanation leaves the attribute out.
enum class Convert { kText, kFlag, kVersion, kCached, kSkipped };
struct FieldMap {
  const wchar_t* attribute;
  const char* field;
  Convert convert = Convert::kText;
};
struct StepKind {
  const wchar_t* element;
  std::vector<FieldMap> fields;
  bool hasSteps;
};

const std::vector<StepKind>& StepKinds() {
  static const std::vector<StepKind> kinds = {
      {L"regkey",
       {{L"key", "key"}, {L"policy", "policy"}, {L"path", "path"},
        {L"displayName", "ruleDisplayName"}},
       true},
      {L"startmenu",
       {{L"folder", "folder"}, {L"appFile", "appFile"}, {L"uninstallFile", "uninstallFile"},
        {L"policy", "policy"}, {L"skipped", "skipped", Convert::kSkipped}},
       true},
      {L"record",
       {{L"found", "found", Convert::kFlag}, {L"source", "source"},
        {L"displayVersion", "displayVersion"}, {L"uninstallString", "uninstallString"},
        {L"uninstaller", "uninstaller"}, {L"application", "application"},
        {L"arpImage", "arpImage"}, {L"appShortcut", "appShortcut"},
        {L"uninstallShortcut", "uninstallShortcut"}},
       false},
      {L"alternative", {{L"path", "path"}}, false},
      {L"version",
       {{L"path", "path"}, {L"policy", "policy"}, {L"from", "from"}, {L"file", "file"},
        {L"read", "cached", Convert::kCached}, {L"result", "result"},
        {L"value", "versionRead", Convert::kVersion}},
       false},
      {L"decision", {{L"text", "text"}}, false},
  };
  return kinds;
}

std::optional<std::wstring> AttributeOf(IXMLDOMNode* element, const wchar_t* name) {
  UniqueBstr value;
  if (AttributeByName(element, name, value) != S_OK) return std::nullopt;
  return std::wstring(TextToNul(value.Get()));
}

Json TextOrNull(const std::optional<std::wstring>& text) {
  if (!text || text->empty()) return nullptr;
  return Utf8(*text);
}

void SetField(Json& step, const FieldMap& map, const std::optional<std::wstring>& value) {
  switch (map.convert) {
    case Convert::kText:
      step[map.field] = TextOrNull(value);
      return;
    case Convert::kFlag:
      step[map.field] = value && *value == L"yes";
      return;
    case Convert::kVersion:
      // The explanation writes a read that gave nothing as "(none)".
      step[map.field] = value && *value == L"(none)" ? Json(nullptr) : TextOrNull(value);
      return;
    case Convert::kCached:
      // Only file reads say whether they were cached.
      step[map.field] = value ? Json(*value == L"cached") : Json(nullptr);
      return;
    case Convert::kSkipped:
      step["skipped"] = value.has_value();
      step["skippedBecause"] = TextOrNull(value);
      return;
  }
}

Json StepJson(IXMLDOMNode* element) {
  UniqueBstr tag;
  element->get_nodeName(tag.Receive());
  const std::wstring kind(TextToNul(tag.Get()));
  Json step{{"step", Utf8(kind)}};
  for (const StepKind& known : StepKinds()) {
    if (kind != known.element) continue;
    for (const FieldMap& map : known.fields) {
      SetField(step, map, AttributeOf(element, map.attribute));
    }
    if (known.hasSteps) {
      Json steps = Json::array();
      ForEachChildElement(element, [&](IXMLDOMNode* child) { steps.push_back(StepJson(child)); });
      step["steps"] = std::move(steps);
    }
  }
  return step;
}

// The rule that answered, from the explanation's "regkey KEY" or
// "startmenu FOLDER": its step's first record found and its last decision.
Json WinnerJson(const std::optional<std::wstring>& winner, const Json& steps) {
  if (!winner || winner->empty()) return nullptr;
  const size_t space = winner->find(L' ');
  const std::string kind = Utf8(winner->substr(0, space));
  const std::string place = space == std::wstring::npos ? "" : Utf8(winner->substr(space + 1));
  const char* placeField = kind == "regkey" ? "key" : "folder";
  Json answer{{"kind", kind},
              {"key", nullptr},
              {"folder", nullptr},
              {"source", nullptr},
              {"displayVersion", nullptr},
              {"decision", nullptr}};
  answer[placeField] = place;
  for (const Json& step : steps) {
    if (step["step"] != kind || step.value(placeField, Json()) != place) continue;
    for (const Json& inner : step["steps"]) {
      if (inner["step"] == "record" && inner["found"] == true && answer["source"].is_null()) {
        answer["source"] = inner["source"];
        answer["displayVersion"] = inner["displayVersion"];
      }
      if (inner["step"] == "decision") answer["decision"] = inner["text"];
    }
    break;
  }
  return answer;
}

std::string Marked(const Json& object, const char* field) {
  std::string text = Cell(object.value(field, Json()));
  const auto cut = object.find("cutFields");
  if (cut != object.end() && std::find(cut->begin(), cut->end(), field) != cut->end()) {
    text += " (cut)";
  }
  return text;
}

void ShowStep(const Json& step, const std::string& indent) {
  std::vector<std::pair<std::string, std::string>> fields;
  for (const auto& [name, value] : step.items()) {
    // A skipped location says so through skippedBecause.
    if (name == "step" || name == "steps" || name == "skipped" || name == "cutFields" ||
        value.is_null()) {
      continue;
    }
    if (value.is_boolean()) {
      fields.emplace_back(name, value.get<bool>() ? "yes" : "no");
    } else {
      fields.emplace_back(name, Marked(step, name.c_str()));
    }
  }
  Write(indent + Cell(step["step"]) + "\n");
  PrintFields(fields, indent + "  ");
  if (const auto steps = step.find("steps"); steps != step.end()) {
    for (const Json& child : *steps) ShowStep(child, indent + "  ");
  }
}

// The component's whole list, and how many Uninstall entries its build saw.
struct InstalledPrograms {
  Json programs = Json::array();
  Json entryCount;  // null when the component does not count them
};

InstalledPrograms ReadInstalledPrograms(Session& session) {
  const ComPtr<IKaInstalledPrograms> programs =
      session.Create<IKaInstalledPrograms>(CLSID_KaInstalledSoft, "KaInstalledSoft");
  LONG count = 0;
  Check(programs->get_Count(&count), "counting the installed programs");
  InstalledPrograms list;
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

// The component's list, read once and only when a command needs it.
class LazyList {
 public:
  explicit LazyList(Session& session) : session_(session) {}
  const InstalledPrograms& Get() {
    if (!list_) {
      list_ = ReadInstalledPrograms(session_);
      // Its counts tell the cap: no second build for it.
      if (list_->entryCount.is_number()) {
        session_.SetInstalledCounts(list_->entryCount.get<LONG>(),
                                    static_cast<LONG>(list_->programs.size()));
      }
    }
    return *list_;
  }

 private:
  Session& session_;
  std::optional<InstalledPrograms> list_;
};

// A field the component keeps at a fixed width, and the list field that
// carries the same value whole.
struct CutWidth {
  const char* field;
  const char* listField;
  size_t width;
};
// The installed name is the rule's own text, never a registry value: only the
// version (read from DisplayVersion) and the uninstall command can be cut.
constexpr CutWidth kStatusCuts[] = {{"installedVersion", "displayVersion", 253},
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

std::vector<const Json*> AllPrograms(const InstalledPrograms& list) {
  std::vector<const Json*> all;
  for (const Json& program : list.programs) all.push_back(&program);
  return all;
}


// A name the rules do not know may be what `list` shows: the entries of
// `installed` whose key or display name it is, each with the rules that name
// that key.
Json EntriesNamed(Session& session, const Json& installed, const std::wstring& name) {
  Json entries = Json::array();
  for (const Json& program : installed) {
    const std::wstring key = WideOf(program["key"]);
    const char* matchedBy = SameIgnoringCase(key.c_str(), name.c_str()) ? "key"
                            : SameIgnoringCase(WideOf(program["displayName"]).c_str(),
                                               name.c_str())
                                ? "displayName"
                                : nullptr;
    if (!matchedBy) continue;
    Json rules = Json::array();
    for (const auto& [ruleName, rule] : session.Rules().Entries()) {
      for (const RegKeyRule& keyRule : rule.regKeyRules) {
        if (SameIgnoringCase(keyRule.regKey.c_str(), key.c_str())) {
          rules.push_back(Utf8(ruleName));
          break;
        }
      }
    }
    entries.push_back(Json{{"key", program["key"]},
                           {"source", program["source"]},
                           {"displayName", program["displayName"]},
                           {"displayVersion", program["displayVersion"]},
                           {"matchedBy", matchedBy},
                           {"ruleNames", std::move(rules)}});
  }
  return entries;
}

// At the cap the entries looked at are only those the component keeps.
void ShowEntries(const Json& entries, bool capReached, const std::string& indent) {
  if (!entries.is_array()) return;
  if (entries.empty()) {
    Write(indent + (capReached ? "no rule has this name, and no installed program the component "
                                 "keeps (the first 1,023) has it as key or display name\n"
                               : "no rule has this name, and no installed program has it as key "
                                 "or display name\n"));
    return;
  }
  for (const Json& entry : entries) {
    std::string rules;
    for (const Json& rule : entry["ruleNames"]) {
      rules += (rules.empty() ? "" : ", ") + Cell(rule);
    }
    Write(indent + "installed entry " + Cell(entry["key"]) + " (" + Cell(entry["source"]) +
          ", by its " + (entry["matchedBy"] == "key" ? "key" : "display name") + "): " +
          (rules.empty() ? "no rule names this key"
                         : "named by the rules of " + rules + " (ask for that name)") +
          "\n");
  }
}

constexpr char kNoEntryText[] = "no Uninstall entry under this key";
constexpr char kPastCapText[] = "past the component's 1,023-entry cap";
// The explanation's reason when neither a key nor the start menu gave a
// version.
constexpr char kNothingFoundText[] = "no registered key and no start-menu version";

// Update entries, which the component never lists, are never the cap's doing.
bool IsUpdateKey(const std::wstring& key) {
  return key.compare(0, 2, L"KB") == 0 || key.compare(0, 2, L"kb") == 0;
}

// What the explanation cannot know: a key the registry holds that the
// component's list left out at its cap, and values it cut. Its records are
// compared with the list's programs under the same key and source. The
// reason nothing was found then names the keys the cap left out, as their
// decisions do.
void AnnotateWhy(LazyList& list, bool capReached, Json& document) {
  std::vector<std::string> pastCap;
  const auto steps = document.find("steps");
  if (steps != document.end()) {
    for (Json& step : *steps) {
      if (!step.contains("steps")) continue;
      // Start-menu records hold no registry values: only a key's can be cut.
      const bool regkey = step["step"] == "regkey";
      const std::wstring key = regkey ? WideOf(step["key"]) : std::wstring();
      for (Json& child : step["steps"]) {
        const std::string kind = child.value("step", "");
        if (kind == "decision" && child["text"].is_string() &&
            child["text"].get<std::string>().rfind(kNoEntryText, 0) == 0 &&
            capReached && !key.empty() && !IsUpdateKey(key) && UninstallKeyExists(key.c_str())) {
          const std::string text = child["text"];
          child["text"] = kPastCapText + text.substr(sizeof(kNoEntryText) - 1);
          pastCap.push_back(Utf8(key));
        }
        if (kind != "record") continue;
        child["cutFields"] = Json::array();
        if (!regkey || !AtCutWidth(child, kRecordCuts)) continue;
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
  if (!pastCap.empty() && document["reason"] == kNothingFoundText) {
    std::string keys;
    for (const std::string& key : pastCap) keys += (keys.empty() ? "" : ", ") + key;
    document["reason"] = "no registered key the component keeps (" + keys + ": " +
                         kPastCapText + ") and no start-menu version";
  }
  document["cutFields"] = Json::array();
  if (AtCutWidth(document, kStatusCuts)) {
    document["cutFields"] = CutFields(document, kStatusCuts, AllPrograms(list.Get()));
  }
}

}  // namespace

Json RunList(Session& session, const ListOptions& options) {
  Progress progress;
  progress.Show("reading the installed programs ...");
  InstalledPrograms all = ReadInstalledPrograms(session);
  progress.Done();
  // The list's own counts: no second build to learn the cap.
  const LONG kept = static_cast<LONG>(all.programs.size());
  session.SetInstalledCounts(all.entryCount.is_number() ? all.entryCount.get<LONG>() : kept, kept);
  const bool capReached = session.CapReached();
  const std::wstring query = Lower(Wide(options.query));
  Json list = Json::array();
  for (Json& program : all.programs) {
    if (!options.source.empty() && program["source"] != options.source) continue;
    if (!query.empty() && !Matches(program, query)) continue;
    list.push_back(std::move(program));
  }
  SortPrograms(list, options.sort);
  const size_t count = list.size();
  return Json{{"programCount", count},
              {"entryCount", all.entryCount},
              {"capReached", capReached},
              {"programs", std::move(list)}};
}

void ShowList(const Json& document) {
  Table table({NameColumn("DISPLAY NAME"), "DISPLAY VERSION", "SOURCE", "KEY"});
  for (const Json& program : document["programs"]) {
    std::string name = Cell(program["displayName"]);
    if (program["hidden"] == true) name += " (hidden)";
    table.Add({name, Cell(program["displayVersion"]), Cell(program["source"]),
               Cell(program["key"])});
  }
  table.Print();
  Write(Cell(document["programCount"]) + " programs\n");
}

Json RunStatus(Session& session, const std::vector<std::wstring>& names) {
  session.CheckComponentData(Session::kIdentificationRules | Session::kTypeFiles);
  IKaSoftStatusManager* manager = session.Manager();
  ComPtr<IKaSoftTypeStorage> types;
  Check(manager->GetSoftTypeStorage(&types), "GetSoftTypeStorage");
  const std::wstring unknownType = UnknownMainType(session);
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
                 {"installedVersion", Optional(version.Get())},
                 {"installedName", Optional(displayName.Get())},
                 {"uninstallString", nullptr},
                 {"startupExe", nullptr},
                 {"mainType", nullptr},
                 {"mainTypeKey", nullptr},
                 {"matchingEntries", nullptr}};
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
          program["mainType"] = MainTypeJson(type.Get(), unknownType);
          program["mainTypeKey"] = Utf8(key);
          break;
        }
      }
    }
    if (status == kaSoftInstallStatus_noIdentifyInfo) {
      program["matchingEntries"] = EntriesNamed(session, installed.Get().programs, name);
    }
    program["cutFields"] = Json::array();
    if (AtCutWidth(program, kStatusCuts)) {
      program["cutFields"] = CutFields(program, kStatusCuts, AllPrograms(installed.Get()));
    }
    list.push_back(std::move(program));
  }
  return Json{{"capReached", session.CapReached()}, {"programs", std::move(list)}};
}

void ShowStatus(const Json& document) {
  bool first = true;
  for (const Json& program : document["programs"]) {
    if (!first) Write("\n");
    first = false;
    Write(Cell(program["name"]) + "\n");
    PrintFields({{"status", Cell(program["status"])},
                 {"installed version", Marked(program, "installedVersion")},
                 {"installed name", Cell(program["installedName"])},
                 {"uninstall", Marked(program, "uninstallString")},
                 {"starts", Cell(program["startupExe"])},
                 {"main type", program["mainType"].is_null()
                                   ? "-"
                                   : Cell(program["mainType"]) + " (by key " +
                                         Cell(program["mainTypeKey"]) + ")"}},
                "  ");
    ShowEntries(program["matchingEntries"], document["capReached"] == true, "  ");
  }
}

Json WhyJson(IXMLDOMNode* root) {
  Json steps = Json::array();
  ForEachChildElement(root, [&](IXMLDOMNode* child) { steps.push_back(StepJson(child)); });
  Json winner = WinnerJson(AttributeOf(root, L"winner"), steps);
  return Json{{"name", TextOrNull(AttributeOf(root, L"name"))},
              {"status", TextOrNull(AttributeOf(root, L"status"))},
              {"installedVersion", TextOrNull(AttributeOf(root, L"version"))},
              {"installedName", TextOrNull(AttributeOf(root, L"displayName"))},
              {"winner", std::move(winner)},
              {"reason", TextOrNull(AttributeOf(root, L"reason"))},
              {"steps", std::move(steps)},
              {"matchingEntries", nullptr}};
}

// The component's explanation of `name`, as the tool's fields.
Json Explain(Session& session, const std::wstring& name) {
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
  return WhyJson(root.Get());
}

// What `status` tells that the exact check does not: why the two differ.
Json CheckNote(const Json& check, const Json& explained) {
  if (check["status"] == "installed" || check["identifiedStatus"] != "installed") {
    return nullptr;
  }
  const Json& winner = explained["winner"];
  if (winner.is_object() && winner["kind"] == "startmenu") {
    return "status finds it through the start menu (" + Cell(winner["folder"]) +
           "); check reads Uninstall records only";
  }
  if (check["installedVersion"] != check["askedVersion"]) {
    return "status identifies version " + Cell(check["installedVersion"]) +
           "; check compares the exact version text";
  }
  return "status identifies this version by a path check does not read (an alternative "
         "version path); check reads each rule's own version path only";
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
  kaSoftInstallStatus identified = kaSoftInstallStatus_unknown;
  UniqueBstr identifiedVersion, identifiedName;
  Check(manager->GetSoftInstallStatus(bstrName.Get(), &identified, identifiedVersion.Receive(),
                                      identifiedName.Receive()),
        "GetSoftInstallStatus " + Utf8(name));
  Json check{{"name", Utf8(name)},
             {"askedVersion", Utf8(version)},
             {"status", StatusName(status)},
             {"installedName", Optional(displayName ? displayName.Get() : identifiedName.Get())},
             {"identifiedStatus", StatusName(identified)},
             {"installedVersion", Optional(identifiedVersion.Get())},
             {"foundBy", nullptr},
             {"note", nullptr}};
  if (identified == kaSoftInstallStatus_installed) {
    const Json explained = Explain(session, name);
    if (explained["winner"].is_object()) check["foundBy"] = explained["winner"]["kind"];
    check["note"] = CheckNote(check, explained);
  }
  check["capReached"] = session.CapReached();
  return check;
}

void ShowCheck(const Json& document) {
  std::string identified = Cell(document["identifiedStatus"]);
  if (!document["installedVersion"].is_null()) identified += " " + Cell(document["installedVersion"]);
  if (!document["foundBy"].is_null()) identified += " (by " + Cell(document["foundBy"]) + ")";
  PrintFields({{"name", Cell(document["name"])},
               {"version asked", Cell(document["askedVersion"])},
               {"status", Cell(document["status"])},
               {"installed name", Cell(document["installedName"])},
               {"status finds", identified},
               {"note", Cell(document["note"])}});
}

Json RunWhy(Session& session, const std::wstring& name) {
  session.CheckComponentData(Session::kIdentificationRules);
  Progress progress;
  progress.Show("reading the rules and the installed programs ...");
  Json why = Explain(session, name);
  LazyList installed(session);
  if (why["status"] == "noIdentifyInfo") {
    why["matchingEntries"] = EntriesNamed(session, installed.Get().programs, name);
  }
  AnnotateWhy(installed, session.CapReached(), why);
  why["capReached"] = session.CapReached();
  return why;
}

void ShowWhy(const Json& document) {
  Write(Cell(document["name"]) + ": " + Cell(document["status"]));
  if (!document["installedVersion"].is_null()) Write(" " + Marked(document, "installedVersion"));
  Write("\n");
  std::vector<std::pair<std::string, std::string>> outcome;
  if (!document["installedName"].is_null()) {
    outcome.emplace_back("installed name", Cell(document["installedName"]));
  }
  if (const Json& winner = document["winner"]; winner.is_object()) {
    std::string text = Cell(winner["kind"]) + " " +
                       Cell(winner["kind"] == "regkey" ? winner["key"] : winner["folder"]);
    if (winner["kind"] == "regkey" && !winner["source"].is_null()) {
      text += " (" + Cell(winner["source"]) + ")";
    }
    outcome.emplace_back("winner", text);
    if (!winner["decision"].is_null()) outcome.emplace_back("decision", Cell(winner["decision"]));
  }
  if (!document["reason"].is_null()) outcome.emplace_back("reason", Cell(document["reason"]));
  PrintFields(outcome, "  ");
  ShowEntries(document["matchingEntries"], document["capReached"] == true, "  ");
  for (const Json& step : document["steps"]) ShowStep(step, "  ");
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

std::wstring UnknownMainType(Session& session) {
  const ComPtr<IKaSoftMainType> types =
      session.Create<IKaSoftMainType>(CLSID_KaSoftMainType, "KaSoftMainType");
  // An empty table names no identifier: the answer is the default name.
  UniqueBstr none, name;
  if (!none.CopyFrom(L"")) Fail(1, "copying", E_OUTOFMEMORY);
  if (FAILED(types->GetTypeNameByID(none.Get(), name.Receive()))) return {};
  return std::wstring(TextToNul(name.Get()));
}

Json MainTypeJson(BSTR type, const std::wstring& unknown) {
  if (!unknown.empty() && TextToNul(type) == unknown) return nullptr;
  return Optional(type);
}

std::wstring WideOf(const Json& value) { return value.is_string() ? Wide(value.get<std::string>()) : L""; }

}  // namespace tessary::tool
