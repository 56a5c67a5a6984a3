// The links from an object to the indexes that hold it: weak, one per index,
// sorted by the address of the index state so that writers lock indexes in
// one order. Guarded by the object's links mutex (base/locks.hpp).
#pragma once

#include <memory>

#include "core/index_state.hpp"
#include "values/index_api.hpp"

namespace qdx {

// Appends a weak link to `state` to the object's links (their mutex held by
// `guard`), drops dead links and keeps the list sorted by the address of the state.
void link_index_locked(MutexLocked<IndexLinks>& links, const MutexGuard& guard,
                       const std::weak_ptr<IndexState>& state);
void link_index(const IndexAPI& record, const std::weak_ptr<IndexState>& state);
// Removes every link to `state` (and every dead link) from the object's links.
void unlink_index(const IndexAPI& record, const IndexState* state);

// Drops `state` and every dead link from `links`.
void erase_link(IndexLinks& links, const IndexState* state);

}  // namespace qdx
