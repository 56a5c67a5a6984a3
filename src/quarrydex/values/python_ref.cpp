#include "values/python_ref.hpp"

#include <Python.h>

#include <memory>

#include "base/debug_check.hpp"
#include "base/panic.hpp"
#include "values/gil.hpp"

namespace qdx {

PyRef PyRef::borrow(PyObject* object) {
  QDX_DEBUG_CHECK(gil_held(), "Python reference made without the interpreter lock");
  Py_XINCREF(object);
  return PyRef(object);
}

PyRef PyRef::checked(PyObject* object) {
  if (object == nullptr) throw PythonError();
  return PyRef(object);
}

PyObject* PyRef::new_reference() const {
  QDX_DEBUG_CHECK(gil_held(), "Python reference copied without the interpreter lock");
  Py_XINCREF(object_);
  return object_;
}

void PyRef::reset() noexcept {
  PyObject* object = std::exchange(object_, nullptr);
  if (object == nullptr) return;
  if (gil_held()) {
    Py_DECREF(object);
  } else {
    defer_release(object);
  }
}

PythonHandle::Holder* PythonHandle::make_holder(PyRef ref) {
  std::unique_ptr<Holder> holder(new Holder{{1}, std::move(ref)});
  if ((reinterpret_cast<uintptr_t>(holder.get()) & (kHolderAlignment - 1)) != 0) {
    panic("value holder allocated off a 16-byte boundary");
  }
  return holder.release();
}

}  // namespace qdx
