#pragma once
// A fixed set of strings laid out in one block. A catalog holds some twenty
// strings per program; one COM string each made loading and freeing a large
// catalog mostly heap work. Getters copy out a fresh COM string anyway.
// Each string may be absent, which stays distinct from empty.
#include <windows.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "common/Text.h"
#include "common/Unique.h"

namespace tessary {

// The strings, in characters someone else owns.
template <size_t N>
class PackedText {
 public:
  // Null when absent; otherwise ends in a NUL.
  const wchar_t* Get(size_t field) const noexcept {
    return slots_[field].present ? chars_ + slots_[field].start : nullptr;
  }
  UINT Length(size_t field) const noexcept { return slots_[field].length; }

 private:
  template <size_t>
  friend class PackedTextBuilder;

  struct Slot {
    uint32_t start = 0;
    uint32_t length = 0;
    bool present = false;
  };
  const wchar_t* chars_ = nullptr;
  std::array<Slot, N> slots_{};
};

// Gathers the strings of one PackedText; reused from one entry to the next,
// so that reading costs no allocation per string.
template <size_t N>
class PackedTextBuilder {
 public:
  void Clear() noexcept {
    chars_.clear();
    slots_ = {};
  }

  // A field set again keeps its last text. May throw bad_alloc.
  void Set(size_t field, std::wstring_view text) {
    slots_[field] = {static_cast<uint32_t>(chars_.size()), static_cast<uint32_t>(text.size()),
                     true};
    chars_.append(text);
  }
  // A null string leaves the field absent. May throw bad_alloc.
  void Set(size_t field, const UniqueBstr& text) {
    if (text) {
      Set(field, WholeText(text.Get()));
    } else {
      slots_[field] = {};
    }
  }

  // Field `to` gets the text of `from`, or stays absent with it.
  void SetSame(size_t to, size_t from) noexcept { slots_[to] = slots_[from]; }

  // The field's text in place, for changes that keep its length.
  wchar_t* Data(size_t field) noexcept { return chars_.data() + slots_[field].start; }
  std::wstring_view View(size_t field) const noexcept {
    return std::wstring_view(chars_).substr(slots_[field].start, slots_[field].length);
  }

  // The characters Build writes.
  size_t Size() const noexcept {
    size_t total = 0;
    for (const auto& slot : slots_) total += slot.present ? slot.length + 1 : 0;
    return total;
  }
  // Writes the fields set, each NUL-terminated, to `chars` (Size() of them),
  // which `packed` then reads.
  void Build(wchar_t* chars, PackedText<N>& packed) const noexcept {
    uint32_t at = 0;
    for (size_t i = 0; i < N; ++i) {
      packed.slots_[i] = {};
      if (!slots_[i].present) continue;
      std::memcpy(chars + at, chars_.data() + slots_[i].start, slots_[i].length * sizeof(wchar_t));
      chars[at + slots_[i].length] = L'\0';
      packed.slots_[i] = {at, slots_[i].length, true};
      at += slots_[i].length + 1;
    }
    packed.chars_ = chars;
  }

 private:
  std::wstring chars_;
  std::array<typename PackedText<N>::Slot, N> slots_{};
};

}  // namespace tessary
