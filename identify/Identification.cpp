#include "identify/Identification.h"

#include <utility>

#include "identify/KaInstalledSoft.h"
#include "identify/VersionPolicy.h"

namespace tessary {
namespace {

// Writes the steps down when they were asked for, and does nothing
// otherwise: an answer costs what deciding costs.
class StepLog {
 public:
  StepLog(KaInstalledSoft& engine, std::vector<RuleStep>* steps) : engine_(engine), steps_(steps) {}

  void Rule(RuleKind kind, size_t index, std::wstring_view key) {
    if (!steps_) return;
    RuleStep& step = steps_->emplace_back();
    step.kind = kind;
    step.index = index;
    step.records = engine_.RecordsFor(key);
  }
  void StartMenuRule(size_t index, std::wstring_view name) {
    if (!steps_) return;
    std::wstring key(name);
    key += kStartMenuKeySuffix;
    Rule(RuleKind::kStartMenu, index, key);
  }
  void Read(std::wstring_view path, bool alternative, int policy, HRESULT hr,
            const VersionOrigin& origin, const std::wstring& version) {
    if (!steps_) return;
    VersionRead& read = steps_->back().reads.emplace_back();
    read.path = path;
    read.alternative = alternative;
    read.policy = policy;
    read.hr = hr;
    // The record's provenance as this read left it: a later read of the
    // same key overwrites it.
    if (origin.record) {
      read.cached = origin.cached;
      read.result = origin.record->versionResult;
      read.file = origin.record->versionFile;
    }
    read.value = version;
  }
  void Decide(Verdict verdict, std::wstring_view compared = {}) {
    if (!steps_) return;
    steps_->back().verdict = verdict;
    steps_->back().compared = compared;
  }
  void DecideRead(Verdict verdict) {
    if (!steps_) return;
    steps_->back().reads.back().verdict = verdict;
  }
  void StartMenuSkipped() {
    if (!steps_) return;
    RuleStep& step = steps_->emplace_back();
    step.kind = RuleKind::kStartMenu;
    step.verdict = Verdict::kSkipped;
  }

 private:
  KaInstalledSoft& engine_;
  std::vector<RuleStep>* steps_;
};

bool IsNewer(const std::wstring& current, const std::wstring& candidate) {
  return !candidate.empty() && CompareVersions(current.c_str(), candidate.c_str()) == 1;
}

// True when any key is registered.
bool ByRegistry(const SoftwareRule& rule, KaInstalledSoft& engine, Identification& out,
                StepLog& log) {
  bool found = false;
  std::wstring version;
  for (size_t i = 0; i < rule.regKeyRules.size(); ++i) {
    const RegKeyRule& key = rule.regKeyRules[i];
    log.Rule(RuleKind::kRegKey, i, key.regKey);
    VersionOrigin origin;
    HRESULT hr = engine.VersionOf(key.regKey, key.policy, key.verFilePath, version, &origin);
    log.Read(key.verFilePath, false, key.policy, hr, origin, version);
    if (FAILED(hr)) {
      log.Decide(Verdict::kNoEntry);
      continue;
    }
    found = true;
    if (!out.version.empty()) {
      // The newest version wins, with the display name of its rule.
      const bool newer = IsNewer(out.version, version);
      log.Decide(newer ? Verdict::kNewer : Verdict::kNotNewer, out.version);
      if (newer) {
        out.version = version;
        out.displayName = key.displayName;
        out.winner = RuleRef{RuleKind::kRegKey, i};
      }
      continue;
    }
    for (size_t a = 0; version.empty() && a < key.altVerFilePaths.size(); ++a) {
      const std::wstring& path = key.altVerFilePaths[a];
      hr = engine.VersionOf(key.regKey, key.policy, path, version, &origin);
      log.Read(path, true, key.policy, hr, origin, version);
    }
    log.Decide(version.empty() ? Verdict::kRegisteredNoVersion : Verdict::kFirstVersion);
    out.version = version;
    out.displayName = key.displayName;
    out.winner = RuleRef{RuleKind::kRegKey, i};
  }
  return found;
}

// True when any location's record answered.
bool ByStartMenu(const SoftwareRule& rule, KaInstalledSoft& engine, Identification& out,
                 StepLog& log) {
  bool found = false;
  std::wstring version;
  for (size_t i = 0; i < rule.startMenuLocations.size(); ++i) {
    const StartMenuLocation& location = rule.startMenuLocations[i];
    log.StartMenuRule(i, rule.name);
    if (location.verFilePaths.empty()) log.Decide(Verdict::kNoVersionPath);
    for (const std::wstring& path : location.verFilePaths) {
      VersionOrigin origin;
      const HRESULT hr =
          engine.StartMenuVersionOf(rule.name, location.policy, path, version, &origin);
      log.Read(path, false, location.policy, hr, origin, version);
      if (FAILED(hr)) continue;
      found = true;
      if (!out.version.empty()) {
        if (IsNewer(out.version, version)) {
          out.version = version;
          out.winner = RuleRef{RuleKind::kStartMenu, i};
          log.DecideRead(Verdict::kNewer);
        }
        continue;
      }
      if (!version.empty()) {
        out.version = version;
        out.winner = RuleRef{RuleKind::kStartMenu, i};
        log.DecideRead(Verdict::kFirstVersion);
        break;
      }
    }
  }
  return found;
}

}  // namespace

Identification Identify(const SoftwareRule& rule, KaInstalledSoft& engine, StepDetail detail) {
  Identification out;
  StepLog log(engine, detail == StepDetail::kSteps ? &out.steps : nullptr);
  bool found = ByRegistry(rule, engine, out, log);
  // The start menu is only consulted for programs no registered key reveals.
  if (!found) {
    found = ByStartMenu(rule, engine, out, log);
  } else if (!rule.startMenuLocations.empty()) {
    log.StartMenuSkipped();
  }
  out.status = found ? kaSoftInstallStatus_installed : kaSoftInstallStatus_noInstall;
  return out;
}

}  // namespace tessary
