#include "core/union.hpp"

#include <vector>

#include "core/bulk_insert.hpp"

namespace qdx {

void union_indexes(const std::shared_ptr<IndexState>& target,
                   const std::shared_ptr<IndexState>& other) {
  if (target == other) return;
  // Two indexes never share a store; reading one while writing the other
  // could otherwise wait on itself.
  QDX_DEBUG_CHECK(target->store != other->store, "union of two indexes sharing one store");
  std::vector<StoredIndexable> slots;
  {
    ReadGuard ids_guard(other->all_ids->lock());
    ReadGuard store_guard(other->store->lock());
    const ObjectStore& store = other->store->get(store_guard);
    // Slots are filled before their ids are published and ids withdrawn
    // before their slots are cleared; the check only guards the invariant.
    other->all_ids->get(ids_guard).for_each([&](uint32_t id) {
      if (store.holds(id)) slots.push_back(store.slot(id));
    });
  }
  add_objects(target, slots);
}

}  // namespace qdx
