// validate: the data files checked before the component reads them. The
// component takes a mistaken file silently and the program it describes is
// simply not recognised; this says why, file by file.
//
// Three layers, each a line per problem: the file parses (where the document
// parser stops), it keeps to its format (a walk over the DOM driven by the
// table below, the same grammar as data/schemas/*.xsd: unknown elements and
// attributes, values out of range), and what the loaders take without a word
// but is almost always a mistake (decided by the component's own loaders
// where they decide). Not the system's schema cache: under Wine it does not
// follow xs:include and says only that a file fails, not why or where.
#include <windows.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/ChildProcess.h"
#include "common/Names.h"
#include "common/Text.h"
#include "common/Unique.h"
#include "datafiles/DataFiles.h"
#include "datafiles/XmlLiteFile.h"
#include "datafiles/XmlDom.h"
#include "facade/AntivirusDetector.h"
#include "host/tool/Commands.h"
#include "identify/IdentificationRules.h"
#include "recommend/RecommendationFile.h"

namespace tessary::tool {
namespace {

using Microsoft::WRL::ComPtr;

// --- The formats --------------------------------------------------------------

enum class Value {
  kAny,
  kName,      // not empty
  kInteger,   // decimal, signed
  kCount,     // decimal, not negative
  kPolicy,    // a version policy, 0 to 5
  kFlag,      // 0 or 1
  kElements,  // holds elements; its text is not read
};

struct AttributeRule {
  const wchar_t* name;
  Value value;
  bool required = false;
};

struct ElementRule {
  const wchar_t* path;  // from the root, "vedad/soft/regkey"
  Value text;
  std::vector<AttributeRule> attributes;
};

struct FileFormat {
  const char* kind;
  const wchar_t* root;
  bool attributesAnyCase;  // the loader matches attribute names in any letter case
  bool elementsAnyCase;    // and element names
  std::vector<ElementRule> elements;
};

const std::vector<AttributeRule> kAnswer = {{L"result", Value::kInteger}, {L"msg", Value::kAny}};

const std::vector<FileFormat>& Formats() {
  static const std::vector<FileFormat> formats = {
      {"identify", L"vedad", true, false,
       {{L"vedad", Value::kElements, kAnswer},
        {L"vedad/soft", Value::kElements, {{L"name", Value::kName, true}}},
        {L"vedad/soft/regkey",
         Value::kAny,
         {{L"displayname", Value::kAny},
          {L"policy", Value::kPolicy},
          {L"ver_filepath", Value::kAny},
          {L"ver_filepath1", Value::kAny}}},
        {L"vedad/soft/start_menu",
         Value::kAny,
         {{L"path", Value::kAny},
          {L"app_file", Value::kAny},
          {L"uninstall_file", Value::kAny},
          {L"policy", Value::kPolicy},
          {L"ver_filepath", Value::kAny}}}}},
      {"antivirus", L"KaAntivirus", true, false,
       {{L"KaAntivirus", Value::kElements, {}},
        {L"KaAntivirus/av",
         Value::kElements,
         {{L"name", Value::kName, true}, {L"displayname", Value::kAny}}},
        {L"KaAntivirus/av/key",
         Value::kAny,
         {{L"index", Value::kCount}, {L"value", Value::kName, true}, {L"displayname", Value::kAny}}}}},
      {"recommend", L"new_onekey", true, true,
       {{L"new_onekey", Value::kElements, {}},
        {L"new_onekey/funtionlist", Value::kElements, {}},
        {L"new_onekey/funtionlist/catalog", Value::kElements, {}},
        {L"new_onekey/funtionlist/catalog/name", Value::kName, {}},
        {L"new_onekey/funtionlist/catalog/description", Value::kAny, {}},
        {L"new_onekey/funtionlist/catalog/importance", Value::kInteger, {}},
        {L"new_onekey/softlist", Value::kElements, {}},
        {L"new_onekey/softlist/soft", Value::kElements, {}},
        {L"new_onekey/softlist/soft/name", Value::kName, {}},
        {L"new_onekey/softlist/soft/funtion0", Value::kName, {}},
        {L"new_onekey/softlist/soft/order", Value::kInteger, {}}}},
      {"softtype", L"vedad", false, false,
       {{L"vedad", Value::kElements, kAnswer},
        {L"vedad/soft",
         Value::kAny,
         {{L"regkey", Value::kName, true}, {L"maintype", Value::kCount, true}}}}},
      {"catalog", L"vedad", false, false,
       {{L"vedad", Value::kElements, kAnswer},
        {L"vedad/main_type_list", Value::kElements, {}},
        {L"vedad/main_type_list/type", Value::kElements, {{L"id", Value::kCount, true}}},
        {L"vedad/main_type_list/type/name", Value::kName, {}},
        {L"vedad/software_list", Value::kElements, {}},
        {L"vedad/software_list/software",
         Value::kElements,
         {{L"main_type", Value::kCount},
          {L"is_main_recommend", Value::kFlag},
          {L"is_onekey_install", Value::kFlag},
          {L"is_popularity", Value::kFlag},
          {L"totaljudgeofmark", Value::kCount},
          {L"totaljudgeoftimes", Value::kCount},
          {L"totaldownloadtimes", Value::kCount}}},
        {L"vedad/software_list/software/name", Value::kName, {}},
        {L"vedad/software_list/software/displayname", Value::kAny, {}},
        {L"vedad/software_list/software/company", Value::kAny, {}},
        {L"vedad/software_list/software/pic", Value::kAny, {}},
        {L"vedad/software_list/software/description", Value::kAny, {}},
        {L"vedad/software_list/software/version",
         Value::kElements,
         {{L"version", Value::kName, true},
          {L"displayver", Value::kAny},
          {L"ver_attribute", Value::kFlag}}},
        {L"vedad/software_list/software/version/whatsnew", Value::kAny, {}}}},
      {"regkeys", L"vedad", false, false,
       {{L"vedad", Value::kElements, kAnswer},
        {L"vedad/soft", Value::kElements, {{L"name", Value::kName, true}}},
        {L"vedad/soft/regkey", Value::kName, {}}}},
      {"ignorelist", L"ignorelist", false, false,
       {{L"ignorelist", Value::kElements, {}},
        {L"ignorelist/soft",
         Value::kAny,
         {{L"name", Value::kName, true}, {L"verflag", Value::kFlag}}}}},
  };
  return formats;
}

const FileFormat* FormatNamed(std::string_view kind) {
  for (const FileFormat& format : Formats()) {
    if (kind == format.kind) return &format;
  }
  return nullptr;
}

bool IsDecimal(std::wstring_view text, bool sign) {
  if (sign && !text.empty() && (text[0] == L'-' || text[0] == L'+')) text.remove_prefix(1);
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; });
}

