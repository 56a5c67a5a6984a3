// The module's classes. Each getter makes its heap type on first use and
// keeps it for the life of the process; it returns a borrowed reference, or
// NULL with an exception set.
#pragma once

#include <Python.h>

#include <utility>

#include "values/gil.hpp"
#include "values/python_ref.hpp"

namespace qdx {

PyTypeObject* index_type_object();
PyTypeObject* indexable_type_object();
PyTypeObject* filtered_index_type_object();
PyTypeObject* query_expr_type_object();

// Makes a heap type from a spec named "Quarrydex.<Name>" (which sets
// __module__) and gives it the bare class name as its type name.
PyTypeObject* make_heap_type(PyType_Spec& spec);

// A fast-call-with-keywords function as a method-table entry.
using FastCallWithKeywords = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
inline PyCFunction as_method(FastCallWithKeywords function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// The common end of every deallocator: destroys the instance's C++ part
// (references it drops are released at once, the lock being held), frees the
// memory and drops the reference each instance holds on its heap type.
template <typename Destroy>
void free_instance(PyObject* self, Destroy&& destroy) {
  {
    GilHeld held;
    std::forward<Destroy>(destroy)();
  }
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  PyRef::steal(reinterpret_cast<PyObject*>(type));
}

// tp_new of the classes that Python cannot construct directly.
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs);

}  // namespace qdx
