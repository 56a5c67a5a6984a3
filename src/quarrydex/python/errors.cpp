#include "python/errors.hpp"

namespace qdx {

PyObject* panic_exception_type() {
  static PyObject* type = PyErr_NewExceptionWithDoc(
      "Quarrydex.PanicException",
      "Raised when an internal consistency check of Quarrydex fails. The index or object whose "
      "lock was held stays unusable; other indexes keep working.",
      PyExc_BaseException, nullptr);
  return type;
}

void raise_panic(const char* message) noexcept {
  PyObject* type = panic_exception_type();
  if (type == nullptr) return;  // the failure to make the type is the pending error
  PyErr_SetString(type, message);
}

void ensure_error_set() noexcept {
  if (!PyErr_Occurred()) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
}

void translate_current_exception() noexcept {
  try {
    throw;
  } catch (const PythonError&) {
    ensure_error_set();
  } catch (const Panic& panic) {
    raise_panic(panic.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    raise_panic(error.what());
  } catch (...) {
    raise_panic("unknown internal error");
  }
}

void throw_type_error(const std::string& message) {
  PyErr_SetString(PyExc_TypeError, message.c_str());
  throw PythonError();
}

void throw_conversion_error(PyObject* object, std::string_view class_name) {
  throw_type_error("'" + std::string(Py_TYPE(object)->tp_name) +
                   "' object cannot be converted to '" + std::string(class_name) + "'");
}

void reword_argument_error(std::string_view name) noexcept {
  if (!PyErr_Occurred() || !PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject *raw_type, *raw_value, *raw_traceback;
  PyErr_Fetch(&raw_type, &raw_value, &raw_traceback);
  PyErr_NormalizeException(&raw_type, &raw_value, &raw_traceback);
  PyRef type = PyRef::steal(raw_type);
  PyRef value = PyRef::steal(raw_value);
  PyRef traceback = PyRef::steal(raw_traceback);
  if (type.get() != PyExc_TypeError || !value) {  // subclasses pass unchanged
    PyErr_Restore(type.release(), value.release(), traceback.release());
    return;
  }
  PyRef text = PyRef::steal(PyObject_Str(value.get()));
  const std::string prefix = "argument '" + std::string(name) + "': ";
  PyRef message =
      PyRef::steal(text ? PyUnicode_FromFormat("%s%U", prefix.c_str(), text.get()) : nullptr);
  PyRef replacement =
      PyRef::steal(message ? PyObject_CallOneArg(PyExc_TypeError, message.get()) : nullptr);
  if (!replacement) return;  // the failure to build it is the pending error
  PyException_SetCause(replacement.get(), PyException_GetCause(value.get()));
  PyErr_SetObject(PyExc_TypeError, replacement.get());
}

}  // namespace qdx
