// `IndexState`: the shared state of one index.
//
// Fields:
//   attributes  per-attribute value indexes, indexed by AttributeId
//               (nullptr = no value of that attribute was ever inserted)
//   store       object store: slot i holds the object with id i, or an empty
//               slot (no object; the empty slot stands in for a placeholder)
//   all_ids     ids of every object the index holds
//   parents     the parent map (pairs holder id -> nested object id)
//   parent      the owning index, for nested indexes owned by a value index
//
// Invariants: every id in all_ids has a filled store slot whose record
// carries that id; the store never shrinks; its length is one more than the
// largest id ever stored.
//
// Lock order (outermost first; where several are held they are taken in
// this order, and no path takes them against it):
//   1. per object: index_links mutex, then attributes mutex
//   2. per index: attribute table, then all_ids, then store; parent map
//   3. per attribute: value-index components (a bulk insertion takes its
//      bundles in ascending attribute id order and holds no object lock
//      meanwhile); a hashed-map shard lock is innermost and held alone
//   4. process-wide: interner, id allocator, pending releases
// No index or object lock is ever held while waiting for the interpreter
// lock: index work never needs it (values carry their converted members).
// Two indexes' locks (union) are taken in ascending address order.
#pragma once

#include <memory>
#include <vector>

#include "base/locks.hpp"
#include "core/parent_map.hpp"
#include "core/stored_indexable.hpp"
#include "structures/bitmap.hpp"

namespace qdx {

class ValueIndex;

using AttributeTable = std::vector<std::shared_ptr<ValueIndex>>;
using ObjectStore = std::vector<StoredIndexable>;

class IndexState {
 public:
  explicit IndexState(std::weak_ptr<IndexState> parent_link);
  static std::shared_ptr<IndexState> make(std::weak_ptr<IndexState> parent_link = {});
  ~IndexState();

  const std::shared_ptr<RwLocked<AttributeTable>> attributes;
  const std::shared_ptr<RwLocked<ObjectStore>> store;
  const std::shared_ptr<RwLocked<Bitmap>> all_ids;
  RwLocked<ParentMap> parents;
  const std::weak_ptr<IndexState> parent;
};

// The value index of `attribute`, or nullptr. Takes the table's read lock.
std::shared_ptr<ValueIndex> find_value_index(IndexState& state, uint32_t attribute);
// The value index of `attribute`, made (and the table grown) when missing.
std::shared_ptr<ValueIndex> value_index_for(IndexState& state,
                                            const std::weak_ptr<IndexState>& link,
                                            uint32_t attribute);

// Puts the object into the store and its id into all_ids.
void store_object(IndexState& state, StoredIndexable slot);
// Writes a slot; the caller holds the store's write lock.
void put_slot_locked(ObjectStore& store, StoredIndexable slot);

}  // namespace qdx
