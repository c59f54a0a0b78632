#pragma once
// Filling a table ordered by the locale comparison (KeyLess) without paying
// that comparison some fifteen times per key: the keys are put in an order
// close to the locale's, and each is inserted just after the one inserted
// before it, where the table checks it against its neighbours only. The
// table's own comparison still decides every insertion (a key the two orders
// disagree on costs only a full search), and among keys it finds equal the
// one added first wins, as inserting in the order added would give.
//
// The order: for keys all in ASCII, a weight per character as the locale
// weighs it first (case folded, digits before letters, symbols before both,
// hyphen and apostrophe passed over), which costs next to nothing; for any
// other set of keys, the platform's sort keys, which are exact.
#include <windows.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <string>
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
    const size_t start = weights_.size();
    if (!exact_) exact_ = !AppendWeights(key, weights_);
    pending_.push_back({start, weights_.size() - start, std::move(key), std::move(value)});
  }

  // Fills `table` (empty) and, when given, `added` with the position in the
  // order of Add of each entry kept. May throw bad_alloc.
  void Build(Table& table, std::vector<size_t>* added = nullptr) {
    std::vector<size_t> order(pending_.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    if (exact_) {
      std::string sortKeys;
      std::vector<std::pair<size_t, size_t>> spans(pending_.size());
      for (size_t i = 0; i < pending_.size(); ++i) {
        spans[i].first = sortKeys.size();
        AppendSortKey(pending_[i].key.Get(), sortKeys);
        spans[i].second = sortKeys.size() - spans[i].first;
      }
      SortBy(order, std::string_view(sortKeys), spans);
    } else {
      std::vector<std::pair<size_t, size_t>> spans(pending_.size());
      for (size_t i = 0; i < pending_.size(); ++i) spans[i] = {pending_[i].start, pending_[i].length};
      SortBy(order, std::wstring_view(weights_), spans);
    }
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
    weights_.clear();
    exact_ = false;
  }

 private:
  struct Pending {
    size_t start;  // of the key's weights
    size_t length;
    UniqueBstr key;
    Value value;
  };

  template <typename Text>
  static void SortBy(std::vector<size_t>& order, Text keys,
                     const std::vector<std::pair<size_t, size_t>>& spans) {
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
      return keys.substr(spans[a].first, spans[a].second) <
             keys.substr(spans[b].first, spans[b].second);
    });
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
};

}  // namespace tessary
