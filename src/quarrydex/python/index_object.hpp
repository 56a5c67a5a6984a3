// The memory layout of an `Index` instance: the Python object header and one
// shared pointer to the index state. The pointer is set when the instance is
// made and only read afterwards, so any thread holding the interpreter lock
// may read it; the state behind it guards itself with its own locks.
//
// Kept in a header of its own so that the test-only fault hook can reach the
// state of an `Index` it is handed without a Python-visible accessor.
#pragma once

#include <Python.h>

#include <memory>

#include "core/index_state.hpp"

namespace qdx {

struct IndexObject {
  PyObject_HEAD std::shared_ptr<IndexState> state;
};

}  // namespace qdx
