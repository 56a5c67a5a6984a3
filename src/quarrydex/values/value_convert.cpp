#include "values/value_convert.hpp"

#include <Python.h>

#include <algorithm>
#include <vector>

#include "values/indexable_object.hpp"
#include "values/types.hpp"

namespace qdx {

PyValue convert_one(PyObject* object, ValueUse use);

namespace {

// Containers being walked on this thread, so that a container that contains
// itself is not walked again.
thread_local std::vector<PyObject*> t_walking;

class WalkGuard {
 public:
  explicit WalkGuard(PyObject* container) { t_walking.push_back(container); }
  ~WalkGuard() { t_walking.pop_back(); }
  static bool walking(PyObject* container) {
    return std::find(t_walking.begin(), t_walking.end(), container) != t_walking.end();
  }
};

PythonHandle handle_of(PyObject* object) {
  return PythonHandle(PyRef::borrow(object));
}

// Scalars stored in attribute maps carry no holder (see ValueUse).
PythonHandle scalar_handle_of(PyObject* object, ValueUse use) {
  return use == ValueUse::kStored ? PythonHandle() : handle_of(object);
}

PyValue make_int(PyObject* object, ValueUse use) {
  const long long v = PyLong_AsLongLong(object);
  if (v == -1 && PyErr_Occurred()) throw PythonError();
  return PyValue::of_int(v, scalar_handle_of(object, use));
}

PyValue make_float(PyObject* object, ValueUse use, bool exact) {
  const double v = exact ? PyFloat_AS_DOUBLE(object) : PyFloat_AsDouble(object);
  if (!exact && v == -1.0 && PyErr_Occurred()) throw PythonError();
  return PyValue::of_float(v, scalar_handle_of(object, use));
}

PyValue make_str(PyObject* object, ValueUse use) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(object, &size);
  if (text == nullptr) throw PythonError();
  const std::string_view view(text, static_cast<size_t>(size));
  // Short stored text is copied into the record; anything else reads the
  // str's own UTF-8 bytes (cached in the str, so they outlive this call).
  if (use == ValueUse::kStored && view.size() <= PyValue::kInlineText) {
    return PyValue::of_str(view);
  }
  return PyValue::of_python_str(handle_of(object), view);
}

PyValue make_bool(PyObject* object, ValueUse use, bool exact) {
  bool v;
  if (exact) {
    v = object == Py_True;
  } else {
    const int truth = PyObject_IsTrue(object);
    if (truth < 0) throw PythonError();
    v = truth != 0;
  }
  return PyValue::of_bool(v, scalar_handle_of(object, use));
}

PyValue make_ind(PyObject* object) {
  return PyValue::of_ind(handle_of(object), api_of(object));
}

// Counts one level of container nesting against the interpreter's recursion
// limit, so that a deeply nested value raises RecursionError instead of
// running this thread out of stack.
class NestingLevel {
 public:
  NestingLevel() {
    if (Py_EnterRecursiveCall(" while converting a nested container") != 0) throw PythonError();
  }
  ~NestingLevel() { Py_LeaveRecursiveCall(); }
  NestingLevel(const NestingLevel&) = delete;
  NestingLevel& operator=(const NestingLevel&) = delete;
};

IterableMembers convert_members(PyObject* container, IterableKind kind, ValueUse use) {
  IterableMembers members;
  members.kind = kind;
  if (kind == IterableKind::kDict || WalkGuard::walking(container)) return members;
  const NestingLevel level;
  WalkGuard guard(container);
  if (kind == IterableKind::kList || kind == IterableKind::kTuple) {
    // Index access each step: a member's conversion cannot change a list
    // (conversion runs no Python code that the caller wrote, except __hash__
    // of unknown objects, which could; the length is re-read every step).
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(container); ++i) {
      PyRef item = PyRef::borrow(PySequence_Fast_GET_ITEM(container, i));
      members.push_back(convert_one(item.get(), use));
    }
    return members;
  }
  PyRef iterator = PyRef::checked(PyObject_GetIter(container));
  while (PyObject* item = PyIter_Next(iterator.get())) {
    PyRef owned = PyRef::steal(item);
    members.push_back(convert_one(owned.get(), use));
  }
  if (PyErr_Occurred()) throw PythonError();
  return members;
}

PyValue make_iterable(PyObject* object, IterableKind kind, ValueUse use) {
  auto members = std::make_shared<const IterableMembers>(convert_members(object, kind, use));
  return PyValue::of_iterable(handle_of(object), std::move(members));
}

PyValue make_unknown(PyObject* object) {
  const Py_hash_t h = PyObject_Hash(object);
  if (h == -1 && PyErr_Occurred()) throw PythonError();
  return PyValue::of_unknown(handle_of(object), static_cast<uint64_t>(h));
}

}  // namespace

PyValue convert_value(PyObject* object, ValueUse use) {
  return convert_one(object, use);
}

PyValue convert_one(PyObject* object, ValueUse use) {
  PyTypeObject* type = Py_TYPE(object);
  // The built-in types first: the common case needs no numpy lookup.
  if (type == &PyLong_Type) return make_int(object, use);
  if (type == &PyFloat_Type) return make_float(object, use, true);
  if (type == &PyUnicode_Type) return make_str(object, use);
  if (type == &PyBool_Type) return make_bool(object, use, true);
  switch (classify_numpy_scalar(type)) {
    case NumpyScalar::kInt64:
      return make_int(object, use);
    case NumpyScalar::kFloat64:
      return make_float(object, use, false);
    case NumpyScalar::kStr:
      return make_str(object, use);
    case NumpyScalar::kBool:
      return make_bool(object, use, false);
    case NumpyScalar::kNone:
      break;
  }
  if (is_indexable(object)) return make_ind(object);
  if (type == &PyList_Type) return make_iterable(object, IterableKind::kList, use);
  if (type == &PyTuple_Type) return make_iterable(object, IterableKind::kTuple, use);
  if (type == &PyDict_Type) return make_iterable(object, IterableKind::kDict, use);
  if (type == &PySet_Type) return make_iterable(object, IterableKind::kSet, use);
  return make_unknown(object);
}

PyObject* value_to_python(const PyValue& value) {
  PyObject* result = nullptr;
  switch (value.kind()) {
    case ValueKind::kInt:
      result = PyLong_FromLongLong(value.as_int());
      break;
    case ValueKind::kFloat:
      result = PyFloat_FromDouble(value.as_float());
      break;
    case ValueKind::kStr: {
      const std::string_view text = value.as_str();
      result = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
      break;
    }
    case ValueKind::kBool:
      result = PyBool_FromLong(value.as_bool() ? 1 : 0);
      break;
    default: {
      PyObject* object = value.object();
      result = PyRef::borrow(object != nullptr ? object : Py_None).release();
    }
  }
  if (result == nullptr) throw PythonError();
  return result;
}

}  // namespace qdx
