// `ExactValues<Key>`: an ordered posting list per exact value, beside the
// string structure of an attribute (numbers have their own, two-tier
// version: numeric_postings.hpp).
//
// Equality on the bit-sliced and positional structures costs one bitmap
// intersection per key bit or byte position; here it costs one B-tree probe
// and hands back the id set directly. Because the keys are ordered, a narrow
// range (or a prefix) is answered by walking only the keys inside it; the
// walk gives up after `limit` ids so that a broad range goes to the
// bit-sliced structure, whose cost does not grow with the number of matches.
// Strings are keyed by their bytes.
//
// Invariant: id is in the set of key k exactly when the companion structure
// holds id under k. A key whose set becomes empty is erased. Guarded by the
// lock of the companion structure's owner.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <absl/container/btree_map.h>
#include <algorithm>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "structures/bitmap.hpp"
#include "structures/hybrid_set.hpp"
#include "structures/id_sort.hpp"
#include "structures/order_key.hpp"

namespace qdx {

// Collects the ids of several posting lists, or gives up past a limit. Ids
// are gathered in one vector and sorted once (two counting passes for a
// large batch): merging each list into a growing bitmap would re-merge its
// containers again and again.
class IdCollector {
 public:
  explicit IdCollector(uint64_t limit) : limit_(limit) {}
  // False once the limit is passed.
  bool add(const HybridSet& set) {
    if (ids_.size() + set.cardinality() > limit_) return false;
    if (const CenteredArray* small = set.small()) {
      const auto run = small->run();
      ids_.insert(ids_.end(), run.begin(), run.end());
    } else if (const Bitmap* large = set.large()) {
      const size_t used = ids_.size();
      ids_.resize(used + large->cardinality());
      roaring_bitmap_to_uint32_array(large->raw(), ids_.data() + used);
    }
    return true;
  }
  // Adds proj(*it) for every it in [first, last); false once the limit is
  // passed.
  template <typename It, typename Proj>
  bool add_run(It first, It last, Proj proj) {
    for (; first != last; ++first) {
      if (ids_.size() >= limit_) return false;
      ids_.push_back(proj(*first));
    }
    return true;
  }
  Bitmap finish() {
    sort_ids(ids_);
    Bitmap result;
    result.add_many(ids_.data(), ids_.size());
    return result;
  }

 private:
  uint64_t limit_;
  std::vector<uint32_t> ids_;
};

template <typename Key, typename LookupKey>
class ExactValues {
 public:
  // insert_sorted unites the ids of a key already held in one step from
  // this many on.
  static constexpr size_t kUnionFrom = 32;

  void insert(const LookupKey& key, uint32_t id) {
    auto it = map_.find(key);
    if (it == map_.end()) {
      map_.emplace(Key(key), HybridSet::with_one(id));
    } else {
      it->second.insert(id);
    }
  }
  void remove(const LookupKey& key, uint32_t id) {
    auto it = map_.find(key);
    if (it == map_.end() || it->second.variant() == HybridSet::Variant::kEmpty) return;
    it->second.remove(id);
    if (it->second.empty()) map_.erase(it);
  }
  // insert for every (key, id) of `sorted`, which ascends by key and then by
  // id. Each key is placed once, next to the one before it, and a new key's
  // set is made in one step, so a bulk insertion costs a sort and a walk.
  void insert_sorted(std::span<const std::pair<LookupKey, uint32_t>> sorted) {
    std::vector<uint32_t> ids;
    auto hint = map_.end();
    for (size_t i = 0; i < sorted.size();) {
      const LookupKey& key = sorted[i].first;
      ids.clear();
      for (; i < sorted.size() && sorted[i].first == key; ++i) {
        if (ids.empty() || ids.back() != sorted[i].second) ids.push_back(sorted[i].second);
      }
      auto it = map_.try_emplace(hint, Key(key));
      if (it->second.variant() == HybridSet::Variant::kEmpty) {
        it->second = HybridSet::of_sorted(ids.data(), ids.size());
      } else if (ids.size() >= kUnionFrom) {
        // Many ids for a key already held (a batch inserted in slices): one
        // union rather than one insert each.
        it->second.union_with(HybridSet::of_sorted(ids.data(), ids.size()));
      } else {
        for (const uint32_t id : ids) it->second.insert(id);
      }
      hint = std::next(it);
    }
  }
  const HybridSet* find(const LookupKey& key) const {
    auto it = map_.find(key);
    return it == map_.end() ? nullptr : &it->second;
  }
  void narrow(const Bitmap& filter) {
    for (auto it = map_.begin(); it != map_.end();) {
      it->second.retain(filter);
      // A B-tree erase invalidates every iterator but the one it returns.
      it = it->second.empty() ? map_.erase(it) : std::next(it);
    }
  }
  size_t size() const noexcept { return map_.size(); }

  // Calls f(key, set) for each key in ascending (or descending) key order,
  // only keys within the inclusive bounds when given, until f returns false.
  template <typename F>
  void walk(bool descending, F&& f, const std::optional<Key>& lower = std::nullopt,
            const std::optional<Key>& upper = std::nullopt) const {
    const auto first = lower ? map_.lower_bound(*lower) : map_.begin();
    const auto last = upper ? map_.upper_bound(*upper) : map_.end();
    if (descending) {
      for (auto it = last; it != first;) {
        --it;
        if (!f(it->first, it->second)) return;
      }
      return;
    }
    for (auto it = first; it != last; ++it) {
      if (!f(it->first, it->second)) return;
    }
  }

  // The ids of the keys between the bounds (an absent bound is open), or
  // nothing when they hold more than `limit` ids.
  std::optional<Bitmap> collect_range(const std::optional<LookupKey>& lower, bool lower_inclusive,
                                      const std::optional<LookupKey>& upper, bool upper_inclusive,
                                      uint64_t limit) const {
    auto it = !lower ? map_.begin()
                     : (lower_inclusive ? map_.lower_bound(*lower) : map_.upper_bound(*lower));
    const auto end = !upper
                         ? map_.end()
                         : (upper_inclusive ? map_.upper_bound(*upper) : map_.lower_bound(*upper));
    IdCollector collector(limit);
    for (; it != end; ++it) {
      if (!collector.add(it->second)) return std::nullopt;
    }
    return collector.finish();
  }

  // The ids of the keys that begin with `prefix`, or nothing past `limit` ids.
  std::optional<Bitmap> collect_prefix(
      std::string_view prefix, uint64_t limit) const requires std::is_same_v<Key, std::string> {
    IdCollector collector(limit);
    for (auto it = map_.lower_bound(prefix);
         it != map_.end() && std::string_view(it->first).substr(0, prefix.size()) == prefix; ++it) {
      if (!collector.add(it->second)) return std::nullopt;
    }
    return collector.finish();
  }

 private:
  absl::btree_map<Key, HybridSet, std::less<>> map_;
};

using ExactStrings = ExactValues<std::string, std::string_view>;

}  // namespace qdx
