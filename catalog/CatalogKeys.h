#pragma once
// The order of the catalog's tables: COM strings ordered by the platform's
// comparison (CompareText), in which an absent string equals an empty one.
#include <windows.h>
#include <oleauto.h>

#include "common/Names.h"
#include "common/Unique.h"

namespace tessary {

struct KeyLess {
  using is_transparent = void;
  static bool Less(BSTR a, BSTR b) noexcept { return CompareText(a, b) == VARCMP_LT; }
  bool operator()(const UniqueBstr& a, const UniqueBstr& b) const noexcept {
    return Less(a.Get(), b.Get());
  }
  bool operator()(BSTR a, const UniqueBstr& b) const noexcept { return Less(a, b.Get()); }
  bool operator()(const UniqueBstr& a, BSTR b) const noexcept { return Less(a.Get(), b); }
};

}  // namespace tessary
