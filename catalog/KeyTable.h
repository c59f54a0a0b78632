#pragma once
// The catalog's tables of names and registry keys: COM strings in the
// platform's locale order (KeyLess), filled once by a builder and only read
// after. A sorted array, searched by halves with the comparison a std::map
// would make, and walked in that order.
//
// Filling one without paying the locale comparison some fifteen times per
// key: the keys are put in an order close to the locale's, then checked pair
// by pair with the comparison itself, one call per key. Among keys it finds
// equal the one added first wins, key text included, as inserting in the
// order added would give. Where the two orders disagree, the keys are sorted
// again by the comparison alone.
//
// The close order: for keys all in ASCII, a weight per character as the
// locale weighs it first (case folded, digits before letters, symbols before
// both, hyphen and apostrophe passed over), which costs next to nothing; for
// any other set of keys, the platform's sort keys.
//
// Finding a key by halves costs a locale comparison per step. A table built
// to keep its keys' sort keys (LCMapString LCMAP_SORTKEY, which orders texts
// exactly as the comparison does; seen to hold for accents, ligatures, case,
// widths and ignorable characters) finds one with a single sort key of the
// key wanted and byte comparisons. Texts holding a NUL are the exception
// (the comparison weighs a leading NUL, the sort key does not): a table
// holding one, a key wanted holding one, or a table whose sort keys do not
// rise strictly in its order is searched by the comparison, as before.
// Computing a sort key is itself most of a lookup, so a key wanted that is
// made only of ASCII characters weighed at the first level alone (lower-case
// letters, digits, a few symbols) has its sort key put together from their
// weights, once the table has seen that this gives exactly the platform's
// key for every such pair of characters (no contraction) and for every such
// key it holds.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cwchar>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "catalog/CatalogKeys.h"
#include "common/Names.h"
#include "common/Unique.h"

namespace tessary {

template <typename Value>
class KeyTableBuilder;

template <typename Value>
class KeyTable {
 public:
  using value_type = std::pair<UniqueBstr, Value>;
  using const_iterator = typename std::vector<value_type>::const_iterator;

  const_iterator begin() const noexcept { return entries_.begin(); }
  const_iterator end() const noexcept { return entries_.end(); }
  size_t size() const noexcept { return entries_.size(); }
  bool empty() const noexcept { return entries_.empty(); }
  void clear() noexcept {
    entries_.clear();
    sortKeys_.clear();
    sortKeyEnds_.clear();
    asciiWeights_.clear();
  }
  void swap(KeyTable& other) noexcept {
    entries_.swap(other.entries_);
    sortKeys_.swap(other.sortKeys_);
    sortKeyEnds_.swap(other.sortKeyEnds_);
    asciiWeights_.swap(other.asciiWeights_);
  }

  // The entry whose key the comparison finds equal to `key`, or end().
  const_iterator find(BSTR key) const noexcept {
    if (!sortKeyEnds_.empty()) {
      char buffer[kProbeBytes];
      int size = 0;
      if (ComposeSortKey(key, buffer, size) || ProbeSortKey(key, buffer, size)) {
        return FindBySortKey(std::string_view(buffer, size));
      }
    }
    const auto at = std::lower_bound(entries_.begin(), entries_.end(), key,
                                     [](const value_type& entry, BSTR wanted) {
                                       return KeyLess::Less(entry.first.Get(), wanted);
                                     });
    return at != entries_.end() && !KeyLess::Less(key, at->first.Get()) ? at : entries_.end();
  }

  // Bytes of sort keys kept, for benchmarks.
  size_t SortKeyBytes() const noexcept {
    return sortKeys_.size() + sortKeyEnds_.size() * sizeof(uint32_t);
  }

 private:
  friend class KeyTableBuilder<Value>;
  static constexpr int kProbeBytes = 1024;

