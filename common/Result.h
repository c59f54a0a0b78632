#pragma once
// Early-return helpers. Each evaluates its argument exactly once.
#include <windows.h>

#include <new>
#include <type_traits>

namespace tessary::detail {
// A result code, not a bool or an int that would pass as one.
template <typename T>
constexpr bool kIsResult = std::is_same_v<std::remove_cvref_t<T>, HRESULT>;
}  // namespace tessary::detail

#define RETURN_IF_FAILED(expr)                                                       \
  do {                                                                               \
    const auto tessary_hr_ = (expr);                                                 \
    static_assert(::tessary::detail::kIsResult<decltype(tessary_hr_)>, "not an HRESULT"); \
    if (FAILED(tessary_hr_)) return tessary_hr_;                                     \
  } while (0)

#define RETURN_HR_IF(hr, cond)                                                       \
  do {                                                                               \
    static_assert(::tessary::detail::kIsResult<decltype(hr)>, "not an HRESULT");     \
    if (cond) return (hr);                                                           \
  } while (0)

#define RETURN_HR_IF_NULL(hr, ptr) RETURN_HR_IF(hr, (ptr) == nullptr)

#define RETURN_IF_WIN32_ERROR(expr)                  \
  do {                                               \
    const LONG tessary_err_ = (expr);                \
    if (tessary_err_ != ERROR_SUCCESS)               \
      return HRESULT_FROM_WIN32(tessary_err_);       \
  } while (0)

namespace tessary {

// Runs a body that may allocate through the standard library; nothing
// escapes an interface method as an exception.
template <typename F>
HRESULT Guarded(F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

}  // namespace tessary