// Why a value is wrong for its kind; empty when it is right.
std::string ValueProblem(std::wstring_view text, Value value) {
  switch (value) {
    case Value::kName:
      return TrimBlanks(text).empty() ? "is empty" : "";
    case Value::kInteger:
      return IsDecimal(text, true) ? "" : "is not a number (read as 0)";
    case Value::kCount:
      return IsDecimal(text, false) ? "" : "is not a non-negative number";
    case Value::kPolicy:
      return text.size() == 1 && text[0] >= L'0' && text[0] <= L'5'
                 ? ""
                 : "is not a version policy (0 to 5)";
    case Value::kFlag:
      return text == L"0" || text == L"1" ? "" : "is neither 0 nor 1";
    default:
      return {};
  }
}

// --- Problems -----------------------------------------------------------------

class Report {
 public:
  void Add(const char* severity, const std::wstring& file, const std::string& where,
           const std::string& message, long line = 0, long column = 0) {
    problems_.push_back({{"severity", severity},
                         {"file", Utf8(file)},
                         {"line", line > 0 ? Json(line) : Json(nullptr)},
                         {"column", column > 0 ? Json(column) : Json(nullptr)},
                         {"element", where.empty() ? Json(nullptr) : Json(where)},
                         {"message", message}});
    ++(severity[0] == 'e' ? errors_ : warnings_);
  }
  void Error(const std::wstring& file, const std::string& where, const std::string& message) {
    Add("error", file, where, message);
  }
  void Warning(const std::wstring& file, const std::string& where, const std::string& message) {
    Add("warning", file, where, message);
  }
  size_t ProblemCount() const { return problems_.size(); }
  Json& Problem(size_t index) { return problems_[index]; }
  Json Take(Json files) {
    return Json{{"files", std::move(files)},
                {"errorCount", errors_},
                {"warningCount", warnings_},
                {"problems", std::move(problems_)}};
  }

 private:
  Json problems_ = Json::array();
  int errors_ = 0;
  int warnings_ = 0;
};

std::string Quoted(std::wstring_view text) { return "\"" + Utf8(text) + "\""; }

std::wstring Text(BSTR text) { return std::wstring(TextToNul(text)); }

std::wstring AttributeText(IXMLDOMNode* element, const wchar_t* name, bool anyCase) {
  std::wstring found;
  ForEachAttribute(element, [&](BSTR attribute, BSTR text) {
    if (anyCase ? SameIgnoringCase(attribute, name) : SameText(attribute, name)) {
      found = Text(text);
    }
  });
  return found;
}

bool HasAttribute(IXMLDOMNode* element, const wchar_t* name, bool anyCase) {
  bool found = false;
  ForEachAttribute(element, [&](BSTR attribute, BSTR) {
    found = found || (anyCase ? SameIgnoringCase(attribute, name) : SameText(attribute, name));
  });
  return found;
}

std::wstring NameOf(IXMLDOMNode* node) {
  const UniqueBstr name = NodeName(node);
  return Text(name.Get());
}

// An element's place, "/vedad/soft[3]/regkey[1]": the DOM gives no lines,
// and a place stays true where the streaming reader cannot give one either.
struct Place {
  std::string text;
  std::wstring path;  // the table's path
};

