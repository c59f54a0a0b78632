#include "server/ClassTable.h"

#include <array>

#include "TessaryLib.h"

namespace tessary {
namespace {

// Each class joins here, with its registry script, as it is built.
constexpr std::array<ClassEntry, 0> kClassTable = {};

static_assert(kClassTable.size() <= kMaxClasses);

}  // namespace

std::span<const ClassEntry> ClassTable() noexcept { return kClassTable; }

const wchar_t* AppIdString() noexcept {
  static wchar_t text[40] = {};
  if (text[0] == L'\0') ::StringFromGUID2(APPID_Tessary, text, 40);
  return text;
}

}  // namespace tessary
