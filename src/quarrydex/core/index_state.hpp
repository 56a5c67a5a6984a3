// `IndexState`: the shared state of one index.
//
// Fields:
//   attributes  per-attribute value indexes, indexed by AttributeId
//               (nullptr = no value of that attribute was ever inserted)
//   store       object store: slot i holds the object with id i, or an empty
//               slot (no object; the empty slot stands in for a placeholder)
//   all_ids     ids of every object the index holds
//   parent      for a nested index, the root index it belongs to
//   graph       for a nested index, which objects must be in it (nested_graph.hpp)
//   private_values  values of "_" attributes that add_object_many indexed, per
//               object, so that the next add of the object replaces them
//
// A root index (an `Index` made from Python, or by rebase) owns at most one
// nested index: every Indexable reachable from the root's objects through
// attribute values (container members included), whatever the depth, is
// stored and indexed there once. The nested index of a nested index is itself.
//
// Invariants: every id in all_ids has a filled store slot whose record
// carries that id; the store never shrinks; its length is one more than the
// largest id ever stored. The lock order is in base/locks.hpp.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include <absl/container/flat_hash_map.h>

#include "base/locks.hpp"
#include "core/equality_combinations.hpp"
#include "core/nested_graph.hpp"
#include "core/object_store.hpp"
#include "core/stored_indexable.hpp"
#include "structures/bitmap.hpp"
#include "values/index_anchor.hpp"

namespace qdx {

class ValueIndex;

using AttributeTable = std::vector<std::shared_ptr<ValueIndex>>;
using PrivateValues = absl::flat_hash_map<ObjectId, std::vector<std::pair<uint32_t, PyValue>>>;

class IndexState : public std::enable_shared_from_this<IndexState> {
 public:
  // A root index when `root` is empty, else the nested index of `root`.
  explicit IndexState(std::weak_ptr<IndexState> root, bool nested);
  static std::shared_ptr<IndexState> make();
  ~IndexState();

  const std::shared_ptr<RwLocked<AttributeTable>> attributes;
  const std::shared_ptr<RwLocked<ObjectStore>> store;
  const std::shared_ptr<RwLocked<Bitmap>> all_ids;
  const std::weak_ptr<IndexState> parent;
  const bool is_nested;
  NestedGraph graph;
  MutexLocked<PrivateValues> private_values;
  // Combined indexes over sets of this index's attributes, made for
  // conjunctions of equalities asked often (query/equality_combination.cpp).
  CombinationRegistry combinations;

  // The nested index (this index itself when it is nested); made on first
  // use when `make` is set, else nullptr while there is none.
  std::shared_ptr<IndexState> nested_index(bool make);
  // The anchor every object held by this index links to, made on first use.
  // Valid while the index lives; a link takes a count of its own.
  IndexAnchor& anchor();

 private:
  std::atomic<IndexAnchor*> anchor_{nullptr};  // one count owned
  Mutex nested_mutex_;
  std::shared_ptr<IndexState> nested_;
};

// The value index of `attribute`, or nullptr. Takes the table's read lock.
std::shared_ptr<ValueIndex> find_value_index(IndexState& state, uint32_t attribute);
// The same without taking a share of it: the pointer stays valid while
// `state` lives, because the table never drops or replaces an entry.
ValueIndex* value_index_at(IndexState& state, uint32_t attribute);
// The value index of `attribute`, made (and the table grown) when missing.
std::shared_ptr<ValueIndex> value_index_for(IndexState& state,
                                            const std::weak_ptr<IndexState>& link,
                                            uint32_t attribute);

// Whether the index holds `id` (all_ids read lock).
bool holds_id(IndexState& state, ObjectId id);
// Puts the object into the store, which takes over what keeps it alive, and
// its id into all_ids. `slot` stays readable (borrowed): the caller keeps the
// object alive for as long as it reads it.
void store_object(IndexState& state, StoredIndexable& slot);
// The objects of `ids` the index holds under a stamp at most `max_stamp`
// (the objects a view made then selected), each with a reference of its own,
// so they can go into another index. The caller holds the interpreter lock.
std::vector<StoredIndexable> referenced_slots(IndexState& state, const Bitmap& ids,
                                              uint64_t max_stamp = UINT64_MAX);
// Writes a slot under the store's write lock `guard`. A slot that already
// holds the same object keeps its stamp; any other gets a new one. Returns
// what the store let go of (see ObjectStore::put), to be dropped after the
// lock.
[[nodiscard]] StoredIndexable put_slot_locked(RwLocked<ObjectStore>& store, const WriteGuard& guard,
                                              StoredIndexable slot);
// The stamp the next object put into any store will exceed: a view made now
// selected only objects whose slots carry a stamp not above it.
uint64_t current_store_stamp() noexcept;

}  // namespace qdx
