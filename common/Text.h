#pragma once
// Text helpers shared by every reader: bounded copies into fixed-width
// buffers, views and trimming. How names compare is in Names.h.
#include <windows.h>
#include <oleauto.h>

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

// COM strings as text, a null one as the empty text, in two readings named
// for what they keep. TextToNul ends at the first NUL, as every Win32 call
// the text is handed to reads it (and as names with an embedded NUL have
// always answered); WholeText keeps all of it, embedded NULs and all, as
// the platform's comparison of COM strings does.
inline std::wstring_view TextToNul(BSTR text) noexcept { return ViewOf(text); }
// Its data always ends in a NUL.
inline std::wstring_view WholeText(BSTR text) noexcept {
  return text ? std::wstring_view(text, ::SysStringLen(text)) : std::wstring_view(L"");
}

// Paths live in MAX_PATH buffers: longer text names no file.
constexpr bool FitsPath(std::wstring_view path) noexcept { return path.size() < MAX_PATH; }

template <typename Pred>
constexpr std::wstring_view TrimFrontWhile(std::wstring_view text, Pred pred) noexcept {
  while (!text.empty() && pred(text.front())) text.remove_prefix(1);
  return text;
}

template <typename Pred>
constexpr std::wstring_view TrimWhile(std::wstring_view text, Pred pred) noexcept {
  while (!text.empty() && pred(text.back())) text.remove_suffix(1);
  return TrimFrontWhile(text, pred);
}

// The blanks the readers trim: space and the C white-space controls.
constexpr bool IsBlank(wchar_t c) noexcept {
  return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n' || c == L'\v' || c == L'\f';
}

constexpr std::wstring_view TrimBlanks(std::wstring_view text) noexcept {
  return TrimWhile(text, IsBlank);
}

}  // namespace tessary
