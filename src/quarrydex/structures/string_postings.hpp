// `StringPostings`: the ids of every string value of one attribute, in byte
// order and in reversed-byte order, for equality, narrow prefixes and narrow
// suffixes, and for walking the values in order.
//
// Each distinct string is stored once, in a `StringArena`, and named by its
// 32-bit reference there; the trees hold references, never strings.
// Two tiers; every string lives in exactly one of them:
//   column  (ref, id) entries for strings held by fewer than heavy_at ids,
//           in two B-trees: one ordered by (bytes, id), one by (reversed
//           bytes, id). 8 bytes an entry in each, and no set per string: most
//           strings of a text attribute are held by one object.
//   heavy   strings held by heavy_at ids or more: a B-tree map from the
//           reference, in byte order, to the string's HybridSet, and a B-tree
//           of the same references in reversed-byte order.
// A string moves to the heavy tier when it reaches heavy_at ids and stays
// there until its last id leaves. Bulk insertions that are large next to
// what is held, narrowing and the arena's compaction rebuild the trees in
// order, which leaves their nodes full.
//
// Invariants: the pair (s, id) is stored exactly when the companion
// structures hold id under s; one reference per distinct string held, and
// every reference in a tree is live in the arena; no heavy set is empty; the
// forward and reversed trees of a tier hold the same entries. Guarded by the
// lock of the owner of the companion structures: mutations need the write
// lock, the rest the read lock.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <absl/container/btree_map.h>
#include <absl/container/btree_set.h>

#include "structures/bitmap.hpp"
#include "structures/hybrid_set.hpp"
#include "structures/string_arena.hpp"

namespace qdx {

class StringPostings {
 public:
  static constexpr uint64_t kHeavy = 64;
  // Dead arena bytes tolerated before the live strings are copied out.
  static constexpr size_t kCompactFrom = size_t{1} << 16;

  StringPostings() : StringPostings(kHeavy, kCompactFrom) {}
  // Other thresholds (heavy >= 1), so that tests reach every tier and the
  // compaction with few strings.
  StringPostings(uint64_t heavy, size_t compact_from);
  // The trees' comparators point at the arena, which moves with them.
  StringPostings(StringPostings&&) noexcept = default;
  StringPostings& operator=(StringPostings&&) noexcept = default;

  void insert(std::string_view s, uint32_t id);
  // s must be the string id was inserted with; an absent pair is a no-op.
  void remove(std::string_view s, uint32_t id);
  // insert for every (s, id) of `sorted`, which ascends by bytes then id.
  void insert_sorted(std::span<const std::pair<std::string_view, uint32_t>> sorted);
  // Keeps only ids in filter.
  void narrow(const Bitmap& filter);

  uint64_t count(std::string_view s) const;
  bool holds(std::string_view s, uint32_t id) const;
  Bitmap equal_within(std::string_view s, const Bitmap& candidates) const;
  Bitmap equal_all(std::string_view s) const;
  // The set of a heavy string held as a roaring bitmap, else null.
  const Bitmap* heavy_bitmap(std::string_view s) const;
  // The ids of the strings beginning (ending) with p, or nothing when they
  // are more than `limit`.
  std::optional<Bitmap> collect_prefix(std::string_view p, uint64_t limit) const;
  std::optional<Bitmap> collect_suffix(std::string_view p, uint64_t limit) const;

  // Calls f(s, ids) for each string in ascending (or descending) byte order,
  // only strings within the inclusive bounds when given, until f returns
  // false. ids is a `const HybridSet&` for a heavy string and a
  // `std::span<const uint32_t>` (ascending) for the others.
  template <typename F>
  void walk(bool descending, F&& f, const std::optional<std::string>& lower = std::nullopt,
            const std::optional<std::string>& upper = std::nullopt) const;

  // Distinct strings held.
  size_t size() const noexcept { return heavy_.size() + column_strings_; }
  size_t memory_bytes() const;
  // Checks the invariants; a violation is an internal fatal error.
  void validate() const;

 private:
  struct Entry {
    uint32_t ref;
    uint32_t id;
  };
  // A string with an id to order it among its entries.
  struct Probe {
    std::string_view s;
    uint32_t id;
  };
  // A string compared back to front.
  struct Suffix {
    std::string_view s;
  };
  static bool reversed_less(std::string_view a, std::string_view b);

