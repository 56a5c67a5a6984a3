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

namespace {

// Replaces a pending exception of exactly `exc_type` by one whose message
// starts with `prefix`, keeping its cause; anything else stays pending as it is.
void prefix_exact_error(PyObject* exc_type, const std::string& prefix) noexcept {
  if (!PyErr_Occurred() || !PyErr_ExceptionMatches(exc_type)) return;
  PyObject *raw_type, *raw_value, *raw_traceback;
  PyErr_Fetch(&raw_type, &raw_value, &raw_traceback);
  PyErr_NormalizeException(&raw_type, &raw_value, &raw_traceback);
  PyRef type = PyRef::steal(raw_type);
  PyRef value = PyRef::steal(raw_value);
  PyRef traceback = PyRef::steal(raw_traceback);
  if (type.get() != exc_type || !value) {  // subclasses pass unchanged
    PyErr_Restore(type.release(), value.release(), traceback.release());
    return;
  }
  PyRef text = PyRef::steal(PyObject_Str(value.get()));
  PyRef message =
      PyRef::steal(text ? PyUnicode_FromFormat("%s%U", prefix.c_str(), text.get()) : nullptr);
  PyRef replacement =
      PyRef::steal(message ? PyObject_CallOneArg(exc_type, message.get()) : nullptr);
  if (!replacement) return;  // the failure to build it is the pending error
  PyException_SetCause(replacement.get(), PyException_GetCause(value.get()));
  PyErr_SetObject(exc_type, replacement.get());
}

}  // namespace

void reword_argument_error(std::string_view name) noexcept {
  prefix_exact_error(PyExc_TypeError, "argument '" + std::string(name) + "': ");
}

void name_attribute_in_error(std::string_view attribute) noexcept {
  const std::string prefix = "attribute '" + std::string(attribute) + "': ";
  prefix_exact_error(PyExc_TypeError, prefix);
  prefix_exact_error(PyExc_OverflowError, prefix);
}

}  // namespace qdx