  // The sort key of a wanted key without allocating; false for a key the
  // sort keys cannot stand for (a NUL in it, or too long for the buffer).
  static bool ProbeSortKey(BSTR key, char (&buffer)[kProbeBytes], int& size) noexcept {
    const UINT length = ::SysStringLen(key);
    if (std::wmemchr(key ? key : L"", L'\0', length)) return false;
    size = 0;
    if (length == 0) return true;
    size = ::LCMapStringW(LOCALE_USER_DEFAULT, LCMAP_SORTKEY, key, static_cast<int>(length),
                          reinterpret_cast<LPWSTR>(buffer), kProbeBytes);
    return size > 0;
  }

  // The end of the sort key of a text weighed at the first level alone.
  static constexpr char kPlainTail[] = {1, 1, 1, 1, 0};

  // The sort key of a wanted key put together from its characters' weights;
  // false when one of them is not weighed that way.
  bool ComposeSortKey(BSTR key, char (&buffer)[kProbeBytes], int& size) const noexcept {
    if (asciiWeights_.empty()) return false;
    const UINT length = ::SysStringLen(key);
    if (length == 0 || size_t{2} * length + sizeof(kPlainTail) > kProbeBytes) return false;
    char* out = buffer;
    for (UINT i = 0; i < length; ++i) {
      const wchar_t c = key[i];
      if (c >= 128 || asciiWeights_[2 * size_t{c}] == 0) return false;
      *out++ = asciiWeights_[2 * size_t{c}];
      *out++ = asciiWeights_[2 * size_t{c} + 1];
    }
    for (const char tail : kPlainTail) *out++ = tail;
    size = static_cast<int>(out - buffer);
    return true;
  }

  // The first-level weights of the ASCII characters a sort key of which is
  // that weight alone, when putting keys together from them gives exactly
  // the platform's keys: for every pair of such characters, and for every
  // key of the table made of them. Left empty otherwise. May throw
  // bad_alloc.
  void LearnAsciiWeights() {
    std::string weights(256, '\0');
    char key[16];
    for (wchar_t c = 1; c < 128; ++c) {
      const int size = ::LCMapStringW(LOCALE_USER_DEFAULT, LCMAP_SORTKEY, &c, 1,
                                      reinterpret_cast<LPWSTR>(key), sizeof(key));
      if (size == 2 + static_cast<int>(sizeof(kPlainTail)) && key[0] != 0 && key[1] != 0 &&
          std::string_view(key + 2, sizeof(kPlainTail)) ==
              std::string_view(kPlainTail, sizeof(kPlainTail))) {
        weights[2 * size_t{c}] = key[0];
        weights[2 * size_t{c} + 1] = key[1];
      }
    }
    asciiWeights_.swap(weights);
    char platform[kProbeBytes];
    char composed[kProbeBytes];
    int platformSize = 0;
    int composedSize = 0;
    UniqueBstr pair;
    if (!pair.CopyFrom(L"aa", 2)) {
      asciiWeights_.clear();
      return;
    }
    const auto agree = [&](BSTR text) {
      return ProbeSortKey(text, platform, platformSize) &&
             ComposeSortKey(text, composed, composedSize) &&
             std::string_view(platform, platformSize) == std::string_view(composed, composedSize);
    };
    for (wchar_t a = 1; a < 128; ++a) {
      for (wchar_t b = 1; b < 128 && asciiWeights_[2 * size_t{a}] != 0; ++b) {
        if (asciiWeights_[2 * size_t{b}] == 0) continue;
        pair.Get()[0] = a;
        pair.Get()[1] = b;
        if (!agree(pair.Get())) {
          asciiWeights_.clear();
          return;
        }
      }
    }
    for (size_t i = 0; i < entries_.size(); ++i) {
      if (ComposeSortKey(entries_[i].first.Get(), composed, composedSize) &&
          SortKeyAt(i) != std::string_view(composed, static_cast<size_t>(composedSize))) {
        asciiWeights_.clear();
        return;
      }
    }
  }

  std::string_view SortKeyAt(size_t index) const noexcept {
    const size_t start = index ? sortKeyEnds_[index - 1] : 0;
    return std::string_view(sortKeys_).substr(start, sortKeyEnds_[index] - start);
  }

