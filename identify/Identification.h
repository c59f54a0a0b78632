#pragma once
// Identification of one rule entry, as data: the registry-key rules are
// asked in order (the newest version wins, with its rule's display name);
// only when none of their keys is registered are the start-menu locations
// asked. The outcome is returned with, when asked for, the steps that led to
// it; IdentifyExplanation renders those steps, so deciding never formats
// text and an answer without an explanation records nothing.
#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "TessaryLib.h"
#include "identify/IdentificationRules.h"
#include "identify/InstalledSoftRecord.h"

namespace tessary {

class KaInstalledSoft;

enum class RuleKind : std::uint8_t { kRegKey, kStartMenu };

// What a step concluded.
enum class Verdict : std::uint8_t {
  kNone,                  // nothing: the read changed no outcome
  kNoEntry,               // no Uninstall entry under the key
  kFirstVersion,          // the first version found: it wins
  kRegisteredNoVersion,   // registered but no version read: installed, version empty
  kNewer,                 // newer than the version so far: it wins
  kNotNewer,              // not newer: the earlier rule's stays
  kNoVersionPath,         // a start-menu location with no version path is never asked
  kSkipped,               // the start menu is not asked once a key was registered
};

// One version asked of the engine.
struct VersionRead {
  std::wstring_view path;  // the rule's text; valid as long as the rule
  bool alternative = false;
  int policy = kaSoftVersionPolicy_none;
  HRESULT hr = S_OK;       // the engine's answer
  bool cached = false;     // a key's record already held a version under this policy
  HRESULT result = S_OK;   // how the answering record's version was computed
  std::wstring file;       // the file it was read from or looked for
  std::wstring value;
  Verdict verdict = Verdict::kNone;  // start menu: what this read decided
};

// One registry-key rule or start-menu location, by its index in the rule.
struct RuleStep {
  RuleKind kind = RuleKind::kRegKey;
  size_t index = 0;
  // The engine's records for the key, valid until its next build.
  std::vector<const InstalledSoftRecord*> records;
  std::vector<VersionRead> reads;
  Verdict verdict = Verdict::kNone;
  std::wstring compared;  // the version so far, for kNewer and kNotNewer
};

struct RuleRef {
  RuleKind kind = RuleKind::kRegKey;
  size_t index = 0;
};

struct Identification {
  kaSoftInstallStatus status = kaSoftInstallStatus_noInstall;
  std::wstring version;
  std::wstring displayName;
  std::optional<RuleRef> winner;  // the rule that gave the outcome
  std::vector<RuleStep> steps;    // empty unless asked for
};

enum class StepDetail : std::uint8_t { kOutcomeOnly, kSteps };

// Asks `engine` about `rule`. Versions read are cached in the engine's
// records as for any question. May throw bad_alloc.
Identification Identify(const SoftwareRule& rule, KaInstalledSoft& engine,
                        StepDetail detail = StepDetail::kOutcomeOnly);

}  // namespace tessary
