#include "core/index_links.hpp"

namespace qdx {

void link_index_locked(const IndexAPI& record, const ObjectGuard& guard,
                       const std::weak_ptr<IndexState>& state) {
  // Pinned only to reach its anchor; it may be the last owner of an index
  // dropped meanwhile and then goes here, still under the caller's object
  // lock, which the index's destructor never takes.
  const std::shared_ptr<IndexState> target = state.lock();
  if (target == nullptr) return;
  record.links(guard).add(target->anchor());
}

void link_index(const IndexAPI& record, const std::weak_ptr<IndexState>& state) {
  ObjectGuard guard(record.lock(), kLinksPart);
  link_index_locked(record, guard, state);
}

void unlink_index(const IndexAPI& record, const IndexState* state) {
  ObjectGuard guard(record.lock(), kLinksPart);
  unlink_index_locked(record, guard, state);
}

void unlink_index_locked(const IndexAPI& record, const ObjectGuard& guard,
                         const IndexState* state) {
  record.links(guard).remove(state);
}

}  // namespace qdx
