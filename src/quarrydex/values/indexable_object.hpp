// The memory layout of an `Indexable` instance, shared by the value model
// (which recognises nested objects) and the Python-facing type.
#pragma once

#include <Python.h>

#include "values/index_api.hpp"

namespace qdx {

struct IndexableObject {
  PyObject_HEAD IndexAPI api;
  PyObject* weakrefs;
};

// The `Indexable` type object, set once when the type is created.
PyTypeObject* indexable_type() noexcept;
void set_indexable_type(PyTypeObject* type) noexcept;

// Instance of Indexable or of a subclass.
inline bool is_indexable(PyObject* object) noexcept {
  PyTypeObject* type = indexable_type();
  return type != nullptr && PyObject_TypeCheck(object, type);
}

inline IndexAPI& api_of(PyObject* object) noexcept {
  return reinterpret_cast<IndexableObject*>(object)->api;
}

}  // namespace qdx
