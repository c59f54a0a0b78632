#include "identify/RulesXml.h"

#include <iterator>
#include <string>
#include <string_view>

#include "common/Text.h"
#include "inventory/XmlAccess.h"

namespace tessary {
namespace {

bool IsPrintableAscii(std::wstring_view text) noexcept {
  for (const wchar_t c : text) {
    if (c < 0x21 || c > 0x7E) return false;
  }
  return true;
}

}  // namespace

int MatchName(const wchar_t* name, std::initializer_list<const wchar_t*> literals, bool lowered) {
  const std::wstring_view original = ViewOf(name);
  // Names of the rules file are short: lower them without the heap.
  wchar_t shortCopy[32];
  std::wstring longCopy;
  std::wstring_view text = original;
  if (lowered && !original.empty()) {
    wchar_t* copy = shortCopy;
    if (original.size() < std::size(shortCopy)) {
      original.copy(shortCopy, original.size());
      shortCopy[original.size()] = L'\0';
    } else {
      longCopy.assign(original);
      copy = longCopy.data();
    }
    ::CharLowerBuffW(copy, static_cast<DWORD>(original.size()));
    text = std::wstring_view(copy, original.size());
  }
  int index = 0;
  for (const wchar_t* literal : literals) {
    if (text == literal) return index;
    ++index;
  }
  // Printable ASCII names equal a literal under the locale comparison only
  // when spelled alike; only other names pay for that comparison.
  if (IsPrintableAscii(text)) return -1;
  const std::wstring terminated(text);
  index = 0;
  for (const wchar_t* literal : literals) {
    if (NameEquals(terminated.c_str(), literal)) return index;
    ++index;
  }
  return -1;
}

}  // namespace tessary