// The place of a child named `name` (UTF-8), its parent's children of that
// name counted in `seen`.
std::string ChildPlaceText(const std::string& parent, const std::string& name,
                           std::map<std::string, int>& seen) {
  return parent + "/" + name + "[" + std::to_string(++seen[name]) + "]";
}

// --- One file -----------------------------------------------------------------

// What the files say to each other: the catalog's programs and main types.
struct CrossFile {
  bool catalogRead = false;
  std::set<std::wstring> programs;  // lower-cased
  std::set<std::wstring> mainTypes;
};

class FileCheck {
 public:
  FileCheck(const FileFormat& format, std::wstring file, Report& report)
      : format_(format), file_(std::move(file)), report_(report) {}

  // The format walk from the reader's root; each element is handed to
  // `visit` with its place.
  template <typename Visit>
  void Walk(IXMLDOMNode* root, Visit&& visit) {
    Place place{"/" + Utf8(NameOf(root)), format_.root};
    Element(root, place, visit);
  }

  void Error(const Place& place, const std::string& message) {
    report_.Error(file_, place.text, message);
  }
  void Warning(const Place& place, const std::string& message) {
    report_.Warning(file_, place.text, message);
  }

 private:
  const ElementRule* RuleOf(const std::wstring& path) const {
    for (const ElementRule& rule : format_.elements) {
      if (format_.elementsAnyCase ? SameIgnoringCase(rule.path, path.c_str())
                                  : path == rule.path) {
        return &rule;
      }
    }
    return nullptr;
  }

  template <typename Visit>
  void Element(IXMLDOMNode* element, const Place& place, Visit& visit) {
    const ElementRule* rule = RuleOf(place.path);
    if (!rule) {
      Error(place, "unknown element " + Quoted(NameOf(element)) + " (a typo?)");
      return;
    }
    Attributes(element, *rule, place);
    if (rule->text != Value::kElements) {
      const UniqueBstr text = NodeText(element);
      const std::string problem = ValueProblem(TextToNul(text.Get()), rule->text);
      if (!problem.empty()) Error(place, "the text " + Quoted(TextToNul(text.Get())) + " " + problem);
    }
    visit(element, place);
    std::map<std::string, int> seen;
    ForEachChildElement(element, [&](IXMLDOMNode* child) {
      const std::wstring name = NameOf(child);
      const Place inner{ChildPlaceText(place.text, Utf8(name), seen), place.path + L"/" + name};
      if (rule->text != Value::kElements) {
        Error(inner, "unknown element " + Quoted(name) + ": " + Utf8(NameOf(element)) +
                         " holds only text");
        return;
      }
      Element(child, inner, visit);
    });
  }

  void Attributes(IXMLDOMNode* element, const ElementRule& rule, const Place& place) {
    ForEachAttribute(element, [&](BSTR name, BSTR text) {
      const auto known = std::find_if(rule.attributes.begin(), rule.attributes.end(),
                                      [&](const AttributeRule& attribute) {
                                        return format_.attributesAnyCase
                                                   ? SameIgnoringCase(attribute.name, name)
                                                   : SameText(attribute.name, name);
                                      });
      if (known == rule.attributes.end()) {
        std::string names;
        for (const AttributeRule& attribute : rule.attributes) {
          names += (names.empty() ? "" : ", ") + Utf8(attribute.name);
        }
        Error(place, "unknown attribute " + Quoted(TextToNul(name)) + " (" +
                         (names.empty() ? std::string("it takes none") : "known: " + names) + ")");
        return;
      }
      const std::string problem = ValueProblem(TextToNul(text), known->value);
      if (!problem.empty()) {
        Error(place, Utf8(known->name) + "=" + Quoted(TextToNul(text)) + " " + problem);
      }
    });
    for (const AttributeRule& attribute : rule.attributes) {
      if (attribute.required &&
          !HasAttribute(element, attribute.name, format_.attributesAnyCase)) {
        Error(place, "no " + Utf8(attribute.name) + " attribute");
      }
    }
  }

  const FileFormat& format_;
  std::wstring file_;
  Report& report_;
};

bool UsesFile(int policy) {
  return policy == kaSoftVersionPolicy_oppFile || policy == kaSoftVersionPolicy_oppProduct;
}