  const_iterator FindBySortKey(std::string_view wanted) const noexcept {
    size_t low = 0;
    size_t high = entries_.size();
    while (low < high) {
      const size_t middle = low + (high - low) / 2;
      if (SortKeyAt(middle) < wanted) {
        low = middle + 1;
      } else {
        high = middle;
      }
    }
    return low < entries_.size() && SortKeyAt(low) == wanted ? entries_.begin() + low
                                                           : entries_.end();
  }

  std::vector<value_type> entries_;
  // When kept: every entry's sort key, one after another in one block, and
  // where each ends. Empty when the table is searched by the comparison.
  std::string sortKeys_;
  std::vector<uint32_t> sortKeyEnds_;
  // Two bytes per ASCII character, zero for one not weighed at the first
  // level alone; empty when wanted keys are not put together from them.
  std::string asciiWeights_;
};

template <typename Value>
class KeyTableBuilder {
 public:
  using Table = KeyTable<Value>;

  size_t Size() const noexcept { return pending_.size(); }

  // Tables built from now on keep their keys' sort keys for finding them.
  void KeepSortKeys() noexcept { keepSortKeys_ = true; }

  // May throw bad_alloc.
  void Add(UniqueBstr key, Value value) {
    const size_t start = weights_.size();
    if (!exact_) exact_ = !AppendWeights(key, weights_);
    pending_.push_back({start, weights_.size() - start, std::move(key), std::move(value)});
  }

  // Fills `table` (empty) and, when given, `added` with the position in the
  // order of Add of each entry kept. May throw bad_alloc.
  void Build(Table& table, std::vector<size_t>* added = nullptr) {
    std::vector<size_t> order(pending_.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::string sortKeys;
    if (exact_) {
      for (Pending& entry : pending_) {
        entry.start = sortKeys.size();
        AppendSortKey(entry.key.Get(), sortKeys);
        entry.length = sortKeys.size() - entry.start;
      }
      SortBy(order, std::string_view(sortKeys));
    } else {
      SortBy(order, std::wstring_view(weights_));
    }
    std::vector<size_t> kept;
    if (!Merge(order, kept, true)) {
      for (size_t i = 0; i < order.size(); ++i) order[i] = i;
      std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        return KeyLess::Less(pending_[a].key.Get(), pending_[b].key.Get());
      });
      Merge(order, kept, false);
    }
    table.clear();
    if (keepSortKeys_) KeepSortKeysOf(kept, exact_ ? &sortKeys : nullptr, table);
    table.entries_.reserve(kept.size());
    for (const size_t i : kept) {
      table.entries_.emplace_back(std::move(pending_[i].key), std::move(pending_[i].value));
    }
    if (!table.sortKeyEnds_.empty()) table.LearnAsciiWeights();
    if (added) *added = std::move(kept);
    pending_.clear();
    weights_.clear();
    exact_ = false;
  }

 private:
  struct Pending {
    // The key's weights, or its sort key once Build takes the platform's.
    size_t start;
    size_t length;
    UniqueBstr key;
    Value value;
  };

  // Fills the table's sort keys for the keys kept, in their order, taking
  // those Build already made (`made`, the keys' platform sort keys) where it
  // did. Leaves none when a key holds a NUL or has no sort key, or when the
  // sort keys do not rise strictly: the table is then searched by the
  // comparison.
  void KeepSortKeysOf(const std::vector<size_t>& kept, const std::string* made, Table& table) {
    std::string& keys = table.sortKeys_;
    std::vector<uint32_t>& ends = table.sortKeyEnds_;
    ends.reserve(kept.size());
    for (const size_t i : kept) {
      const Pending& entry = pending_[i];
      const UINT length = entry.key.Length();
      const wchar_t* text = entry.key ? entry.key.Get() : L"";
      if (std::wmemchr(text, L'\0', length)) break;
      const size_t start = keys.size();
      if (made && entry.length > 0) {
        keys.append(*made, entry.start, entry.length);
      } else if (length > 0) {
        AppendSortKey(entry.key.Get(), keys);
        if (keys.size() == start) break;
      }
      if (keys.size() > UINT32_MAX) break;
      const std::string_view key = std::string_view(keys).substr(start);
      if (!ends.empty() && !(table.SortKeyAt(ends.size() - 1) < key)) break;
      ends.push_back(static_cast<uint32_t>(keys.size()));
    }
    if (ends.size() != kept.size()) {
      keys.clear();
      ends.clear();
    }
    keys.shrink_to_fit();
  }

