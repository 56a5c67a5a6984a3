// Attributes whose names begin with "_": stored on objects, indexed only by
// the adds that ask for them, and remembered per object so that they can
// leave again.
#pragma once

#include <cstdint>

#include "core/index_state.hpp"
#include "values/index_api.hpp"

namespace qdx {

// Names beginning with "_" are stored on objects but not indexed by adds
// and writes. The empty name does not count.
bool is_private_attribute(uint32_t attribute);

// Forgets the "_" values recorded for `id` and removes them from the index.
void drop_private_values(IndexState& state, ObjectId id);
// Whether "_" values are recorded for any object: when none are, a batch
// need not look for its objects' one by one.
bool holds_private_values(IndexState& state);
// Records the "_" values of `attributes` that were just indexed for `id`.
void record_private_values(IndexState& state, ObjectId id, const AttributeMap& attributes);

}  // namespace qdx
