#pragma once
// Owning wrappers for the handle kinds the component uses. put() releases the
// old value before handing out its address, so a wrapper can be reused as an
// out-parameter without leaking.
#include <windows.h>
#include <oleauto.h>

#include <cassert>
#include <cstdint>
#include <string_view>
#include <utility>

namespace tessary {

template <typename Traits>
class UniqueResource {
 public:
  using Type = typename Traits::Type;

  UniqueResource() noexcept = default;
  explicit UniqueResource(Type value) noexcept : value_(value) {}
  UniqueResource(const UniqueResource&) = delete;
  UniqueResource& operator=(const UniqueResource&) = delete;
  UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
  UniqueResource& operator=(UniqueResource&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~UniqueResource() { reset(); }

  Type get() const noexcept { return value_; }
  explicit operator bool() const noexcept { return value_ != Traits::Invalid(); }

  Type* put() noexcept {
    reset();
    return &value_;
  }
  Type release() noexcept { return std::exchange(value_, Traits::Invalid()); }
  void reset(Type value = Traits::Invalid()) noexcept {
    Type old = std::exchange(value_, value);
    if (old != Traits::Invalid()) Traits::Close(old);
  }

 private:
  Type value_ = Traits::Invalid();
};

// The traits of a handle kind closed by one function; `kInvalid` is the value
// that holds nothing (INVALID_HANDLE_VALUE is -1).
template <typename T, auto CloseFunction, intptr_t kInvalid = 0>
struct ClosedBy {
  using Type = T;
  static Type Invalid() noexcept { return reinterpret_cast<Type>(kInvalid); }
  static void Close(Type h) noexcept { CloseFunction(h); }
};

using UniqueHkey = UniqueResource<ClosedBy<HKEY, ::RegCloseKey>>;
using UniqueHandle = UniqueResource<ClosedBy<HANDLE, ::CloseHandle>>;
using UniqueFileHandle = UniqueResource<ClosedBy<HANDLE, ::CloseHandle, -1>>;
using UniqueFindHandle = UniqueResource<ClosedBy<HANDLE, ::FindClose, -1>>;
using UniqueModule = UniqueResource<ClosedBy<HMODULE, ::FreeLibrary>>;
using UniqueWindow = UniqueResource<ClosedBy<HWND, ::DestroyWindow>>;
using UniqueLocal = UniqueResource<ClosedBy<HLOCAL, ::LocalFree>>;
using UniqueSafeArray = UniqueResource<ClosedBy<SAFEARRAY*, ::SafeArrayDestroy>>;

// A BSTR owner. It never adopts a raw BSTR by accident: use Attach() or
// Receive() (which requires the owner to be empty: a callee writes its out
// string without freeing what was there, so reuse calls Reset() first).
class UniqueBstr {
 public:
  UniqueBstr() noexcept = default;
  UniqueBstr(const UniqueBstr&) = delete;
  UniqueBstr& operator=(const UniqueBstr&) = delete;
  UniqueBstr(UniqueBstr&& other) noexcept : value_(other.Detach()) {}
  UniqueBstr& operator=(UniqueBstr&& other) noexcept {
    if (this != &other) Attach(other.Detach());
    return *this;
  }
  ~UniqueBstr() { Reset(); }

  // Copies text into a new BSTR; false (and empty) on allocation failure of a
  // non-null source. A null source yields a null BSTR.
  bool CopyFrom(const wchar_t* text) noexcept {
    Reset();
    if (!text) return true;
    value_ = ::SysAllocString(text);
    return value_ != nullptr;
  }
  bool CopyFrom(const wchar_t* text, UINT length) noexcept {
    Reset();
    if (!text) return true;
    value_ = ::SysAllocStringLen(text, length);
    return value_ != nullptr;
  }

  BSTR Get() const noexcept { return value_; }
  UINT Length() const noexcept { return ::SysStringLen(value_); }
  bool Empty() const noexcept { return Length() == 0; }
  explicit operator bool() const noexcept { return value_ != nullptr; }

  BSTR* Receive() noexcept {
    assert(!value_ && "Receive() into an owner that holds a string");
    Reset();  // a release build still never leaks
    return &value_;
  }
  void Attach(BSTR value) noexcept {
    if (value_ != value) Reset();
    value_ = value;
  }
  BSTR Detach() noexcept { return std::exchange(value_, nullptr); }
  void Reset() noexcept {
    if (value_) ::SysFreeString(std::exchange(value_, nullptr));
  }

 private:
  BSTR value_ = nullptr;
};

class UniqueVariant {
 public:
  UniqueVariant() noexcept { ::VariantInit(&value_); }
  UniqueVariant(const UniqueVariant&) = delete;
  UniqueVariant& operator=(const UniqueVariant&) = delete;
  ~UniqueVariant() { ::VariantClear(&value_); }

  VARIANT* Receive() noexcept {
    ::VariantClear(&value_);
    return &value_;
  }
  const VARIANT& Get() const noexcept { return value_; }
  VARIANT* operator&() noexcept { return &value_; }

 private:
  VARIANT value_;
};

// Copies into a caller-owned out string, which is null on failure: always
// E_OUTOFMEMORY, when a present text cannot be copied.

// `text` up to its first NUL; a null text gives a null string.
inline HRESULT CopyOut(const wchar_t* text, BSTR* out) noexcept {
  *out = nullptr;
  if (!text) return S_OK;
  *out = ::SysAllocString(text);
  return *out ? S_OK : E_OUTOFMEMORY;
}

// An exact copy of a COM string, embedded NULs and all; null stays null.
inline HRESULT CopyOutExact(BSTR text, BSTR* out) noexcept {
  *out = nullptr;
  if (!text) return S_OK;
  *out = ::SysAllocStringLen(text, ::SysStringLen(text));
  return *out ? S_OK : E_OUTOFMEMORY;
}

// How a method hands out the empty text: as a null string or an empty one.
enum class EmptyText { kNull, kEmpty };

// All of `text`; the empty text as `empty` says.
inline HRESULT CopyOut(std::wstring_view text, EmptyText empty, BSTR* out) noexcept {
  *out = nullptr;
  if (text.empty() && empty == EmptyText::kNull) return S_OK;
  *out = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return *out ? S_OK : E_OUTOFMEMORY;
}

}  // namespace tessary
