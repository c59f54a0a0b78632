#pragma once
// Filling a table ordered by the locale comparison (KeyLess) without paying
// that comparison some fifteen times per key: the keys are gathered with one
// locale sort key each, put in that order, and inserted at the table's end,
// where the table checks each against its last key only. The table's own
// comparison still decides every insertion, and among keys it finds equal
// the one added first wins, as inserting in the order added would give.
#include <windows.h>

#include <algorithm>
#include <map>
#include <new>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "catalog/CatalogKeys.h"
#include "common/Result.h"
#include "common/Unique.h"

namespace tessary {

template <typename Value>
class KeyTableBuilder {
 public:
  using Table = std::map<UniqueBstr, Value, KeyLess>;

  size_t Size() const noexcept { return pending_.size(); }

  // May throw bad_alloc.
  void Add(UniqueBstr key, Value value) {
    Pending entry{SortKey(key.Get()), std::move(key), std::move(value)};
    pending_.push_back(std::move(entry));
  }

  // Fills `table` (empty) and, when given, `added` with the position in the
  // order of Add of each entry kept. May throw bad_alloc.
  void Build(Table& table, std::vector<size_t>* added = nullptr) {
    std::vector<size_t> order(pending_.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
      return pending_[a].sortKey < pending_[b].sortKey;
    });
    std::unordered_map<const UniqueBstr*, size_t> positions;
    positions.reserve(pending_.size());
    for (const size_t i : order) {
      Pending& entry = pending_[i];
      const size_t before = table.size();
      auto at = table.try_emplace(table.end(), std::move(entry.key), std::move(entry.value));
      if (table.size() != before) {
        positions.emplace(&at->first, i);
        continue;
      }
      // An equal key: the one added first wins, key text included.
      auto existing = positions.find(&at->first);
      if (existing == positions.end() || existing->second < i) continue;
      positions.erase(existing);
      auto node = table.extract(at);
      node.key() = std::move(entry.key);
      node.mapped() = std::move(entry.value);
      const auto inserted = table.insert(std::move(node));
      positions.emplace(&inserted.position->first, i);
    }
    if (added) {
      added->clear();
      for (const auto& [key, position] : positions) added->push_back(position);
    }
    pending_.clear();
  }

 private:
  struct Pending {
    std::string sortKey;
    UniqueBstr key;
    Value value;
  };

  // The platform's sort key for the comparison KeyLess makes; empty when it
  // cannot be had, which costs only speed.
  static std::string SortKey(BSTR key) {
    std::string sortKey;
    const int length = static_cast<int>(::SysStringLen(key));
    if (length == 0 || !key[0]) return sortKey;
    const int size = ::LCMapStringW(LOCALE_USER_DEFAULT, LCMAP_SORTKEY, key, length, nullptr, 0);
    if (size <= 0) return sortKey;
    sortKey.resize(static_cast<size_t>(size));
    if (::LCMapStringW(LOCALE_USER_DEFAULT, LCMAP_SORTKEY, key, length,
                       reinterpret_cast<LPWSTR>(sortKey.data()), size) != size) {
      sortKey.clear();
    }
    return sortKey;
  }

  std::vector<Pending> pending_;
};

}  // namespace tessary
