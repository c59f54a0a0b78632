#include "identify/IdentificationRules.h"

#include <utility>

#include "common/Names.h"
#include "common/Text.h"
#include "datafiles/DataFiles.h"
#include "datafiles/XmlDom.h"

using Microsoft::WRL::ComPtr;

namespace tessary {
namespace {

std::wstring TextOf(BSTR text) { return std::wstring(TextToNul(text)); }

RegKeyRule ReadRegKeyRule(IXMLDOMNode* element) {
  RegKeyRule rule;
  ForEachAttribute(element, [&](BSTR name, BSTR text) {
    if (LoweredNameEquals(name, L"displayname")) {
      rule.displayName = TextOf(text);
    } else if (LoweredNameEquals(name, L"policy")) {
      rule.policy = TextToInt(text);
    } else if (LoweredNameEquals(name, L"ver_filepath")) {
      rule.verFilePath = TextOf(text);
    } else if (LoweredNameEquals(name, L"ver_filepath1")) {
      AppendCommaList(TextToNul(text), rule.altVerFilePaths);
    }
  });
  const UniqueBstr text = NodeText(element);
  rule.regKey = TextOf(text.Get());
  return rule;
}

StartMenuLocation ReadStartMenuLocation(IXMLDOMNode* element) {
  StartMenuLocation location;
  ForEachAttribute(element, [&](BSTR name, BSTR text) {
    if (LoweredNameEquals(name, L"path")) {
      location.subFolder = TextOf(text);
    } else if (LoweredNameEquals(name, L"app_file")) {
      location.appFile = TextOf(text);
    } else if (LoweredNameEquals(name, L"uninstall_file")) {
      location.uninstallFile = TextOf(text);
    } else if (LoweredNameEquals(name, L"policy")) {
      location.policy = TextToInt(text);
    } else if (LoweredNameEquals(name, L"ver_filepath")) {
      AppendCommaList(TextToNul(text), location.verFilePaths);
      // A present but empty list still names one path: the empty one.
      if (location.verFilePaths.empty()) location.verFilePaths.emplace_back();
    }
  });
  return location;
}

SoftwareRule ReadSoftwareRule(IXMLDOMNode* element) {
  SoftwareRule rule;
  ForEachAttribute(element, [&](BSTR name, BSTR text) {
    if (LoweredNameEquals(name, L"name")) rule.name = LowerCopy(TextToNul(text));
  });
  ForEachChildElement(element, [&](IXMLDOMNode* child) {
    const UniqueBstr name = NodeName(child);
    if (SameText(name.Get(), L"regkey")) {
      rule.regKeyRules.push_back(ReadRegKeyRule(child));
    } else if (SameText(name.Get(), L"start_menu")) {
      rule.startMenuLocations.push_back(ReadStartMenuLocation(child));
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

RulesRefusal IdentificationRuleTable::LoadOrRefuse(IXMLDOMDocument* document) {
  if (!document) return RulesRefusal::kNoDocument;
  const ComPtr<IXMLDOMNode> root = SelectRoot(document, L"vedad");
  if (!root) return RulesRefusal::kNoRoot;
  int result = 0;
  ForEachAttribute(root.Get(), [&](BSTR name, BSTR text) {
    if (LoweredNameEquals(name, L"result")) result = TextToInt(text);
  });
  if (result != 0) return RulesRefusal::kFailedResult;
  if (ChildNodeCount(root.Get()) == 0) return RulesRefusal::kNoRules;

  // Built aside and swapped in, so a failure part-way keeps the old table.
  Map entries;
  ForEachChildElement(root.Get(), [&](IXMLDOMNode* element) {
    // An element without any child node (comments count) names no rules.
    if (ChildNodeCount(element) == 0) return;
    SoftwareRule rule = ReadSoftwareRule(element);
    std::wstring key = rule.name;
    entries.insert_or_assign(std::move(key), std::move(rule));
  });
  entries_.swap(entries);
  return RulesRefusal::kNone;
}

SoftwareRule* IdentificationRuleTable::Find(std::wstring_view loweredName) noexcept {
  const auto found = entries_.find(loweredName);
  return found == entries_.end() ? nullptr : &found->second;
}

}  // namespace tessary
