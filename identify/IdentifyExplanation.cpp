#include "identify/IdentifyExplanation.h"

#include <cwchar>

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

void AppendTag(std::wstring& out, const wchar_t* tag, IdentifyExplanation::Attributes attributes) {
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

}  // namespace

void IdentifyExplanation::Open(const wchar_t* tag, Attributes attributes) {
  AppendTag(body_, tag, attributes);
  body_ += L'>';
  open_.push_back(tag);
}

void IdentifyExplanation::Close() {
  if (open_.empty()) return;
  body_ += L"</";
  body_ += open_.back();
  body_ += L'>';
  open_.pop_back();
}

void IdentifyExplanation::Leaf(const wchar_t* tag, Attributes attributes) {
  AppendTag(body_, tag, attributes);
  body_ += L"/>";
}

void IdentifyExplanation::Records(const std::vector<const InstalledSoftRecord*>& records) {
  if (records.empty()) {
    Leaf(L"record", {{L"found", L"no"}});
    return;
  }
  for (const InstalledSoftRecord* record : records) {
    Leaf(L"record", {{L"found", L"yes"},
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

void IdentifyExplanation::Version(std::wstring_view relativePath, int policy,
                                  const InstalledSoftRecord& record, bool cached,
                                  std::wstring_view version) {
  const bool fromValue = policy == kaSoftVersionPolicy_reg;
  const bool fromCache = policy == kaSoftVersionPolicy_arpFile ||
                         policy == kaSoftVersionPolicy_arpProduct;
  const wchar_t* from = fromValue ? L"DisplayVersion value"
                        : fromCache ? L"Add/Remove Programs cache entry's file"
                                    : L"file's version resource";
  Leaf(L"version", {{L"path", relativePath},
                    {L"policy", PolicyName(policy)},
                    {L"from", from},
                    {L"file", fromValue ? L"" : std::wstring_view(record.versionFile)},
                    {L"read", fromValue ? L"" : cached ? L"cached" : L"now"},
                    {L"result", fromValue ? L"" : ResultText(record.versionResult)},
                    {L"value", version.empty() ? std::wstring_view(L"(none)") : version}});
}

std::wstring IdentifyExplanation::Document(Attributes rootAttributes) const {
  std::wstring out;
  AppendTag(out, L"explanation", rootAttributes);
  out += L'>';
  out += body_;
  out += L"</explanation>";
  return out;
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