// The identification rules: the loader keeps the last rule of a name and
// skips a rule with no child node at all.
void IdentifyRules(FileCheck& check, IXMLDOMNode* root, const std::wstring& path, Report& report,
                   IXMLDOMDocument* document) {
  IdentificationRuleTable table;
  switch (table.LoadOrRefuse(document)) {
    case RulesRefusal::kFailedResult:
      report.Error(path, "", "the loader refuses the file: result is not 0");
      break;
    case RulesRefusal::kNoRules:
      report.Error(path, "", "the loader refuses the file: it holds no rules");
      break;
    default:
      break;
  }
  std::map<std::wstring, std::string> named;
  check.Walk(root, [&](IXMLDOMNode* element, const Place& place) {
    if (place.path != L"vedad/soft") return;
    const std::wstring name = AttributeText(element, L"name", true);
    const std::string program = "program " + Quoted(name);
    if (ChildNodeCount(element) == 0) {
      check.Warning(place, program + " names no key and no start-menu folder: the loader skips it");
      return;
    }
    const auto [first, added] = named.try_emplace(LowerCopy(name), place.text);
    if (!added) {
      check.Warning(place, program + " is named twice (first at " + first->second +
                               "): only this later rule counts");
    }
    bool anyKey = false;
    std::map<std::string, int> seen;
    ForEachChildElement(element, [&](IXMLDOMNode* child) {
      const std::wstring tag = NameOf(child);
      const Place inner{ChildPlaceText(place.text, Utf8(tag), seen), place.path + L"/" + tag};
      const bool regKey = tag == L"regkey";
      if (regKey) {
        const UniqueBstr key = NodeText(child);
        anyKey = anyKey || !TrimBlanks(TextToNul(key.Get())).empty();
      } else if (tag == L"start_menu") {
        anyKey = anyKey || !TrimBlanks(AttributeText(child, L"path", true)).empty();
      } else {
        return;
      }
      const std::wstring policy = AttributeText(child, L"policy", true);
      if (UsesFile(TextToInt(policy.c_str())) &&
          AttributeText(child, L"ver_filepath", true).empty() &&
          (!regKey || AttributeText(child, L"ver_filepath1", true).empty())) {
        check.Warning(inner, program + ": policy " + Utf8(policy) +
                                 " reads a file's version but no ver_filepath names the file");
      }
    });
    if (!anyKey) {
      check.Warning(place, program +
                               ": its keys and start-menu folder are all empty: it is never found");
    }
  });
}

void CatalogRules(FileCheck& check, IXMLDOMNode* root, CrossFile& cross) {
  std::map<std::wstring, std::string> programs;
  std::vector<std::pair<std::wstring, Place>> typed;
  cross.catalogRead = true;
  check.Walk(root, [&](IXMLDOMNode* element, const Place& place) {
    if (place.path == L"vedad/main_type_list/type") {
      if (!cross.mainTypes.insert(AttributeText(element, L"id", false)).second) {
        check.Warning(place, "main type " + Utf8(AttributeText(element, L"id", false)) +
                                 " is listed twice: the first one counts");
      }
    } else if (place.path == L"vedad/software_list/software") {
      std::wstring name;
      ForEachChildElement(element, [&](IXMLDOMNode* child) {
        if (name.empty() && LowerCopy(NameOf(child)) == L"name") {
          const UniqueBstr text = NodeText(child);
          name = std::wstring(TrimBlanks(TextToNul(text.Get())));
        }
      });
      if (name.empty()) return;
      cross.programs.insert(LowerCopy(name));
      const auto [first, added] = programs.try_emplace(LowerCopy(name), place.text);
      if (!added) {
        check.Warning(place, "program " + Quoted(name) + " is named twice: only the first (" +
                                 first->second + ") counts");
      }
      if (HasAttribute(element, L"main_type", false)) {
        typed.emplace_back(AttributeText(element, L"main_type", false), place);
      }
    }
  });
  for (const auto& [type, place] : typed) {
    if (!cross.mainTypes.count(type)) {
      check.Warning(place, "main type " + Utf8(type) + " is not in the main-type list");
    }
  }
}

void TypeFileRules(FileCheck& check, IXMLDOMNode* root, const CrossFile& cross) {
  check.Walk(root, [&](IXMLDOMNode* element, const Place& place) {
    if (place.path != L"vedad/soft" || !cross.catalogRead) return;
    const std::wstring type = AttributeText(element, L"maintype", false);
    if (!type.empty() && !cross.mainTypes.count(type)) {
      check.Warning(place, "main type " + Utf8(type) + " of " +
                               Quoted(AttributeText(element, L"regkey", false)) +
                               " is not in the catalog's main-type list");
    }
  });
}

std::wstring ChildText(IXMLDOMNode* element, const wchar_t* lowerName) {
  std::wstring text;
  bool found = false;
  ForEachChildElement(element, [&](IXMLDOMNode* child) {
    if (found || LowerCopy(NameOf(child)) != lowerName) return;
    found = true;
    const UniqueBstr value = NodeText(child);
    text = TextToNul(value.Get());
  });
  return text;
}

// A program joins the list its funtion0 names exactly, among the lists read
// before it: the document order the walk keeps.
void RecommendationRules(FileCheck& check, IXMLDOMNode* root) {
  std::set<std::wstring> lists;
  check.Walk(root, [&](IXMLDOMNode* element, const Place& place) {
    const std::wstring path = LowerCopy(place.path);
    if (path == L"new_onekey/funtionlist/catalog") {
      lists.insert(ChildText(element, L"name"));
    } else if (path == L"new_onekey/softlist/soft") {
      const std::wstring list = ChildText(element, L"funtion0");
      if (!lists.count(list)) {
        check.Warning(place, "program " + Quoted(ChildText(element, L"name")) + ": funtion0 " +
                                 Quoted(list) + " names no list above it: it is in no list");
      }
    }
  });
}

