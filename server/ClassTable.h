#pragma once
#include <span>

#include "com/ClassFactory.h"

namespace tessary {

// The module's creatable classes, in registration order.
inline constexpr size_t kMaxClasses = 16;
std::span<const ClassEntry> ClassTable() noexcept;

// The application identifier in braces, as the registry scripts write it.
const wchar_t* AppIdString() noexcept;

}  // namespace tessary
