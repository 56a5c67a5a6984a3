// `EqualityCombination` and `CombinationRegistry`: combined indexes over sets
// of attributes of one index, for conjunctions of equalities that are asked
// again and again.
//
// A conjunction of equalities whose smallest posting list is large costs one
// probe per id of that list, whatever the size of its answer. A combination
// over its attributes files every object under the sum of one term per
// attribute value (structures/combination_buckets.hpp), so the same
// conjunction reads only the few ids filed under its values' sum.
//
// A combination is derived, never written: it is exact only while none of its
// attributes' numbers, strings or booleans changed since it read them, which
// the write counts of their locks tell (`EqualityCombination::current`). A
// stale one is dropped and not mended. One is built only once the conjunctions
// it would have served cost as much as building it, so a changing index pays
// at most about twice what it pays without combinations, and an index asked
// once pays nothing.
//
// The registry sits in its index and has its own mutex, taken with no other
// lock of this level held (lock order, level 5); builds run outside it.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include <absl/container/inlined_vector.h>

#include "base/locks.hpp"
#include "structures/combination_buckets.hpp"

namespace qdx {

class ValueIndex;

struct EqualityCombination {
  // The attributes' value indexes, ascending by address: a term's position.
  // They live as long as their index, which holds the registry.
  using Attributes = absl::InlinedVector<ValueIndex*, 4>;
  Attributes attributes;
  // Per attribute, the write counts of its numbers, strings and booleans
  // locks as they were when the build read them.
  absl::InlinedVector<std::array<uint64_t, 3>, 4> writes;
  CombinationBuckets buckets;

  // Whether no attribute was written since the build read it.
  bool current() const noexcept;
};

class CombinationRegistry {
 public:
  using Key = EqualityCombination::Attributes;

  // The combination over `key`, or null while there is none.
  std::shared_ptr<const EqualityCombination> find(const Key& key);
  // Notes a conjunction over `key` answered without a combination, at a
  // cost of `work` probes, `stale` being the combination found out of date
  // (dropped here) or null. True when the caller is to build one now and
  // then call `built`: the work owed reached `build_work`.
  bool owe(const Key& key, uint64_t work, uint64_t build_work, const EqualityCombination* stale);
  // Ends a build that `owe` asked for; `made` may be null (not buildable).
  void built(const Key& key, std::shared_ptr<const EqualityCombination> made);

 private:
  struct Slot {
    Key key;
    std::shared_ptr<const EqualityCombination> made;
    uint64_t owed = 0;
    uint64_t last_use = 0;
    bool building = false;
  };
  // At most this many attribute sets are followed per index; past it, the
  // set unused longest gives way.
  static constexpr size_t kSlots = 8;

  Slot* slot_of(std::vector<Slot>& slots, const Key& key);

  MutexLocked<std::vector<Slot>> slots_;
  uint64_t clock_ = 0;  // under the mutex
};

}  // namespace qdx
