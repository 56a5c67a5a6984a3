// The memory layout of an `Indexable` instance: the Python object header, the
// object's record, and the weak-reference list. Only code that includes the
// interpreter headers anyway (the type itself, the record accessors) sees it.
#pragma once

#include <Python.h>

#include "values/index_api.hpp"

namespace qdx {

struct IndexableObject {
  PyObject_HEAD IndexAPI api;
  PyObject* weakrefs;
};

}  // namespace qdx
