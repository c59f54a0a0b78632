#include "identify/IdentifyExplanation.h"

#include <cwchar>
#include <initializer_list>
#include <optional>
#include <utility>
#include <vector>

#include "TessaryLib.h"

namespace tessary {
namespace {

bool IsHighSurrogate(wchar_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(wchar_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

void AppendEscaped(std::wstring& out, std::wstring_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    const wchar_t c = text[i];
    // A registry value may hold any code units; only what XML allows goes
    // out, so the explanation always reads as a whole.
    if (IsHighSurrogate(c) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      out += c;
      out += text[++i];
      continue;
    }
    if (IsHighSurrogate(c) || IsLowSurrogate(c) || c == 0xFFFE || c == 0xFFFF) {
      out += L'?';
      continue;
    }
    switch (c) {
      case L'&':
        out += L"&amp;";
        break;
      case L'<':
        out += L"&lt;";
        break;
      case L'>':
        out += L"&gt;";
        break;
      case L'"':
        out += L"&quot;";
        break;
      default:
        // Control characters have no place in XML text: they would make the
        // explanation unreadable as a whole.
        out += (c < 0x20 && c != L'\t') ? L'?' : c;
    }
  }
}

using Attributes = std::initializer_list<std::pair<const wchar_t*, std::wstring_view>>;

void AppendTag(std::wstring& out, const wchar_t* tag, Attributes attributes) {
  out += L'<';
  out += tag;
  for (const auto& [name, value] : attributes) {
    if (value.empty()) continue;
    out += L' ';
    out += name;
    out += L"=\"";
    AppendEscaped(out, value);
    out += L'"';
  }
}

class XmlWriter {
 public:
  void Open(const wchar_t* tag, Attributes attributes) {
    AppendTag(body_, tag, attributes);
    body_ += L'>';
    open_.push_back(tag);
  }
  void Close() {
    if (open_.empty()) return;
    body_ += L"</";
    body_ += open_.back();
    body_ += L'>';
    open_.pop_back();
  }
  void Leaf(const wchar_t* tag, Attributes attributes) {
    AppendTag(body_, tag, attributes);
    body_ += L"/>";
  }
  // The root element around what was written.
  std::wstring Document(Attributes rootAttributes) const {
    std::wstring out;
    AppendTag(out, L"explanation", rootAttributes);
    out += L'>';
    out += body_;
    out += L"</explanation>";
    return out;
  }

 private:
  std::wstring body_;
  std::vector<const wchar_t*> open_;
};

void Records(XmlWriter& out, const std::vector<const InstalledSoftRecord*>& records) {
  if (records.empty()) {
    out.Leaf(L"record", {{L"found", L"no"}});
    return;
  }
  for (const InstalledSoftRecord* record : records) {
    out.Leaf(L"record", {{L"found", L"yes"},
                         {L"source", SourceName(record->source)},
                         {L"displayVersion", record->displayVersion},
                         {L"uninstallString", record->uninstallString},
                         {L"uninstaller", record->uninstallerPath},
                         {L"application", record->applicationPath},
                         {L"arpImage", record->arpImagePath},
                         {L"appShortcut", record->appShortcut},
                         {L"uninstallShortcut", record->uninstallShortcut}});
  }
}

std::wstring_view ValueText(const std::wstring& version) {
  return version.empty() ? std::wstring_view(L"(none)") : version;
}

// A key's version as the engine gave it: the first record's cached
// computation (`cached` when it was not computed again for this question).
void KeyVersion(XmlWriter& out, const VersionRead& read) {
  const bool fromValue = read.policy == kaSoftVersionPolicy_reg;
  const bool fromCache = read.policy == kaSoftVersionPolicy_arpFile ||
                         read.policy == kaSoftVersionPolicy_arpProduct;
  const wchar_t* from = fromValue ? L"DisplayVersion value"
                        : fromCache ? L"Add/Remove Programs cache entry's file"
                                    : L"file's version resource";
  out.Leaf(L"version", {{L"path", read.path},
                        {L"policy", PolicyName(read.policy)},
                        {L"from", from},
                        {L"file", fromValue ? L"" : std::wstring_view(read.file)},
                        {L"read", fromValue ? L"" : read.cached ? L"cached" : L"now"},
                        {L"result", fromValue ? L"" : ResultText(read.result)},
                        {L"value", ValueText(read.value)}});
}

void StartMenuVersion(XmlWriter& out, const VersionRead& read) {
  out.Leaf(L"version",
           {{L"path", read.path},
            {L"policy", PolicyName(read.policy)},
            {L"from", L"file's fixed version, beside the shortcut's target"},
            {L"file", read.file},
            {L"result", read.hr == E_INVALIDARG      ? L"policy reads no file here (E_INVALIDARG)"
                        : read.hr == kNoRecordForKey ? L"no start-menu record (0x80070001)"
                                                     : std::wstring_view(ResultText(read.hr))},
            {L"value", ValueText(read.value)}});
}

// `version` is what the step's last read gave; `compared` what it was
// compared with.
std::wstring VerdictText(RuleKind kind, Verdict verdict, std::wstring_view version,
                         std::wstring_view compared) {
  const bool key = kind == RuleKind::kRegKey;
  switch (verdict) {
    case Verdict::kNoEntry:
      return L"no Uninstall entry under this key: not installed by this rule";
    case Verdict::kFirstVersion:
      return L"first version found: " + std::wstring(version);
    case Verdict::kRegisteredNoVersion:
      return L"registered, no version found: installed, version empty";
    case Verdict::kNewer:
      return key ? L"newer than " + std::wstring(compared) + L": this rule's version wins"
                 : L"newer: this version wins";
    case Verdict::kNotNewer:
      return L"not newer than " + std::wstring(compared) + L": the earlier rule's stays";
    case Verdict::kNoVersionPath:
      return L"no version path: never asked";
    case Verdict::kNone:
    case Verdict::kSkipped:
      break;
  }
  return {};
}

void Decision(XmlWriter& out, std::wstring_view text) {
  if (!text.empty()) out.Leaf(L"decision", {{L"text", text}});
}

void Step(XmlWriter& out, const SoftwareRule& rule, const RuleStep& step) {
  if (step.verdict == Verdict::kSkipped) {
    out.Leaf(L"startmenu", {{L"skipped", L"a registered key was found"}});
    return;
  }
  const bool key = step.kind == RuleKind::kRegKey;
  if (key) {
    const RegKeyRule& keyRule = rule.regKeyRules.at(step.index);
    out.Open(L"regkey", {{L"key", keyRule.regKey},
                         {L"policy", PolicyName(keyRule.policy)},
                         {L"path", keyRule.verFilePath},
                         {L"displayName", keyRule.displayName}});
  } else {
    const StartMenuLocation& location = rule.startMenuLocations.at(step.index);
    out.Open(L"startmenu", {{L"folder", location.subFolder},
                            {L"appFile", location.appFile},
                            {L"uninstallFile", location.uninstallFile},
                            {L"policy", PolicyName(location.policy)}});
  }
  Records(out, step.records);
  for (const VersionRead& read : step.reads) {
    if (read.alternative) out.Leaf(L"alternative", {{L"path", read.path}});
    // A key without a record gave no version to show.
    if (!key) {
      StartMenuVersion(out, read);
    } else if (SUCCEEDED(read.hr)) {
      KeyVersion(out, read);
    }
    Decision(out, VerdictText(step.kind, read.verdict, read.value, {}));
  }
  // Both branches views: a conditional of L"" and a std::wstring would make a
  // temporary string, and the view would outlive it.
  const std::wstring_view last =
      step.reads.empty() ? std::wstring_view() : std::wstring_view(step.reads.back().value);
  Decision(out, VerdictText(step.kind, step.verdict, last, step.compared));
  out.Close();
}

std::wstring WinnerText(const SoftwareRule& rule, const std::optional<RuleRef>& winner) {
  if (!winner) return {};
  if (winner->kind == RuleKind::kRegKey) {
    return L"regkey " + rule.regKeyRules.at(winner->index).regKey;
  }
  return L"startmenu " + rule.startMenuLocations.at(winner->index).subFolder;
}

}  // namespace

std::wstring RenderExplanation(const SoftwareRule& rule, const Identification& identification) {
  XmlWriter out;
  for (const RuleStep& step : identification.steps) Step(out, rule, step);
  const bool installed = identification.status == kaSoftInstallStatus_installed;
  return out.Document(
      {{L"name", rule.name},
       {L"status", installed ? L"installed" : L"notInstalled"},
       {L"version", identification.version},
       {L"displayName", identification.displayName},
       {L"winner", WinnerText(rule, identification.winner)},
       {L"reason", installed ? L"" : L"no registered key and no start-menu version"}});
}

std::wstring RenderUnidentified(std::wstring_view name, std::wstring_view status,
                                std::wstring_view reason) {
  return XmlWriter().Document({{L"name", name}, {L"status", status}, {L"reason", reason}});
}

std::wstring PolicyName(int policy) {
  switch (policy) {
    case kaSoftVersionPolicy_reg:
      return L"reg";
    case kaSoftVersionPolicy_arpFile:
      return L"arpFile";
    case kaSoftVersionPolicy_arpProduct:
      return L"arpProduct";
    case kaSoftVersionPolicy_oppFile:
      return L"oppFile";
    case kaSoftVersionPolicy_oppProduct:
      return L"oppProduct";
    case kaSoftVersionPolicy_none:
      return L"none";
  }
  return L"other (" + std::to_wstring(policy) + L")";
}

std::wstring SourceName(int source) {
  switch (source) {
    case kaUninstallSource_machine64:
      return L"machine64";
    case kaUninstallSource_machine32:
      return L"machine32";
    case kaUninstallSource_user:
      return L"user";
  }
  return L"startmenu";
}

std::wstring ResultText(HRESULT hr) {
  switch (hr) {
    case kVersionComputed:
    case S_OK:
      return L"read";
    case kVersionFileMissing:
      return L"file missing (0x80070002)";
    case kVersionUnreadable:
      return L"no version resource (0x80070005)";
    case E_FAIL:
      return L"no file with a version (E_FAIL)";
  }
  wchar_t text[16];
  std::swprintf(text, 16, L"0x%08lX", static_cast<unsigned long>(hr));
  return text;
}

}  // namespace tessary
