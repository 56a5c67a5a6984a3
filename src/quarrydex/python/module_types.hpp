// The module's classes. Each getter makes its heap type on first use and
// keeps it for the life of the process; it returns a borrowed reference, or
// NULL with an exception set.
#pragma once

#include <Python.h>

namespace qdx {

PyTypeObject* index_type_object();
PyTypeObject* indexable_type_object();
PyTypeObject* filtered_index_type_object();
PyTypeObject* query_expr_type_object();

// Makes a heap type from a spec named "Quarrydex.<Name>" (which sets
// __module__) and gives it the bare class name as its type name.
PyTypeObject* make_heap_type(PyType_Spec& spec);

// tp_new of the classes that Python cannot construct directly.
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs);

}  // namespace qdx
