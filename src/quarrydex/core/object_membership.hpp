// Adding one object to an index and taking it out again.
//
// All of it runs with the interpreter lock released and never needs it.
// Lock order: see base/locks.hpp.
#pragma once

#include <memory>

#include "core/index_state.hpp"
#include "core/stored_indexable.hpp"

namespace qdx {

// Adds one object: links the index to it, stores it and inserts its current
// attribute values (names beginning with "_" are skipped when asked), then
// settles the nested objects it holds. The store takes over what keeps the
// object alive in `slot` (a reference or a holder share); the caller keeps
// the object alive until the call returns.
void add_object(const std::shared_ptr<IndexState>& state, StoredIndexable slot, bool skip_private);
// The same without settling; holds the object's lock throughout, so no write
// of the object interleaves.
void add_object_unsettled(const std::shared_ptr<IndexState>& state, StoredIndexable slot,
                          bool skip_private);
// Takes an object out of an index: its slot first (the taken reference keeps
// the object alive to the end), then under the object's lock its values
// leave and the link goes, then its id. Does not settle.
void remove_object(IndexState& state, ObjectId id);

}  // namespace qdx
