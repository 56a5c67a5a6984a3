// Which objects a nested index holds, and how they get in and out.
//
// The nested index of a root index R holds every Indexable reachable from
// R's objects through attribute values (container members included), each
// once, whatever the depth and however many paths lead to it. Every
// (holder, nested object) pair is recorded in the parent map of the holder's
// attribute, in R for holders that are R's objects and in the nested index
// for holders that are nested objects; `counts` keeps, per nested object, how
// many pairs name it, split by where the holder lives.
//
// An object must be in the nested index while any pair names it. Pairs change
// while a writer holds its own object's mutexes, so the object that a pair
// names is not touched then: the change is queued on the calling thread
// (`defer_reconcile`) and `settle_nested` brings each queued object in or out
// afterwards, with no object lock held, under the nested index's reconcile
// mutex, taking one object's mutexes at a time. A reconcile reads the current
// count, so queued work from racing threads converges on the current pairs.
//
// Counting cannot see a cycle of nested objects that nothing reachable holds
// any more (a parent and child that point at each other, cut off from R).
// Such objects stay in the nested index without changing any answer: a
// dotted path climbs from nested objects to their holders and ends in R's
// parent maps, which only name R's objects, so an unreachable object never
// leads to a root. Pair removals that leave a count above zero mark the
// object as a suspect; when suspects pile up (or R is narrowed) a sweep from
// the objects R holds directly removes everything it cannot reach, so the
// memory of dropped cycles is reclaimed in time linear in the work that
// dropped them.
#pragma once

#include <cstdint>
#include <memory>

#include <absl/container/flat_hash_map.h>

#include "base/locks.hpp"
#include "structures/bitmap.hpp"
#include "structures/id_alloc.hpp"
#include "values/value.hpp"

namespace qdx {

class IndexState;
class ValueIndex;

struct HolderCount {
  uint32_t from_root = 0;
  uint32_t from_nested = 0;
  uint32_t total() const noexcept { return from_root + from_nested; }
};

struct HolderCounts {
  absl::flat_hash_map<ObjectId, HolderCount> by_object;
  Bitmap suspects;
};

struct NestedGraph {
  Mutex reconcile;
  MutexLocked<HolderCounts> counts;
};

// Records (holder, value) in the value index's parent map; value is an Indexable.
void record_nested_pair(ValueIndex& index, ObjectId holder, const PyValue& value);
// Removes the pair again (nothing when it was not recorded).
void drop_nested_pair(ValueIndex& index, ObjectId holder, const PyValue& value);
// Removes every pair whose holder is in `holders` (narrowing).
void drop_nested_holders(ValueIndex& index, const Bitmap& holders);

// Brings every object queued by this thread into or out of its nested index.
// The caller holds no object or index lock.
void settle_nested();
// Removes from `nested` every object the root's objects cannot reach.
void sweep_nested(const std::shared_ptr<IndexState>& nested);

}  // namespace qdx
