// `NumericPostings`: the ids of every numeric key of one attribute, in key
// order, stored by how many ids share the key.
//
// Two tiers; every key lives in exactly one of them:
//   column  a B-tree of (key, id) entries, ordered by key then id, for keys
//           held by fewer than kHeavy ids. An entry costs 14 bytes plus the
//           tree's node overhead (nodes are filled in order by a bulk build).
//   heavy   a B-tree map from key to the key's posting list, for keys that
//           reached kHeavy ids: a posting list is cheaper than an entry per
//           id once that many ids share a key. Up to kVectorMax ids the list
//           is a sorted vector (4 bytes an id); past it, a HybridSet. A few
//           hundred ids spread over a large id space put a handful of ids in
//           each roaring container, and each container costs more than its
//           ids (about 15 bytes an id in all), while a write into a vector
//           of at most kVectorMax ids moves at most a few kilobytes.
// A roaring bitmap holding a few ids spread over the id space needs a
// container per id (several allocations each), which is why the column and
// not a set per key serves the light keys. A key moves to the heavy tier
// when it reaches kHeavy ids and stays there until its last id leaves.
//
// Equality reads one heavy set or the column's run for the key (its ids
// ascend). A range walks both tiers between its bounds. Numbers are keyed by
// their OrderKey (1 and 1.0 share a key, as do 0 and -0.0).
//
// Invariants: the pair (id, key) is stored exactly when the companion
// bit-sliced structure holds id under key; no heavy set is empty; a key is
// never in both tiers; a heavy vector ascends without repeats and holds at
// most vector_max ids (a longer list is a set). Guarded by the lock of the owner of the companion
// structure: mutations need the write lock, the rest the read lock.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <span>
#include <utility>
#include <variant>
#include <vector>

#include <absl/container/btree_map.h>
#include <absl/container/btree_set.h>

#include "structures/bitmap.hpp"
#include "structures/exact_values.hpp"
#include "structures/hybrid_set.hpp"
#include "structures/order_key.hpp"

namespace qdx {

class NumericPostings {
 public:
  static constexpr uint64_t kHeavy = 64;
  static constexpr size_t kVectorMax = 1024;

  NumericPostings() = default;
  // Other tier thresholds than kHeavy and kVectorMax (heavy >= 1), so that
  // tests reach every tier with few ids.
  NumericPostings(uint64_t heavy, size_t vector_max) : heavy_at_(heavy), vector_max_(vector_max) {}

  void insert(OrderKey key, uint32_t id);
  // key must be the key id was inserted with; an absent pair is a no-op.
  void remove(OrderKey key, uint32_t id);
  // insert for every (key, id) of `sorted`, which ascends by key then id.
  void insert_sorted(std::span<const std::pair<OrderKey, uint32_t>> sorted);
  // Keeps only ids in filter.
  void narrow(const Bitmap& filter);

  // How many ids hold key; whether id holds key.
  uint64_t count(OrderKey key) const;
  bool holds(OrderKey key, uint32_t id) const;
  // The ids holding key that are in candidates.
  Bitmap equal_within(OrderKey key, const Bitmap& candidates) const;
  // Every id holding key.
  Bitmap equal_all(OrderKey key) const;
  // The set of a heavy key held as a roaring bitmap, else null (a key held
  // in the column or in a vector, or not held at all).
  const Bitmap* heavy_bitmap(OrderKey key) const;

  // The ids of the keys between the bounds (an absent bound is open), or
  // nothing when they hold more than `limit` ids.
  std::optional<Bitmap> collect_range(const std::optional<OrderKey>& lower, bool lower_inclusive,
                                      const std::optional<OrderKey>& upper, bool upper_inclusive,
                                      uint64_t limit) const;

  // Calls f(key, ids) for each key in ascending (or descending) key order,
  // only keys within the inclusive bounds when given, until f returns false.
  // ids is a `const HybridSet&` for a heavy key held in a set and a
  // `std::span<const uint32_t>` (ascending) for the other keys.
  template <typename F>
  void walk(bool descending, F&& f, const std::optional<OrderKey>& lower = std::nullopt,
            const std::optional<OrderKey>& upper = std::nullopt) const;

  // Distinct keys held.
  size_t size() const noexcept { return heavy_.size() + column_keys_; }
  size_t memory_bytes() const;
  // Checks the invariants that need no companion; a violation is an internal
  // fatal error.
  void validate() const;

