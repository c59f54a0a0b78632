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
#include <string_view>
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
    const size_t start = sortKeys_.size();
    AppendSortKey(key.Get(), sortKeys_);
    pending_.push_back({start, sortKeys_.size() - start, std::move(key), std::move(value)});
  }

  // Fills `table` (empty) and, when given, `added` with the position in the
  // order of Add of each entry kept. May throw bad_alloc.
  void Build(Table& table, std::vector<size_t>* added = nullptr) {
    std::vector<size_t> order(pending_.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    const std::string_view keys = sortKeys_;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
      return keys.substr(pending_[a].sortKeyStart, pending_[a].sortKeyLength) <
             keys.substr(pending_[b].sortKeyStart, pending_[b].sortKeyLength);
    });
    // Each kept key and the position it was added at, in the order inserted.
    // An equal key is nearly always the one inserted just before.
    std::vector<std::pair<const UniqueBstr*, size_t>> kept;
    kept.reserve(pending_.size());
    for (const size_t i : order) {
      Pending& entry = pending_[i];
      const size_t before = table.size();
      auto at = table.try_emplace(table.end(), std::move(entry.key), std::move(entry.value));
      if (table.size() != before) {
        kept.emplace_back(&at->first, i);
        continue;
      }
      // An equal key: the one added first wins, key text included.
      auto existing = std::find_if(kept.rbegin(), kept.rend(),
                                   [&](const auto& k) { return k.first == &at->first; });
      if (existing == kept.rend() || existing->second < i) continue;
      auto node = table.extract(at);
      node.key() = std::move(entry.key);
      node.mapped() = std::move(entry.value);
      const auto inserted = table.insert(std::move(node));
      *existing = {&inserted.position->first, i};
    }
    if (added) {
      added->clear();
      for (const auto& [key, position] : kept) added->push_back(position);
    }
    pending_.clear();
    sortKeys_.clear();
  }

 private:
  struct Pending {
    size_t sortKeyStart;
    size_t sortKeyLength;
    UniqueBstr key;
    Value value;
  };

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
  std::string sortKeys_;  // every sort key, one after another
};

}  // namespace tessary
