// Taking one object out of an index (`Index.remove_object`).
//
// Afterwards the index holds nothing of the object: not its id, store slot,
// attribute values, container members (their proxy ids go back to the
// allocator) or nested pairs, and no link to the index, so later writes on the
// object no longer reach it. Adding the object again is a first add.
//
// The link goes first: a write already running on the object finishes before
// the object lock is free, and no later write reaches the index, so nothing
// of the object can come back once its values are removed. Values are removed
// under the object's lock, each only where the index holds it:
// names beginning with "_" are indexed by some adds and not by others.
#pragma once

#include <memory>

#include "core/index_state.hpp"
#include "values/index_api.hpp"

namespace qdx {

// False (and nothing changes) when the index does not hold this object.
// Runs without the interpreter lock; lock order as in index_state.hpp.
bool remove_held_object(const std::shared_ptr<IndexState>& state, const IndexAPI& record);

// Whether the index holds this very object (same id, same record).
bool holds_object(IndexState& state, const IndexAPI& record);

}  // namespace qdx
