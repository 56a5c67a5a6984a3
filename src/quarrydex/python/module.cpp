// The module entry point: single-phase initialisation, bound to the first
// interpreter that imports it, built once per process and cached.
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>

#include "python/arg_parser.hpp"
#include "python/errors.hpp"
#include "python/module_types.hpp"
#include "values/value.hpp"

namespace qdx {
namespace {

constexpr const char* kSumNames[] = {"a", "b"};
constexpr Signature kSumSignature{"sum_as_string()", kSumNames, 2};

unsigned long long to_u64(std::string_view name, PyObject* object) {
  return convert_argument(name, [&] {
    PyRef index = PyRef::checked(PyNumber_Index(object));
    const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonError();
    return v;
  });
}

PyObject* sum_as_string(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    const ParsedArguments parsed = parse_arguments(kSumSignature, args, nargs, kwnames);
    const unsigned long long a = to_u64("a", parsed[0]);
    const unsigned long long b = to_u64("b", parsed[1]);
    const std::string text = std::to_string(a + b);  // wraps modulo 2^64 by design
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

PyMethodDef g_sum_def = {"sum_as_string",
                         reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sum_as_string)),
                         METH_FASTCALL | METH_KEYWORDS,
                         "sum_as_string(a, b)\n--\n\nFormats the sum of two numbers as string."};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "Quarrydex",
    "In-memory indexes over Python objects by the values of their attributes.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Sets module.<name> = value and appends name to module.__all__.
void add_to_module(PyObject* module, const char* name, PyObject* value) {
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError();
    PyErr_Clear();
    all = PyRef::checked(PyList_New(0));
    if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw PythonError();
  }
  PyRef name_object = PyRef::checked(PyUnicode_FromString(name));
  if (PyList_Append(all.get(), name_object.get()) < 0) throw PythonError();
  if (PyObject_SetAttr(module, name_object.get(), value) < 0) throw PythonError();
}

void add_type(PyObject* module, const char* name, PyTypeObject* type) {
  if (type == nullptr) throw PythonError();
  add_to_module(module, name, reinterpret_cast<PyObject*>(type));
}

bool interpreter_printable(uint32_t code_point) {
  return Py_UNICODE_ISPRINTABLE(static_cast<Py_UCS4>(code_point)) != 0;
}

PyRef build_module() {
  set_printable_test(interpreter_printable);
  PyRef module = PyRef::checked(PyModule_Create2(&g_module_def, 1013));
  PyRef module_name = PyRef::checked(PyModule_GetNameObject(module.get()));
  PyRef function =
      PyRef::checked(PyCMethod_New(&g_sum_def, module.get(), module_name.get(), nullptr));
  PyRef function_name = PyRef::checked(PyObject_GetAttrString(function.get(), "__name__"));
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(function_name.get(), &size);
  if (text == nullptr) throw PythonError();
  add_to_module(module.get(), text, function.get());
  add_type(module.get(), "Index", index_type_object());
  add_type(module.get(), "Indexable", indexable_type_object());
  add_type(module.get(), "FilteredIndex", filtered_index_type_object());
  add_type(module.get(), "PyQueryExpr", query_expr_type_object());
  // The package's version, as in its metadata; like PanicException, not in `__all__`.
  if (PyModule_AddStringConstant(module.get(), "__version__", QUARRYDEX_VERSION) < 0) {
    throw PythonError();
  }
  // Reachable for `except`, but not part of `__all__`.
  PyObject* panic_type = panic_exception_type();
  if (panic_type == nullptr) throw PythonError();
  if (PyObject_SetAttrString(module.get(), "PanicException", panic_type) < 0) throw PythonError();
  return module;
}

std::atomic<int64_t> g_interpreter_id{-1};
PyObject* g_module = nullptr;  // built once, kept for the process

PyObject* init_module() {
  return guarded([]() -> PyObject* {
    const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id < 0) throw PythonError();
    int64_t expected = -1;
    if (!g_interpreter_id.compare_exchange_strong(expected, id) && expected != id) {
      PyErr_SetString(PyExc_ImportError,
                      "Quarrydex does not support sub-interpreters: it is already bound to "
                      "another interpreter of this process");
      return nullptr;
    }
    if (g_module == nullptr) g_module = build_module().release();
    return Py_NewRef(g_module);
  });
}

}  // namespace

PyTypeObject* make_heap_type(PyType_Spec& spec) {
  auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
  if (type == nullptr) return nullptr;
  const char* dot = std::strrchr(spec.name, '.');
  type->tp_name = dot != nullptr ? dot + 1 : spec.name;  // static storage, outlives the type
  return type;
}

}  // namespace qdx

PyMODINIT_FUNC PyInit_Quarrydex(void) {
  return qdx::init_module();
}
