#include "identify/IdentificationRules.h"

#include <utility>

#include "common/Text.h"
#include "identify/RulesXml.h"
#include "inventory/XmlAccess.h"

using Microsoft::WRL::ComPtr;

namespace tessary {
namespace {

std::wstring TextOf(BSTR text) { return std::wstring(BstrView(text)); }

RegKeyRule ReadRegKeyRule(IXMLDOMNode* element) {
  RegKeyRule rule;
  ForEachAttribute(element, [&](BSTR name, BSTR text) {
    switch (MatchName(name, {L"displayname", L"policy", L"ver_filepath", L"ver_filepath1"},
                      true)) {
      case 0: rule.displayName = TextOf(text); break;
      case 1: rule.policy = TextToInt(text); break;
      case 2: rule.verFilePath = TextOf(text); break;
      case 3: AppendCommaList(BstrView(text), rule.altVerFilePaths); break;
      default: break;
    }
  });
  const UniqueBstr text = NodeText(element);
  rule.regKey = TextOf(text.Get());
  return rule;
}

StartMenuLocation ReadStartMenuLocation(IXMLDOMNode* element) {
  StartMenuLocation location;
  ForEachAttribute(element, [&](BSTR name, BSTR text) {
    switch (MatchName(name, {L"path", L"app_file", L"uninstall_file", L"policy", L"ver_filepath"},
                      true)) {
      case 0: location.subFolder = TextOf(text); break;
      case 1: location.appFile = TextOf(text); break;
      case 2: location.uninstallFile = TextOf(text); break;
      case 3: location.policy = TextToInt(text); break;
      case 4:
        AppendCommaList(BstrView(text), location.verFilePaths);
        // A present but empty list still names one path: the empty one.
        if (location.verFilePaths.empty()) location.verFilePaths.emplace_back();
        break;
      default: break;
    }
  });
  return location;
}

SoftwareRule ReadSoftwareRule(IXMLDOMNode* element) {
  SoftwareRule rule;
  ForEachAttribute(element, [&](BSTR name, BSTR text) {
    if (MatchName(name, {L"name"}, true) == 0) rule.name = LowerCopy(BstrView(text));
  });
  ForEachElementChild(element, [&](IXMLDOMNode* child) {
    const UniqueBstr name = NodeName(child);
    switch (MatchName(name.Get(), {L"regkey", L"start_menu"})) {
      case 0: rule.regKeyRules.push_back(ReadRegKeyRule(child)); break;
      case 1: rule.startMenuLocations.push_back(ReadStartMenuLocation(child)); break;
      default: break;
    }
  });
  return rule;
}

}  // namespace

void AppendCommaList(std::wstring_view value, std::vector<std::wstring>& list) {
  size_t start = 0;
  for (size_t comma = value.find(L','); comma != std::wstring_view::npos;
       comma = value.find(L',', start)) {
    list.emplace_back(value.substr(start, comma - start));
    start = comma + 1;
  }
  if (start < value.size()) list.emplace_back(value.substr(start));
}

bool IdentificationRuleTable::Load(const wchar_t* path) {
  const ComPtr<IXMLDOMDocument> document = LoadXmlFile(path);
  return Load(document.Get());
}

bool IdentificationRuleTable::Load(IXMLDOMDocument* document) {
  if (!document) return false;
  const ComPtr<IXMLDOMNode> root = SelectRoot(document, L"vedad");
  if (!root) return false;
  int result = 0;
  ForEachAttribute(root.Get(), [&](BSTR name, BSTR text) {
    if (MatchName(name, {L"result"}, true) == 0) result = TextToInt(text);
  });
  if (result != 0 || !HasChildNodes(root.Get())) return false;

  // Built aside and swapped in, so a failure part-way keeps the old table.
  Map entries;
  ForEachElementChild(root.Get(), [&](IXMLDOMNode* element) {
    // An element without any child node (comments count) names no rules.
    if (!HasChildNodes(element)) return;
    SoftwareRule rule = ReadSoftwareRule(element);
    std::wstring key = rule.name;
    entries.insert_or_assign(std::move(key), std::move(rule));
  });
  entries_.swap(entries);
  return true;
}

SoftwareRule* IdentificationRuleTable::Find(std::wstring_view loweredName) noexcept {
  const auto found = entries_.find(loweredName);
  return found == entries_.end() ? nullptr : &found->second;
}

}  // namespace tessary
