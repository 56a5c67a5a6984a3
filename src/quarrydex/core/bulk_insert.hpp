// Adding many objects at once (the batch's steps and their locking are
// described in bulk_insert.cpp).
#pragma once

#include <memory>
#include <vector>

#include "core/index_state.hpp"
#include "core/stored_indexable.hpp"

namespace qdx {

// Adds several objects; every attribute name is indexed. The store takes
// over what keeps each object alive in `slots`.
void add_objects(const std::shared_ptr<IndexState>& state, std::vector<StoredIndexable> slots);

}  // namespace qdx
