#include "core/union.hpp"

#include "core/bulk_insert.hpp"

namespace qdx {

std::vector<StoredIndexable> union_sources(const std::shared_ptr<IndexState>& target,
                                           IndexState& other) {
  if (target.get() == &other) return {};
  // Two indexes never share a store; reading one while writing the other
  // could otherwise wait on itself.
  QDX_DEBUG_CHECK(target->store != other.store, "union of two indexes sharing one store");
  Bitmap ids;
  {
    ReadGuard guard(other.all_ids->lock());
    ids = other.all_ids->get(guard).clone();
  }
  // An object taken out meanwhile has no slot any more and is skipped.
  return referenced_slots(other, ids);
}

void union_indexes(const std::shared_ptr<IndexState>& target, std::vector<StoredIndexable> slots) {
  add_objects(target, std::move(slots));
}

}  // namespace qdx