 private:
  // Packed to 14 bytes (no tail padding): the column holds one entry per id
  // of every light key, and a 256-byte B-tree node then takes 17 entries
  // rather than 15. The members are only ever read by value: a reference
  // bound to one would be misaligned, so copies are spelled uint32_t{e.id}.
  struct __attribute__((packed)) Entry {
    uint64_t mantissa;
    uint32_t id;
    uint16_t exponent;
    OrderKey key() const { return OrderKey{mantissa, exponent}; }
    static Entry of(OrderKey key, uint32_t id) {
      return {key.mantissa, id, static_cast<uint16_t>(key.exponent & OrderKey::kExponentMask)};
    }
    friend bool operator<(const Entry& a, const Entry& b) {
      if (a.exponent != b.exponent) return a.exponent < b.exponent;
      if (a.mantissa != b.mantissa) return a.mantissa < b.mantissa;
      return a.id < b.id;
    }
  };
  static_assert(sizeof(Entry) == 14);
  using Column = absl::btree_set<Entry>;
  // A heavy key's posting list: the sorted vector or the set.
  using Heavy = std::variant<std::vector<uint32_t>, HybridSet>;
  Heavy heavy_of(std::vector<uint32_t> ids) const;
  void heavy_insert(Heavy& heavy, uint32_t id) const;
  static void heavy_remove(Heavy& heavy, uint32_t id);
  static void heavy_retain(Heavy& heavy, const Bitmap& filter);
  static uint64_t heavy_count(const Heavy& heavy);
  static bool heavy_holds(const Heavy& heavy, uint32_t id);
  // Not heavy_count(...) == 0: a set's cardinality walks every container,
  // and a removal asks this each time.
  static bool heavy_empty(const Heavy& heavy) {
    if (const auto* ids = std::get_if<std::vector<uint32_t>>(&heavy)) return ids->empty();
    return std::get<HybridSet>(heavy).empty();
  }

  Column::const_iterator first_of(OrderKey key) const {
    return column_.lower_bound(Entry::of(key, 0));
  }
  bool key_at(Column::const_iterator it, OrderKey key) const {
    return it != column_.end() && it->key() == key;
  }
  template <typename F>
  static bool visit_heavy(OrderKey key, const Heavy& heavy, F& f) {
    if (const auto* ids = std::get_if<std::vector<uint32_t>>(&heavy)) {
      return f(key, std::span<const uint32_t>(*ids));
    }
    return f(key, std::get<HybridSet>(heavy));
  }
  // Moves key's column run to the heavy tier once it holds kHeavy ids.
  void promote_if_heavy(OrderKey key);

  uint64_t heavy_at_ = kHeavy;
  size_t vector_max_ = kVectorMax;
  Column column_;
  size_t column_keys_ = 0;
  absl::btree_map<OrderKey, Heavy> heavy_;
};

template <typename F>
void NumericPostings::walk(bool descending, F&& f, const std::optional<OrderKey>& lower,
                           const std::optional<OrderKey>& upper) const {
  auto heavy_first = lower ? heavy_.lower_bound(*lower) : heavy_.begin();
  auto heavy_last = upper ? heavy_.upper_bound(*upper) : heavy_.end();
  auto column_first = lower ? first_of(*lower) : column_.begin();
  auto column_last = column_.end();
  if (upper) {
    column_last = column_.upper_bound(Entry::of(*upper, UINT32_MAX));
  }
  std::vector<uint32_t> run;
  if (!descending) {
    auto h = heavy_first;
    auto c = column_first;
    while (h != heavy_last || c != column_last) {
      if (c == column_last || (h != heavy_last && h->first < c->key())) {
        if (!visit_heavy(h->first, h->second, f)) return;
        ++h;
        continue;
      }
      const OrderKey key = c->key();
      run.clear();
      for (; c != column_last && c->key() == key; ++c) run.push_back(uint32_t{c->id});
      if (!f(key, std::span<const uint32_t>(run))) return;
    }
    return;
  }
  auto h = heavy_last;
  auto c = column_last;
  while (h != heavy_first || c != column_first) {
    const bool take_heavy =
        c == column_first || (h != heavy_first && std::prev(c)->key() < std::prev(h)->first);
    if (take_heavy) {
      --h;
      if (!visit_heavy(h->first, h->second, f)) return;
      continue;
    }
    const OrderKey key = std::prev(c)->key();
    run.clear();
    while (c != column_first && std::prev(c)->key() == key) {
      --c;
      run.push_back(uint32_t{c->id});
    }
    std::reverse(run.begin(), run.end());
    if (!f(key, std::span<const uint32_t>(run))) return;
  }
}

}  // namespace qdx