  struct ColumnLess {
    using is_transparent = void;
    const StringArena* arena;
    bool operator()(Entry a, Entry b) const {
      if (a.ref == b.ref) return a.id < b.id;
      return arena->get(a.ref) < arena->get(b.ref);
    }
    bool operator()(Entry a, const Probe& b) const {
      const int c = arena->get(a.ref).compare(b.s);
      return c != 0 ? c < 0 : a.id < b.id;
    }
    bool operator()(const Probe& a, Entry b) const {
      const int c = a.s.compare(arena->get(b.ref));
      return c != 0 ? c < 0 : a.id < b.id;
    }
  };
  struct ReversedColumnLess {
    using is_transparent = void;
    const StringArena* arena;
    bool operator()(Entry a, Entry b) const {
      if (a.ref == b.ref) return a.id < b.id;
      return reversed_less(arena->get(a.ref), arena->get(b.ref));
    }
    bool operator()(Entry a, const Suffix& b) const {
      return reversed_less(arena->get(a.ref), b.s);
    }
    bool operator()(const Suffix& a, Entry b) const {
      return reversed_less(a.s, arena->get(b.ref));
    }
  };
  struct HeavyLess {
    using is_transparent = void;
    const StringArena* arena;
    bool operator()(uint32_t a, uint32_t b) const {
      return a != b && arena->get(a) < arena->get(b);
    }
    bool operator()(uint32_t a, std::string_view b) const { return arena->get(a) < b; }
    bool operator()(std::string_view a, uint32_t b) const { return a < arena->get(b); }
  };
  struct ReversedHeavyLess {
    using is_transparent = void;
    const StringArena* arena;
    bool operator()(uint32_t a, uint32_t b) const {
      return a != b && reversed_less(arena->get(a), arena->get(b));
    }
    bool operator()(uint32_t a, const Suffix& b) const { return reversed_less(arena->get(a), b.s); }
    bool operator()(const Suffix& a, uint32_t b) const { return reversed_less(a.s, arena->get(b)); }
  };
  using Column = absl::btree_set<Entry, ColumnLess>;
  using ReversedColumn = absl::btree_set<Entry, ReversedColumnLess>;
  using Heavy = absl::btree_map<uint32_t, HybridSet, HeavyLess>;
  using ReversedHeavy = absl::btree_set<uint32_t, ReversedHeavyLess>;

  const StringArena& arena() const { return *arena_; }
  Column::const_iterator first_of(std::string_view s) const {
    return column_.lower_bound(Probe{s, 0});
  }
  bool string_at(Column::const_iterator it, std::string_view s) const {
    return it != column_.end() && arena().get(it->ref) == s;
  }
  // The ids of a column run starting at `it`, ascending; `it` moves past it.
  void run_ids(Column::const_iterator& it, std::vector<uint32_t>& out) const;
  // Moves the column run of the string at `first` to the heavy tier when it
  // holds heavy_at ids.
  void promote_if_heavy(Column::const_iterator first);
  // Drops the string of ref from the arena; compacts when garbage dominates.
  void release(uint32_t ref);
  // Builds the structure again from its own groups, filtered when a filter
  // is given, merged with `sorted` when given.
  using Sorted = std::span<const std::pair<std::string_view, uint32_t>>;
  void rebuild(const Bitmap* filter, Sorted sorted = {});

  uint64_t heavy_at_ = kHeavy;
  size_t compact_from_ = kCompactFrom;
  std::unique_ptr<StringArena> arena_;
  Column column_;
  ReversedColumn reversed_column_;
  Heavy heavy_;
  ReversedHeavy reversed_heavy_;
  size_t column_strings_ = 0;
};

template <typename F>
void StringPostings::walk(bool descending, F&& f, const std::optional<std::string>& lower,
                          const std::optional<std::string>& upper) const {
  if (lower && upper && *upper < *lower) return;
  auto h = lower ? heavy_.lower_bound(std::string_view(*lower)) : heavy_.begin();
  auto h_end = upper ? heavy_.upper_bound(std::string_view(*upper)) : heavy_.end();
  auto c = lower ? first_of(*lower) : column_.begin();
  auto c_end = upper ? column_.upper_bound(Probe{*upper, UINT32_MAX}) : column_.end();
  std::vector<uint32_t> ids;
  if (!descending) {
    while (h != h_end || c != c_end) {
      const bool heavy_first =
          c == c_end || (h != h_end && arena().get(h->first) < arena().get(c->ref));
      if (heavy_first) {
        if (!f(arena().get(h->first), h->second)) return;
        ++h;
      } else {
        const std::string_view s = arena().get(c->ref);
        run_ids(c, ids);
        if (!f(s, std::span<const uint32_t>(ids))) return;
      }
    }
    return;
  }
  while (h != h_end || c != c_end) {
    const bool heavy_last = c == c_end || (h != h_end && arena().get(std::prev(c_end)->ref) <
                                                             arena().get(std::prev(h_end)->first));
    if (heavy_last) {
      --h_end;
      if (!f(arena().get(h_end->first), h_end->second)) return;
    } else {
      const uint32_t ref = std::prev(c_end)->ref;
      ids.clear();
      while (c_end != c && std::prev(c_end)->ref == ref) ids.push_back((--c_end)->id);
      std::reverse(ids.begin(), ids.end());
      if (!f(arena().get(ref), std::span<const uint32_t>(ids))) return;
    }
  }
}

}  // namespace qdx
