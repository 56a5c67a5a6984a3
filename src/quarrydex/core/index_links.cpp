#include "core/index_links.hpp"

#include <algorithm>
#include <vector>

namespace qdx {

void link_index_locked(const IndexAPI& record, const ObjectGuard& guard,
                       const std::weak_ptr<IndexState>& state) {
  const std::shared_ptr<IndexState> target = state.lock();
  if (target == nullptr) return;
  IndexLinks& links = record.links_to_change(guard);
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
  // here, still under the caller's object lock, which the index's destructor
  // never takes.
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
  IndexLinks* links = record.links(guard);
  if (links == nullptr) return;
  links->erase(std::remove_if(links->begin(), links->end(),
                              [&](const auto& l) {
                                const auto locked = l.lock();
                                return locked == nullptr || locked.get() == state;
                              }),
               links->end());
  // An object that left its last index costs no list.
  record.drop_links_if_empty(guard);
}

}  // namespace qdx
