#include "identify/VersionPolicy.h"

#include <algorithm>
#include <cstdlib>

namespace tessary {
namespace {

constexpr wchar_t kFullwidthComma = L'\xFF0C';

bool IsSeparator(wchar_t c) noexcept { return c == L'.' || c == L',' || c == kFullwidthComma; }

// Yields a version's components one at a time, so a comparison stops at the
// first difference without splitting either text whole.
class ComponentReader {
 public:
  explicit ComponentReader(const wchar_t* text) noexcept : text_(text ? text : L"") {}

  bool Next(int& value) noexcept {
    const size_t start = next_;
    size_t pos = start;
    for (; text_[pos] != L'\0'; ++pos) {
      // A separator right after another (or at the start) does not end an
      // empty component: it becomes part of the next one, which then reads 0.
      if (IsSeparator(text_[pos]) && pos > start) {
        value = _wtoi(text_ + start);
        next_ = pos + 1;
        return true;
      }
    }
    next_ = pos;
    if (pos == start) return false;
    // _wtoi stops at the first non-digit, so reading from the component's
    // start never crosses into the next one.
    value = _wtoi(text_ + start);
    return true;
  }

 private:
  const wchar_t* text_;
  size_t next_ = 0;
};

bool IsVersionLetter(wchar_t c) noexcept { return c == L'v' || c == L'V'; }

}  // namespace

int CompareVersions(const wchar_t* first, const wchar_t* second) noexcept {
  ComponentReader left(first);
  ComponentReader right(second);
  for (;;) {
    int a = 0;
    int b = 0;
    const bool hasLeft = left.Next(a);
    const bool hasRight = right.Next(b);
    if (!hasLeft && !hasRight) return 0;
    if (!hasLeft) return 1;
    if (!hasRight) return -1;
    if (a > b) return -1;
    if (a < b) return 1;
  }
}

std::wstring_view TrimVersionLetters(std::wstring_view version) noexcept {
  while (!version.empty() && IsVersionLetter(version.front())) version.remove_prefix(1);
  while (!version.empty() && IsVersionLetter(version.back())) version.remove_suffix(1);
  return version;
}

void NormalizeVersion(std::wstring& version) noexcept {
  version.erase(std::remove(version.begin(), version.end(), L' '), version.end());
  for (wchar_t& c : version) {
    if (c == L',' || c == kFullwidthComma) c = L'.';
  }
}

}  // namespace tessary
