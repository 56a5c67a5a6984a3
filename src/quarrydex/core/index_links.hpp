// Linking an object to the indexes that hold it and unlinking it. The links
// (values/index_link_list.hpp) are one per index, sorted by the address of the
// index state so that writers lock indexes in one order, and guarded by the
// object's lock (links part; base/locks.hpp).
#pragma once

#include <memory>

#include "core/index_state.hpp"
#include "values/index_api.hpp"

namespace qdx {

// Adds a weak link to `state` to the object's links (the object's lock held
// by `guard`), drops dead links and keeps the list sorted by the address of
// the state.
void link_index_locked(const IndexAPI& record, const ObjectGuard& guard,
                       const std::weak_ptr<IndexState>& state);
void link_index(const IndexAPI& record, const std::weak_ptr<IndexState>& state);
// Removes every link to `state` (and every dead link) from the object's links.
void unlink_index(const IndexAPI& record, const IndexState* state);
// The same with the object's lock held by `guard`.
void unlink_index_locked(const IndexAPI& record, const ObjectGuard& guard, const IndexState* state);

}  // namespace qdx
