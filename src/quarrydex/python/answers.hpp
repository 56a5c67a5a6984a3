// The answers that `Index` and `FilteredIndex` share: size, membership,
// iteration, ordering, and the pickled form of an index.
//
// A selection is an index state and, for a filtered view, the view's ids;
// only the objects the index still holds count (as in `collect`). Every
// function here is called with the interpreter lock held; index work that can
// take long (ordering, pickling, restoring) runs with it released.
#pragma once

#include <Python.h>

#include <memory>

#include "core/index_state.hpp"
#include "structures/bitmap.hpp"

namespace qdx {

// What an Index or a view answers for: every held object (no view), or the
// view's ids, less those whose slot took another object after `made_at`
// (an id that a dropped object gave back), as collect() does.
struct Selection {
  const Bitmap* view = nullptr;
  uint64_t made_at = UINT64_MAX;
};

// len(): the number of objects collect() would return, without a list.
Py_ssize_t selection_length(IndexState& state, const Selection& selection);

// `object in x`, by identity; anything that is not a held object gives 0.
int selection_contains(IndexState& state, const Selection& selection, PyObject* object);

// A lazy iterator over the selection as it is now (see index_iterator.hpp).
PyObject* selection_iterator(const std::shared_ptr<IndexState>& state, const Selection& selection);

// order_by(attr, *, descending=False, limit=None): a new list.
PyObject* selection_order_by(IndexState& state, const Selection& selection, PyObject* args,
                             PyObject* kwargs);

// The state an Index pickles as: (objects, [(position, name), ...]), the
// pairs naming the "_" attributes the index holds values of (some adds index
// them, others do not).
PyObject* index_pickle_state(IndexState& state);
// Adds the objects of such a state to an index, indexing exactly those "_"
// attributes.
void restore_index(const std::shared_ptr<IndexState>& state, PyObject* pickled);

}  // namespace qdx
