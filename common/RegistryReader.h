#pragma once
// The one way the component reads the registry: keys opened for reading only,
// the root a parameter, a missing key or value an ordinary outcome, and value
// data kept raw (any type taken as UTF-16 text, nothing expanded) but always
// copied bounded and terminated.
#include <windows.h>
#include <oleauto.h>

#include <cstddef>
#include <string>

#include "common/Result.h"
#include "common/Text.h"
#include "common/Unique.h"

namespace tessary {

// The longest legal key name plus its terminator.
constexpr DWORD kMaxKeyNameChars = 256;

// Opens `path` below `root`; false (and `key` empty) when it cannot be opened.
inline bool OpenRegistryKey(HKEY root, const wchar_t* path, REGSAM access,
                            UniqueHkey& key) noexcept {
  return ::RegOpenKeyExW(root, path ? path : L"", 0, access, key.put()) == ERROR_SUCCESS;
}

// What a subkey walk does with a name it cannot read: skip it, so one bad
// name hides nothing after it, or fail the walk when it must be whole.
enum class UnreadableSubkey { kSkip, kFail };

// Calls visit(name, length) for each subkey of `key`, by index up to the count
// taken when the walk begins. Names longer than a legal key name are
// unreadable. Stops at the first failure, visit's or the registry's, and
// returns it; what visit throws passes through.
template <typename Visit>
HRESULT ForEachSubkeyName(HKEY key, UnreadableSubkey unreadable, Visit&& visit) {
  DWORD subkeys = 0;
  RETURN_IF_WIN32_ERROR(::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr,
                                           nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
  wchar_t name[kMaxKeyNameChars];
  for (DWORD index = 0; index < subkeys; ++index) {
    DWORD length = kMaxKeyNameChars;
    const LSTATUS status =
        ::RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) break;
    if (status != ERROR_SUCCESS) {
      if (unreadable == UnreadableSubkey::kSkip) continue;
      return HRESULT_FROM_WIN32(status);
    }
    RETURN_IF_FAILED(visit(static_cast<const wchar_t*>(name), length));
  }
  return S_OK;
}

// Reads values of any type into one reusable buffer. Data is taken as UTF-16
// text up to its first NUL or its end, whichever comes first, as if read into
// a zeroed buffer: data written without a terminator or of a numeric type
// never reads past what the registry returned, and an odd last byte stands as
// a character of its own.
class RegistryTextReader {
 public:
  // Registry data the component accepts; longer data is unreadable.
  static constexpr DWORD kMaxDataBytes = 16383;

  // Copies the value's text into dst (capacity characters including the
  // terminator), cut to fit. False, with dst untouched, when the value is
  // missing or its data cannot be read.
  bool Read(HKEY key, const wchar_t* name, wchar_t* dst, size_t capacity) noexcept {
    DWORD bytes = kMaxDataBytes;
    if (::RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(data_), &bytes) !=
        ERROR_SUCCESS) {
      return false;
    }
    if (bytes % sizeof(wchar_t) != 0) reinterpret_cast<BYTE*>(data_)[bytes] = 0;
    CopyBounded(dst, capacity, std::wstring_view(data_, (bytes + 1) / sizeof(wchar_t)));
    return true;
  }

  template <size_t N>
  bool Read(HKEY key, const wchar_t* name, wchar_t (&dst)[N]) noexcept {
    return Read(key, name, dst, N);
  }

 private:
  wchar_t data_[kMaxDataBytes / sizeof(wchar_t) + 1];
};

// A value's text whole, however long, taken as RegistryTextReader takes it.
// False, with `text` untouched, when the value is missing or unreadable.
// Throws bad_alloc.
inline bool ReadWholeText(HKEY key, const wchar_t* name, std::wstring& text) {
  std::wstring data(128, L'\0');
  for (;;) {
    DWORD bytes = static_cast<DWORD>(data.size() * sizeof(wchar_t));
    const LSTATUS status = ::RegQueryValueExW(key, name, nullptr, nullptr,
                                              reinterpret_cast<BYTE*>(data.data()), &bytes);
    // The value may grow between the calls: ask again with what it says.
    if (status == ERROR_MORE_DATA) {
      data.assign(bytes / sizeof(wchar_t) + 1, L'\0');
      continue;
    }
    if (status != ERROR_SUCCESS) return false;
    if (bytes % sizeof(wchar_t) != 0) reinterpret_cast<BYTE*>(data.data())[bytes] = 0;
    data.resize((bytes + 1) / sizeof(wchar_t));
    data.resize(std::wstring_view(data.c_str()).size());
    text = std::move(data);
    return true;
  }
}

// A REG_DWORD value; false when missing or of another type or size.
inline bool ReadDword(HKEY key, const wchar_t* name, DWORD& value) noexcept {
  DWORD type = 0;
  DWORD data = 0;
  DWORD bytes = sizeof(data);
  if (::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &bytes) !=
          ERROR_SUCCESS ||
      type != REG_DWORD || bytes != sizeof(data)) {
    return false;
  }
  value = data;
  return true;
}

}  // namespace tessary