void IgnoreListRules(FileCheck& check, IXMLDOMNode* root, const CrossFile& cross) {
  check.Walk(root, [&](IXMLDOMNode* element, const Place& place) {
    if (place.path != L"ignorelist/soft" || !cross.catalogRead) return;
    const std::wstring name = AttributeText(element, L"name", false);
    if (!name.empty() && !cross.programs.count(LowerCopy(name))) {
      check.Warning(place, "program " + Quoted(name) + " is not in the catalog: nothing is ignored");
    }
  });
}

// Which format a file is written to: by its name, then by where it stands,
// then by its root element.
const FileFormat* FormatOf(const std::wstring& path, IXMLDOMDocument* document) {
  const size_t slash = path.find_last_of(L"\\/");
  const std::wstring name = LowerCopy(slash == std::wstring::npos ? path : path.substr(slash + 1));
  const std::wstring lowered = LowerCopy(path);
  if (name == L"kasoftwareveridentify.xml") return FormatNamed("identify");
  if (name == L"kaantivirusidentify.xml") return FormatNamed("antivirus");
  if (name == L"karecommendsoft.xml") return FormatNamed("recommend");
  if (name == L"catalog.xml") return FormatNamed("catalog");
  if (name == L"regkeys.xml") return FormatNamed("regkeys");
  if (name == L"ignorelist.xml") return FormatNamed("ignorelist");
  if (lowered.find(L"softtype") != std::wstring::npos) return FormatNamed("softtype");
  for (const char* kind : {"antivirus", "recommend", "ignorelist"}) {
    if (SelectRoot(document, FormatNamed(kind)->root)) return FormatNamed(kind);
  }
  if (SelectRoot(document, L"software_list") || SelectRoot(document, L"main_type_list")) {
    return FormatNamed("catalog");
  }
  if (SelectRoot(document, L"start_menu")) return FormatNamed("identify");
  // A key with a display name or a policy is a rule's; a bare one the
  // registry-key file's.
  if (const ComPtr<IXMLDOMNode> key = SelectRoot(document, L"regkey")) {
    bool attributes = false;
    ForEachAttribute(key.Get(), [&](BSTR, BSTR) { attributes = true; });
    return FormatNamed(attributes ? "identify" : "regkeys");
  }
  if (const ComPtr<IXMLDOMNode> soft = SelectRoot(document, L"soft")) {
    if (HasAttribute(soft.Get(), L"maintype", false)) return FormatNamed("softtype");
  }
  return nullptr;
}

// Wine's streaming reader can end its process on odd input, so it reads in
// a child: this tool again, with `option`, for at most this long (a 21 MB
// catalog takes a second or two).
constexpr DWORD kStreamingReaderLimitMs = 60000;

enum class ChildAnswer { kAnswered, kFailed, kTimedOut };

std::wstring QuotedPath(const std::wstring& path) { return L"\"" + path + L"\""; }

// What the child, given `option` and `arguments` (quoted paths), wrote, and
// whether it exited 0; what it wrote before it failed or was ended is kept.
ChildAnswer StreamingReaderChild(const wchar_t* option, const std::wstring& arguments,
                                 std::string& answer) {
  wchar_t self[MAX_PATH * 4];
  const DWORD length = ::GetModuleFileNameW(nullptr, self, ARRAYSIZE(self));
  if (length == 0 || length >= ARRAYSIZE(self)) return ChildAnswer::kFailed;
  ChildRun run = RunChildProcess(
      nullptr, QuotedPath(std::wstring(self, length)) + L" " + option + L" " + arguments,
      kStreamingReaderLimitMs);
  answer = std::move(run.output);
  if (run.timedOut) return ChildAnswer::kTimedOut;
  return run.started == S_OK && run.exitCode == 0 ? ChildAnswer::kAnswered : ChildAnswer::kFailed;
}

// A child past its limit is said in a warning on the file, after what it
// would have placed: only its positions are left out.
void ReportUnfinished(Report& report, const std::wstring& path) {
  report.Warning(path, "",
                 "the streaming reader did not finish on " + Utf8(path) + " within " +
                     std::to_string(kStreamingReaderLimitMs / 1000) +
                     " s: its lines and columns are left out");
}

// A file the document parser refused without a position, and its problem.
struct PendingStop {
  size_t problem;
  std::wstring path;
};

