#pragma once
// Text helpers shared by every reader: bounded copies into fixed-width
// buffers and the locale lower-casing used for software and key names.
#include <windows.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace tessary {

// Copies at most capacity - 1 characters of `src` (stopping at its first NUL)
// and always terminates. Longer text is cut, never overflows.
inline void CopyBounded(wchar_t* dst, size_t capacity, std::wstring_view src) noexcept {
  if (capacity == 0) return;
  size_t n = 0;
  while (n < src.size() && n + 1 < capacity && src[n] != L'\0') {
    dst[n] = src[n];
    ++n;
  }
  dst[n] = L'\0';
}

template <size_t N>
void CopyBounded(wchar_t (&dst)[N], std::wstring_view src) noexcept {
  CopyBounded(dst, N, src);
}

inline std::wstring_view ViewOf(const wchar_t* text) noexcept {
  return text ? std::wstring_view(text) : std::wstring_view();
}

// A BSTR as text; a null BSTR is the empty string. Embedded NULs end it, as
// they do for every Win32 call the text is handed to.
inline std::wstring_view BstrView(BSTR text) noexcept { return ViewOf(text); }

// Locale lower-casing of every character (CharLowerBuffW), as names are
// stored and looked up.
inline void LowerInPlace(std::wstring& text) noexcept {
  if (!text.empty()) ::CharLowerBuffW(text.data(), static_cast<DWORD>(text.size()));
}

inline std::wstring LowerCopy(std::wstring_view text) {
  std::wstring copy(text);
  LowerInPlace(copy);
  return copy;
}

}  // namespace tessary
