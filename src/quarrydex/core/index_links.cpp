#include "core/index_links.hpp"

#include <algorithm>
#include <vector>

namespace qdx {

void link_index_locked(MutexLocked<IndexLinks>& locked_links, const MutexGuard& guard,
                       const std::weak_ptr<IndexState>& state) {
  IndexLinks& links = locked_links.get(guard);
  const std::shared_ptr<IndexState> target = state.lock();
  if (target == nullptr) return;
  // Each live index is pinned while the list is rebuilt, so no link can
  // expire half-way through the sort and break its ordering.
  std::vector<std::shared_ptr<IndexState>> live;
  live.reserve(links.size() + 1);
  for (const auto& link : links) {
    if (auto locked = link.lock()) live.push_back(std::move(locked));
  }
  // One link per index: adding an object twice must not make every later
  // write update that index twice.
  if (std::find(live.begin(), live.end(), target) == live.end()) live.push_back(target);
  std::sort(live.begin(), live.end(), [](const auto& a, const auto& b) {
    return std::less<const IndexState*>()(a.get(), b.get());
  });
  links.clear();
  for (const auto& locked : live) links.push_back(locked);
  // The pins may be the last owners of an index dropped meanwhile; they go
  // here, still under the caller's mutex, which the index's destructor never takes.
}

void link_index(const IndexAPI& record, const std::weak_ptr<IndexState>& state) {
  MutexGuard guard(record.index_links->mutex());
  link_index_locked(*record.index_links, guard, state);
}

void unlink_index(const IndexAPI& record, const IndexState* state) {
  MutexGuard guard(record.index_links->mutex());
  erase_link(record.index_links->get(guard), state);
}

// Drops `state` and every dead link from `links`.
void erase_link(IndexLinks& links, const IndexState* state) {
  links.erase(std::remove_if(links.begin(), links.end(),
                             [&](const auto& l) {
                               const auto locked = l.lock();
                               return locked == nullptr || locked.get() == state;
                             }),
              links.end());
}

}  // namespace qdx
