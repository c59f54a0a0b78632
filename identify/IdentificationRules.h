#pragma once
// The identification rules as KaCommonSoft keeps them: one entry per software
// name, with the registry keys and start-menu locations that reveal it and
// the outcome of its last identification.
#include <windows.h>
#include <msxml.h>

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "TessaryLib.h"

namespace tessary {

// The rules file, relative to the module's own file name (DataFilePath).
inline constexpr wchar_t kRulesFile[] = L"..\\KaData\\KaSoftwareVerIdentify.xml";

struct RegKeyRule {
  std::wstring regKey;
  std::wstring displayName;
  int policy = kaSoftVersionPolicy_none;
  std::wstring verFilePath;
  std::vector<std::wstring> altVerFilePaths;
};

struct StartMenuLocation {
  std::wstring subFolder;
  std::wstring appFile;
  std::wstring uninstallFile;
  int policy = kaSoftVersionPolicy_none;
  std::vector<std::wstring> verFilePaths;
};

struct SoftwareRule {
  std::wstring name;  // lower-cased; also the table key
  std::wstring displayName;
  std::wstring version;
  kaSoftInstallStatus status = kaSoftInstallStatus_unknown;
  std::vector<RegKeyRule> regKeyRules;
  std::vector<StartMenuLocation> startMenuLocations;

  // Forgets what identification found.
  void ResetIdentification() noexcept {
    displayName.clear();
    version.clear();
    status = kaSoftInstallStatus_unknown;
  }
};

// Appends the parts of a comma-separated value in order, untrimmed: "a,,b"
// gives a, "" and b; ",a" gives "" and a; a trailing comma adds nothing, and
// neither does an empty value.
void AppendCommaList(std::wstring_view value, std::vector<std::wstring>& list);

// Why a rules document leaves the table as it was.
enum class RulesRefusal { kNone, kNoDocument, kNoRoot, kFailedResult, kNoRules };

class IdentificationRuleTable {
 public:
  using Map = std::map<std::wstring, SoftwareRule, std::less<>>;

  // Replaces every entry with the file's, or leaves the table as it was when
  // the file is missing, does not parse, has no "vedad" root, a non-zero
  // "result" or an empty root. True when the table was replaced. May throw
  // bad_alloc; the table is then unchanged.
  bool Load(const wchar_t* path);
  // The same from a document already loaded from the rules file.
  bool Load(IXMLDOMDocument* document) { return LoadOrRefuse(document) == RulesRefusal::kNone; }
  // As Load, saying why the table was left as it was, for callers that must
  // tell the user rather than go on with the rules read before.
  RulesRefusal LoadOrRefuse(IXMLDOMDocument* document);

  // `loweredName` must already be lower-cased as names are stored.
  SoftwareRule* Find(std::wstring_view loweredName) noexcept;

  Map& Entries() noexcept { return entries_; }
  size_t Size() const noexcept { return entries_.size(); }

 private:
  Map entries_;
};

}  // namespace tessary