// Where the streaming reader stops in each file the document parser refused
// without a position, read by as few children as the files allow: one reads
// file after file, a line each ("LINE COLUMN" or "-"), and a child that the
// reader ends (or the limit) leaves the rest to the next child.
void PlaceStops(Report& report, const std::vector<PendingStop>& stops) {
  // Well inside the 32,767 characters of a command line.
  constexpr size_t kMaxArguments = 16000;
  for (size_t first = 0; first < stops.size();) {
    std::wstring arguments;
    size_t end = first;
    while (end < stops.size() &&
           (end == first || arguments.size() + stops[end].path.size() + 3 < kMaxArguments)) {
      arguments += (end == first ? L"" : L" ") + QuotedPath(stops[end].path);
      ++end;
    }
    std::string answer;
    const ChildAnswer answered = StreamingReaderChild(kStopOption, arguments, answer);
    size_t at = 0;
    size_t next = first;
    for (size_t line = answer.find('\n'); line != std::string::npos && next < end;
         at = line + 1, line = answer.find('\n', at), ++next) {
      long position[2] = {0, 0};
      if (sscanf_s(answer.c_str() + at, "%ld %ld", &position[0], &position[1]) == 2 &&
          position[0] > 0 && position[1] > 0) {
        Json& problem = report.Problem(stops[next].problem);
        problem["line"] = position[0];
        problem["column"] = position[1];
      }
    }
    if (next < end && answered != ChildAnswer::kAnswered) {
      // The file it was reading when it failed or was ended.
      if (answered == ChildAnswer::kTimedOut) ReportUnfinished(report, stops[next].path);
      ++next;
    }
    // A child that answered for no file of its share gives up on the first.
    first = next > first ? next : first + 1;
  }
}

long ElementCount(IXMLDOMNode* element) {
  long count = 1;
  ForEachChildElement(element, [&](IXMLDOMNode* child) { count += ElementCount(child); });
  return count;
}

bool IsOfType(IXMLDOMNode* node, DOMNodeType wanted) {
  DOMNodeType type = NODE_INVALID;
  return SUCCEEDED(node->get_nodeType(&type)) && type == wanted;
}

// The place of an element from the document's own root, where a format's
// root may stand deeper; empty when the tree cannot be read.
std::string DocumentPlaceText(IXMLDOMNode* element) {
  std::string text;
  ComPtr<IXMLDOMNode> node = element;
  for (;;) {
    ComPtr<IXMLDOMNode> parent;
    if (node->get_parentNode(&parent) != S_OK || !parent) return {};
    const std::wstring name = NameOf(node.Get());
    if (IsOfType(parent.Get(), NODE_DOCUMENT)) return "/" + Utf8(name) + text;
    int index = 1;
    for (ComPtr<IXMLDOMNode> sibling = node;;) {
      ComPtr<IXMLDOMNode> previous;
      if (sibling->get_previousSibling(&previous) != S_OK || !previous) break;
      if (IsOfType(previous.Get(), NODE_ELEMENT) && NameOf(previous.Get()) == name) ++index;
      sibling = std::move(previous);
    }
    text.insert(0, "/" + Utf8(name) + "[" + std::to_string(index) + "]");
    node = std::move(parent);
  }
}

// Gives the problems from `first` on that name an element the line and
// column where it starts, read by the streaming reader in a child. Only
// where both readers saw the same elements: a file the streaming reader
// refuses or reads otherwise keeps its places alone.
void PlaceProblems(Report& report, size_t first, const std::wstring& path,
                   IXMLDOMDocument* document, IXMLDOMNode* root) {
  // The walk's places start at the format's root.
  const std::string walkRoot = "/" + Utf8(NameOf(root));
  const std::string documentRoot = DocumentPlaceText(root);
  const auto documentPlace = [&](const Json& element) -> std::string {
    if (element.is_null()) return {};
    const std::string text = element.get<std::string>();
    return text.compare(0, walkRoot.size(), walkRoot) == 0
               ? documentRoot + text.substr(walkRoot.size())
               : std::string();
  };
  std::set<std::string> wanted;
  for (size_t i = first; i < report.ProblemCount(); ++i) {
    const std::string place = documentPlace(report.Problem(i)["element"]);
    if (!place.empty()) wanted.insert(place);
  }
  ComPtr<IXMLDOMElement> top;
  if (wanted.empty() || documentRoot.empty() || document->get_documentElement(&top) != S_OK) {
    return;
  }
  std::string answer;
  const ChildAnswer answered = StreamingReaderChild(kElementsOption, QuotedPath(path), answer);
  if (answered == ChildAnswer::kTimedOut) ReportUnfinished(report, path);
  if (answered != ChildAnswer::kAnswered) return;
  struct Level {
    std::string text;
    std::map<std::string, int> seen;
  };
  std::vector<Level> open;
  std::map<std::string, std::pair<long, long>> found;
  long count = 0;
  bool ended = false;
  size_t at = 0;
  while (at < answer.size() && !ended) {
    size_t end = answer.find('\n', at);
    if (end == std::string::npos) end = answer.size();
    const std::string line = answer.substr(at, end - at);
    at = end + 1;
    if (line == "end") {
      ended = true;
      break;
    }
    unsigned long depth = 0;
    long number = 0;
    long column = 0;
    int name = 0;
    if (sscanf_s(line.c_str(), "%lu %ld %ld %n", &depth, &number, &column, &name) != 3 ||
        name <= 0 || depth > open.size() || (depth == 0 && count > 0)) {
      return;
    }
    const std::string tag = line.substr(static_cast<size_t>(name));
    const std::string text =
        depth == 0 ? "/" + tag : ChildPlaceText(open[depth - 1].text, tag, open[depth - 1].seen);
    open.resize(depth);
    open.push_back({text, {}});
    ++count;
    if (wanted.count(text)) found[text] = {number, column};
  }
  if (!ended || count != ElementCount(top.Get())) return;
  for (size_t i = first; i < report.ProblemCount(); ++i) {
    Json& problem = report.Problem(i);
    const auto place = found.find(documentPlace(problem["element"]));
    if (place == found.end()) continue;
    problem["line"] = place->second.first;
    problem["column"] = place->second.second;
  }
}

