// The iterator over an index or a filtered view (`iter(x)`).
//
// It holds the index state, a copy of the selected ids taken when it was
// made, and the store stamp of that moment. Each step reads one store slot
// under the store's read lock: an id whose slot is empty now (the object was
// dropped) or was written after the stamp (the object was added again, or
// another object took over a released id) is skipped, so the iterator yields
// only objects of the snapshot, in ascending id order, and never fails
// because the index changed.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>

#include "core/index_state.hpp"
#include "structures/bitmap.hpp"

namespace qdx {

PyObject* make_index_iterator(std::shared_ptr<IndexState> state, Bitmap snapshot, uint64_t stamp);

}  // namespace qdx
