#pragma once
// How the component compares names, each way in one place:
// - software and registry-key names are lower-cased with the locale
//   (CharLowerBuffW) as they are stored and as they are looked up, then
//   compared unit for unit;
// - texts the data files and the catalog call "equal", and the catalog's
//   table order, are the platform's comparison (VarBstrCmp, user default
//   locale, no flags), in which a null string equals the empty one;
// - the inventory tells duplicate programs apart by an ordinal,
//   case-insensitive comparison.
#include <windows.h>
#include <oleauto.h>

#include <initializer_list>
#include <string>
#include <string_view>

#include "common/Text.h"
#include "common/Unique.h"

namespace tessary {

inline void LowerInPlace(wchar_t* text, size_t length) noexcept {
  if (length) ::CharLowerBuffW(text, static_cast<DWORD>(length));
}
inline void LowerInPlace(std::wstring& text) noexcept { LowerInPlace(text.data(), text.size()); }
inline void LowerInPlace(UniqueBstr& text) noexcept { LowerInPlace(text.Get(), text.Length()); }

inline std::wstring LowerCopy(std::wstring_view text) {
  std::wstring copy(text);
  LowerInPlace(copy);
  return copy;
}

// VARCMP_LT, VARCMP_EQ or VARCMP_GT; all of each COM string is compared.
inline int CompareText(BSTR a, BSTR b) noexcept {
  return static_cast<int>(::VarBstrCmp(a, b, LOCALE_USER_DEFAULT, 0));
}

// The platform's equality for texts that end at their first NUL (null is
// empty). Names are compared by the thousand while a file is read, so the
// plain cases are settled without allocating: identical text is always
// equal, and differing texts of letters, digits and '_' alone never are.
inline bool SameText(const wchar_t* a, const wchar_t* b) noexcept {
  const std::wstring_view left = ViewOf(a);
  const std::wstring_view right = ViewOf(b);
  if (left == right) return true;
  const auto plain = [](std::wstring_view text) {
    for (const wchar_t c : text) {
      if (!((c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') ||
            c == L'_')) {
        return false;
      }
    }
    return true;
  };
  if (plain(left) && plain(right)) return false;
  UniqueBstr leftCopy;
  UniqueBstr rightCopy;
  if (!leftCopy.CopyFrom(left.data(), static_cast<UINT>(left.size())) ||
      !rightCopy.CopyFrom(right.data(), static_cast<UINT>(right.size()))) {
    return false;
  }
  return CompareText(leftCopy.Get(), rightCopy.Get()) == VARCMP_EQ;
}

// The index of the literal that `text` equals as SameText has it, or -1.
// `text` ends in a NUL. A text spelled exactly like a literal is settled
// without the locale comparison, which costs more than the rest of a read.
inline int MatchText(std::wstring_view text,
                     std::initializer_list<const wchar_t*> literals) noexcept {
  // Spelled exactly like `literal`, told without measuring the literal first.
  const auto spelled = [&](const wchar_t* literal) {
    for (const wchar_t c : text) {
      if (*literal == L'\0' || *literal != c) return false;
      ++literal;
    }
    return *literal == L'\0';
  };
  int index = 0;
  for (const wchar_t* literal : literals) {
    if (spelled(literal)) return index;
    ++index;
  }
  index = 0;
  for (const wchar_t* literal : literals) {
    if (SameText(text.data(), literal)) return index;  // NOLINT(bugprone-suspicious-stringview-data-usage): ends in a NUL
    ++index;
  }
  return -1;
}

// Ordinal and case-insensitive, each text up to its first NUL.
inline bool SameIgnoringCase(const wchar_t* a, const wchar_t* b) noexcept {
  return ::CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL;
}

}  // namespace tessary