// `stops`: the files whose stop the streaming reader is to find, after them all.
void CheckFile(const std::wstring& path, Report& report, CrossFile& cross, Json& files,
               std::vector<PendingStop>& stops) {
  if (::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
    report.Error(path, "", "no such file");
    files.push_back({{"path", Utf8(path)}, {"format", nullptr}});
    return;
  }
  const ComPtr<IXMLDOMDocument> document = LoadXmlFile(path.c_str());
  if (!document) {
    const ParseProblem problem = ParserProblem(path);
    if (problem.line <= 0) stops.push_back({report.ProblemCount(), path});
    report.Add("error", path, "",
               "not well-formed XML" + (problem.reason.empty() ? "" : ": " + problem.reason),
               problem.line, problem.column);
    files.push_back({{"path", Utf8(path)}, {"format", nullptr}});
    return;
  }
  const FileFormat* format = FormatOf(path, document.Get());
  files.push_back({{"path", Utf8(path)}, {"format", format ? Json(format->kind) : Json(nullptr)}});
  if (!format) {
    report.Error(path, "", "not a data file of any known format");
    return;
  }
  const ComPtr<IXMLDOMNode> root = SelectRoot(document.Get(), format->root);
  if (!root) {
    report.Error(path, "",
                 "no " + Quoted(format->root) + " element: the " + format->kind +
                     " reader takes the file as empty");
    return;
  }
  const size_t first = report.ProblemCount();
  FileCheck check(*format, path, report);
  const std::string kind = format->kind;
  if (kind == "identify") {
    IdentifyRules(check, root.Get(), path, report, document.Get());
  } else if (kind == "catalog") {
    CatalogRules(check, root.Get(), cross);
  } else if (kind == "softtype") {
    TypeFileRules(check, root.Get(), cross);
  } else if (kind == "ignorelist") {
    IgnoreListRules(check, root.Get(), cross);
  } else if (kind == "recommend") {
    RecommendationRules(check, root.Get());
    RecommendationList lists;
    const HRESULT read = ReadRecommendationFile(path.c_str(), lists);
    if (read == E_OUTOFMEMORY) Fail(1, "reading " + Utf8(path), read);
    if (read != S_OK) report.Error(path, "", "the loader refuses the file");
  } else {
    check.Walk(root.Get(), [](IXMLDOMNode*, const Place&) {});
    if (kind == "antivirus" && AntivirusDetector(path).Reload() == 0) {
      report.Error(path, "", "the loader finds no antivirus product in it");
    }
  }
  if (kind == "regkeys" || kind == "softtype" || kind == "identify" || kind == "catalog") {
    const std::wstring result = AttributeText(root.Get(), L"result", kind == "identify");
    if (kind != "identify" && !result.empty() && TextToInt(result.c_str()) != 0) {
      report.Error(path, "", "result is not 0: the reader refuses the whole file");
    }
  }
  PlaceProblems(report, first, path, document.Get(), root.Get());
}

void TypeFilesBelow(const std::wstring& folder, std::vector<std::wstring>& files) {
  WIN32_FIND_DATAW found;
  UniqueFindHandle search(::FindFirstFileW((folder + L"\\*").c_str(), &found));
  if (!search) return;
  std::vector<std::wstring> names;
  std::vector<std::wstring> folders;
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      folders.push_back(folder + L"\\" + name);
    } else if (name.size() > 4 && SameIgnoringCase(name.c_str() + name.size() - 4, L".xml")) {
      names.push_back(folder + L"\\" + name);
    }
  } while (::FindNextFileW(search.get(), &found));
  std::sort(names.begin(), names.end());
  std::sort(folders.begin(), folders.end());
  files.insert(files.end(), names.begin(), names.end());
  for (const std::wstring& below : folders) TypeFilesBelow(below, files);
}

std::wstring FullPathOf(const std::wstring& path) {
  wchar_t full[MAX_PATH * 4];
  const DWORD length = ::GetFullPathNameW(path.c_str(), ARRAYSIZE(full), full, nullptr);
  return length > 0 && length < ARRAYSIZE(full) ? std::wstring(full, length) : path;
}

}  // namespace

