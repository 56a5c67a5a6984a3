// The Python class `FilteredIndex`: a fixed set of ids over the live
// structures of the index it came from. It holds that index's state
// strongly, so it keeps working (and attribute writes keep reaching the
// structures it reads) after the `Index` object is gone.
#pragma once

#include <Python.h>

#include <memory>

#include "core/index_state.hpp"
#include "structures/bitmap.hpp"

namespace qdx {

// A view of `ids`, selected no earlier than store stamp `made_at`
// (current_store_stamp() read before the selection was computed).
PyObject* make_filtered_index(std::shared_ptr<IndexState> state, Bitmap ids, uint64_t made_at);

}  // namespace qdx
