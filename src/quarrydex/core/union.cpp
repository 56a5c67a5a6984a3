#include "core/union.hpp"

#include <vector>

#include "core/index_ops.hpp"

namespace qdx {

void union_indexes(const std::shared_ptr<IndexState>& target,
                   const std::shared_ptr<IndexState>& other) {
  if (target == other) return;
  std::vector<StoredIndexable> slots;
  {
    ReadGuard ids_guard(other->all_ids->lock());
    ReadGuard store_guard(other->store->lock());
    const ObjectStore& store = other->store->get(store_guard);
    // An add puts the id into all_ids just before it fills the slot, so an
    // id may briefly have no slot yet; that object is not merged.
    other->all_ids->get(ids_guard).for_each([&](uint32_t id) {
      if (id < store.size() && !store[id].empty()) slots.push_back(store[id]);
    });
  }
  add_objects(target, slots);
}

}  // namespace qdx
