#pragma once
// Filling a table ordered by the locale comparison (KeyLess) without paying
// that comparison some fifteen times per key: the keys are put in code-unit
// order, which for most keys is also the locale's, and each is inserted just
// after the one inserted before it, where the table checks it against its
// neighbours only. The table's own comparison still decides every insertion
// (a key the two orders disagree on costs a full search), and among keys it
// finds equal the one added first wins, as inserting in the order added
// would give.
#include <windows.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <string_view>
#include <utility>
#include <vector>

#include "catalog/CatalogKeys.h"
#include "common/Unique.h"

namespace tessary {

template <typename Value>
class KeyTableBuilder {
 public:
  using Table = std::map<UniqueBstr, Value, KeyLess>;

  size_t Size() const noexcept { return pending_.size(); }

  // May throw bad_alloc.
  void Add(UniqueBstr key, Value value) {
    const std::wstring_view text(key ? key.Get() : L"", key.Length());
    pending_.push_back({text, std::move(key), std::move(value)});
  }

  // Fills `table` (empty) and, when given, `added` with the position in the
  // order of Add of each entry kept. May throw bad_alloc.
  void Build(Table& table, std::vector<size_t>* added = nullptr) {
    std::vector<size_t> order(pending_.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
      return pending_[a].text < pending_[b].text;
    });
    // Each kept key and the position it was added at, in the order inserted.
    // An equal key is nearly always the one inserted just before.
    std::vector<std::pair<const UniqueBstr*, size_t>> kept;
    kept.reserve(pending_.size());
    auto hint = table.end();
    for (const size_t i : order) {
      Pending& entry = pending_[i];
      const size_t before = table.size();
      auto at = table.try_emplace(hint, std::move(entry.key), std::move(entry.value));
      hint = std::next(at);
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
      hint = std::next(inserted.position);
    }
    if (added) {
      added->clear();
      for (const auto& [key, position] : kept) added->push_back(position);
    }
    pending_.clear();
  }

 private:
  struct Pending {
    std::wstring_view text;  // the key's, valid while the key is pending
    UniqueBstr key;
    Value value;
  };

  std::vector<Pending> pending_;
};

}  // namespace tessary