  template <typename Text>
  void SortBy(std::vector<size_t>& order, Text keys) const {
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
      return keys.substr(pending_[a].start, pending_[a].length) <
             keys.substr(pending_[b].start, pending_[b].length);
    });
  }

  // Keeps, of the keys in `order`, one per run of equal keys: the one added
  // first. False, when `strict`, on a key the comparison puts before the one
  // kept last: the order is not the comparison's.
  bool Merge(const std::vector<size_t>& order, std::vector<size_t>& kept, bool strict) const {
    kept.clear();
    kept.reserve(order.size());
    for (const size_t i : order) {
      if (!kept.empty()) {
        const int compared = CompareText(pending_[kept.back()].key.Get(), pending_[i].key.Get());
        if (compared == static_cast<int>(VARCMP_EQ)) {
          if (i < kept.back()) kept.back() = i;
          continue;
        }
        if (compared != static_cast<int>(VARCMP_LT) && strict) return false;
      }
      kept.push_back(i);
    }
    return true;
  }

  // Appends the first-level weights of an ASCII key; false, with nothing
  // appended, for any other key.
  static bool AppendWeights(const UniqueBstr& key, std::wstring& weights) {
    const wchar_t* text = key ? key.Get() : L"";
    const size_t length = key.Length();
    const size_t start = weights.size();
    for (size_t i = 0; i < length; ++i) {
      const wchar_t c = text[i];
      if (c >= 0x80) {
        weights.resize(start);
        return false;
      }
      if (c == L'-' || c == L'\'') continue;
      if (c >= L'0' && c <= L'9') {
        weights.push_back(static_cast<wchar_t>(0x100 + c));
      } else if ((c | 0x20) >= L'a' && (c | 0x20) <= L'z') {
        weights.push_back(static_cast<wchar_t>(0x200 + (c | 0x20)));
      } else {
        weights.push_back(c);
      }
    }
    return true;
  }

  // Appends the platform's sort key for the comparison KeyLess makes;
  // nothing when it cannot be had, which costs only speed.
  static void AppendSortKey(BSTR key, std::string& keys) {
    const int length = static_cast<int>(::SysStringLen(key));
    if (length == 0 || !key[0]) return;
    const size_t start = keys.size();
    keys.resize(start + 256);
    int size = ::LCMapStringW(LOCALE_USER_DEFAULT, LCMAP_SORTKEY, key, length,
                              reinterpret_cast<LPWSTR>(keys.data() + start), 256);
    if (size <= 0) {
      size = ::LCMapStringW(LOCALE_USER_DEFAULT, LCMAP_SORTKEY, key, length, nullptr, 0);
      keys.resize(start + static_cast<size_t>(size > 0 ? size : 0));
      if (size > 0 && ::LCMapStringW(LOCALE_USER_DEFAULT, LCMAP_SORTKEY, key, length,
                                     reinterpret_cast<LPWSTR>(keys.data() + start),
                                     size) != size) {
        size = 0;
      }
    }
    keys.resize(start + static_cast<size_t>(size > 0 ? size : 0));
  }

  std::vector<Pending> pending_;
  std::wstring weights_;  // every ASCII key's weights, one after another
  bool exact_ = false;    // a key is not ASCII: the platform's sort keys
  bool keepSortKeys_ = false;
};

}  // namespace tessary
