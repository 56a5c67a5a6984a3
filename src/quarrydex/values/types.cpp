#include "values/types.hpp"

#include <Python.h>

#include "values/python_ref.hpp"

namespace qdx {
namespace {

struct NumpyTypes {
  bool built = false;
  PyTypeObject* int64 = nullptr;
  PyTypeObject* float64 = nullptr;
  PyTypeObject* str = nullptr;
  PyTypeObject* boolean = nullptr;
};

// Guarded by the interpreter lock; the references are kept for the life of
// the process.
NumpyTypes g_numpy;

PyTypeObject* type_attribute(PyObject* module, const char* name) {
  PyObject* attribute = PyObject_GetAttrString(module, name);
  if (attribute == nullptr) {
    PyErr_Clear();
    return nullptr;
  }
  PyRef owned = PyRef::steal(attribute);
  if (!PyType_Check(attribute)) return nullptr;
  return reinterpret_cast<PyTypeObject*>(owned.release());  // kept for the process
}

void try_build() {
  static PyObject* name = PyUnicode_InternFromString("numpy");  // kept for the process
  if (name == nullptr) {
    PyErr_Clear();
    return;
  }
  PyRef numpy = PyRef::steal(PyImport_GetModule(name));
  if (!numpy) {
    PyErr_Clear();
    return;
  }
  g_numpy.int64 = type_attribute(numpy.get(), "int64");
  g_numpy.float64 = type_attribute(numpy.get(), "float64");
  g_numpy.str = type_attribute(numpy.get(), "str_");
  g_numpy.boolean = type_attribute(numpy.get(), "bool");
  g_numpy.built = true;
}

}  // namespace

NumpyScalar classify_numpy_scalar(PyTypeObject* type) {
  if (!g_numpy.built) {
    try_build();
    if (!g_numpy.built) return NumpyScalar::kNone;
  }
  if (type == g_numpy.int64) return NumpyScalar::kInt64;
  if (type == g_numpy.float64) return NumpyScalar::kFloat64;
  if (type == g_numpy.str) return NumpyScalar::kStr;
  if (type == g_numpy.boolean) return NumpyScalar::kBool;
  return NumpyScalar::kNone;
}

}  // namespace qdx
