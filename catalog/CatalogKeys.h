#pragma once
// Keys of the catalog's tables: COM strings ordered and matched by the
// platform's locale comparison (user default locale, no flags), in which an
// absent string equals an empty one.
#include <windows.h>
#include <oleauto.h>

#include "common/Unique.h"

namespace tessary {

inline int CompareKeys(BSTR a, BSTR b) noexcept {
  return static_cast<int>(::VarBstrCmp(a, b, LOCALE_USER_DEFAULT, 0));
}

inline bool SameText(BSTR a, BSTR b) noexcept {
  return CompareKeys(a, b) == static_cast<int>(VARCMP_EQ);
}

struct KeyLess {
  using is_transparent = void;
  static bool Less(BSTR a, BSTR b) noexcept {
    return CompareKeys(a, b) == static_cast<int>(VARCMP_LT);
  }
  bool operator()(const UniqueBstr& a, const UniqueBstr& b) const noexcept {
    return Less(a.Get(), b.Get());
  }
  bool operator()(BSTR a, const UniqueBstr& b) const noexcept { return Less(a, b.Get()); }
  bool operator()(const UniqueBstr& a, BSTR b) const noexcept { return Less(a.Get(), b); }
};

}  // namespace tessary

namespace tessary {

// Locale lower-casing in place, as software names are stored and looked up.
inline void LowerBstr(UniqueBstr& text) noexcept {
  if (!text.Empty()) ::CharLowerBuffW(text.Get(), text.Length());
}

}  // namespace tessary

#include <initializer_list>
#include <string_view>

#include "datafiles/XmlDom.h"

namespace tessary {

// The index of the literal that `text` equals as the platform compares names
// (NameEquals), or -1. `text` ends in a NUL. A name spelled exactly like a
// literal is settled without the locale comparison, which costs more than
// the rest of a read.
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
    if (NameEquals(text.data(), literal)) return index;
    ++index;
  }
  return -1;
}

inline int MatchName(BSTR name, std::initializer_list<const wchar_t*> literals) noexcept {
  return MatchText(std::wstring_view(name ? name : L"", ::SysStringLen(name)), literals);
}

}  // namespace tessary