int ShowStreamingReaderStops(int count, wchar_t** paths) {
  for (int i = 0; i < count; ++i) {
    std::string text = "-\n";
    XmlLiteFile file;
    if (SUCCEEDED(file.Open(paths[i]))) {
      XmlNodeType type;
      HRESULT hr = S_OK;
      while ((hr = file.Read(type)) == S_OK) {
      }
      // Read whole, the reader gives no stop. Astray, it stands at the end
      // of a file cut inside a text.
      UINT line = 0;
      UINT column = 0;
      if (FAILED(hr) && SUCCEEDED(file.Reader()->GetLineNumber(&line)) &&
          SUCCEEDED(file.Reader()->GetLinePosition(&column))) {
        text = std::to_string(line) + " " + std::to_string(column) + "\n";
      }
    }
    // A line per file as it is read: the reader can end this process on
    // the next one.
    DWORD written = 0;
    if (!::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), text.data(),
                     static_cast<DWORD>(text.size()), &written, nullptr) ||
        written != text.size()) {
      return 1;
    }
  }
  return 0;
}

int ShowElementPositions(const wchar_t* path) {
  XmlLiteFile file;
  if (FAILED(file.Open(path))) return 1;
  IXmlReader* reader = file.Reader();
  std::string text;
  const auto flush = [&] {
    DWORD written = 0;
    const bool whole = ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), text.data(),
                                   static_cast<DWORD>(text.size()), &written, nullptr) &&
                       written == text.size();
    text.clear();
    return whole;
  };
  size_t depth = 0;
  XmlNodeType type;
  HRESULT hr = S_OK;
  while ((hr = file.Read(type)) == S_OK) {
    if (type == XmlNodeType_EndElement) {
      if (depth == 0) return 1;
      --depth;
      continue;
    }
    if (type != XmlNodeType_Element) continue;
    UINT line = 0;
    UINT column = 0;
    const wchar_t* name = nullptr;
    UINT length = 0;
    if (FAILED(reader->GetLineNumber(&line)) || FAILED(reader->GetLinePosition(&column)) ||
        FAILED(reader->GetQualifiedName(&name, &length)) || !name) {
      return 1;
    }
    text += std::to_string(depth) + " " + std::to_string(line) + " " + std::to_string(column) +
            " " + Utf8(std::wstring_view(name, length)) + "\n";
    if (!reader->IsEmptyElement()) ++depth;
    if (text.size() >= size_t{64} * 1024 && !flush()) return 1;
  }
  if (hr != S_FALSE || depth != 0) return 1;
  text += "end\n";
  return flush() ? 0 : 1;
}

Json RunValidate(Session& session, const std::vector<std::wstring>& given) {
  std::vector<std::wstring> paths;
  paths.reserve(given.size());
  for (const std::wstring& path : given) paths.push_back(FullPathOf(path));
  if (paths.empty()) {
    const std::wstring data = session.ComponentDataFolder();
    for (const wchar_t* name :
         {L"KaSoftwareVerIdentify.xml", L"KaAntivirusIdentify.xml", L"KaRecommendSoft.xml"}) {
      paths.push_back(data + L"\\" + name);
    }
    TypeFilesBelow(data + L"\\SoftType", paths);
    paths.push_back(session.DataFile(L"catalog.xml"));
    paths.push_back(session.DataFile(L"regkeys.xml"));
    // Optional: without it no update is ignored.
    const std::wstring ignoreList = session.DataFile(L"ignorelist.xml");
    if (::GetFileAttributesW(ignoreList.c_str()) != INVALID_FILE_ATTRIBUTES) {
      paths.push_back(ignoreList);
    }
  }
  // The catalog first: the other files are checked against it.
  std::stable_partition(paths.begin(), paths.end(), [](const std::wstring& path) {
    const std::wstring lowered = LowerCopy(path);
    return lowered.size() >= 11 && lowered.compare(lowered.size() - 11, 11, L"catalog.xml") == 0;
  });
  Report report;
  CrossFile cross;
  Json files = Json::array();
  std::vector<PendingStop> stops;
  for (const std::wstring& path : paths) CheckFile(path, report, cross, files, stops);
  PlaceStops(report, stops);
  return report.Take(std::move(files));
}

void ShowValidate(const Json& document) {
  std::string text;
  for (const Json& problem : document["problems"]) {
    std::string where = problem["file"].get<std::string>();
    if (!problem["line"].is_null()) where += ":" + std::to_string(problem["line"].get<long>());
    if (!problem["column"].is_null()) where += ":" + std::to_string(problem["column"].get<long>());
    if (!problem["element"].is_null()) where += ": " + problem["element"].get<std::string>();
    text += where + ": " + problem["severity"].get<std::string>() + ": " +
            Escaped(problem["message"].get<std::string>()) + "\n";
  }
  const auto count = [](int n, const char* word) {
    return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
  };
  text += count(document["errorCount"].get<int>(), "error") + ", " +
          count(document["warningCount"].get<int>(), "warning") + " in " +
          count(static_cast<int>(document["files"].size()), "file") + "\n";
  Write(text);
}

}  // namespace tessary::tool
