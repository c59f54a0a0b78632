#pragma once
// The explanation of one identification, written while it runs: which rule
// entries apply, each key tried and the records found under it, each version
// read and from where, each start-menu location, and which rule won. Written
// as XML text, so the host (or a tool) reads it as structured data.
#include <windows.h>

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "identify/InstalledSoftRecord.h"

namespace tessary {

class IdentifyExplanation {
 public:
  using Attributes = std::initializer_list<std::pair<const wchar_t*, std::wstring_view>>;

  // <tag a="..."> ... </tag>, and <tag a="..."/>. May throw bad_alloc.
  void Open(const wchar_t* tag, Attributes attributes);
  void Close();
  void Leaf(const wchar_t* tag, Attributes attributes);

  // One <record> per record of a key.
  void Records(const std::vector<const InstalledSoftRecord*>& records);
  // A version as the engine gave it: the first record's cached computation
  // (`cached` when it was not computed again for this question).
  void Version(std::wstring_view relativePath, int policy, const InstalledSoftRecord& record,
               bool cached, std::wstring_view version);
  // What the step decided, and the rule that now supplies the outcome.
  void Decision(std::wstring_view decision) { Leaf(L"decision", {{L"text", decision}}); }
  void Winner(std::wstring winner) { winner_ = std::move(winner); }
  const std::wstring& winner() const noexcept { return winner_; }

  // The whole explanation: the root element around what was written.
  std::wstring Document(Attributes rootAttributes) const;

 private:
  std::wstring body_;
  std::vector<const wchar_t*> open_;
  std::wstring winner_;
};

// Names of values as explanations write them.
std::wstring PolicyName(int policy);
std::wstring SourceName(int source);
std::wstring ResultText(HRESULT hr);

}  // namespace tessary
