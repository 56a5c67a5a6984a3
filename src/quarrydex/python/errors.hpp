// Translation of every failure into a Python exception, at the boundary.
//
// Each Python-facing function is a noexcept wrapper with one try/catch
// (`guarded`): PythonError means the interpreter exception is already set
// (or a SystemError is raised if it is not), Panic becomes PanicException
// with the check's text, bad_alloc becomes MemoryError.
#pragma once

#include <Python.h>

#include <new>
#include <string>
#include <string_view>

#include "base/panic.hpp"
#include "values/gil.hpp"
#include "values/python_ref.hpp"

namespace qdx {

// The PanicException type (a direct subclass of BaseException), made on first use.
PyObject* panic_exception_type();

void raise_panic(const char* message) noexcept;
// Makes sure an exception is set after a failed interpreter call.
void ensure_error_set() noexcept;
void translate_current_exception() noexcept;

// Raises TypeError with `message` and throws PythonError.
[[noreturn]] void throw_type_error(const std::string& message);
// "'{T}' object cannot be converted to '{C}'"
[[noreturn]] void throw_conversion_error(PyObject* object, std::string_view class_name);
// If the pending exception is exactly TypeError, replaces it by one whose
// message is prefixed with "argument '<name>': " and keeps the cause.
void reword_argument_error(std::string_view name) noexcept;
// If the pending exception is exactly TypeError or OverflowError (a value was
// refused), prefixes its message with "attribute '<name>': "; the type stays.
void name_attribute_in_error(std::string_view attribute) noexcept;

// Converts the value of one attribute (stored or as a query operand), naming
// the attribute in a refusal.
template <typename F>
auto convert_attribute_value(std::string_view attribute, F&& convert) -> decltype(convert()) {
  try {
    return convert();
  } catch (const PythonError&) {
    name_attribute_in_error(attribute);
    throw;
  }
}

template <typename F>
PyObject* guarded(F&& f) noexcept {
  try {
    GilHeld held;
    return f();
  } catch (...) {
    translate_current_exception();
    return nullptr;
  }
}

template <typename F>
int guarded_int(F&& f) noexcept {
  try {
    GilHeld held;
    return f();
  } catch (...) {
    translate_current_exception();
    return -1;
  }
}

// Converts one argument, re-wording a TypeError with the parameter name.
template <typename F>
auto convert_argument(std::string_view name, F&& convert) -> decltype(convert()) {
  try {
    return convert();
  } catch (const PythonError&) {
    reword_argument_error(name);
    throw;
  }
}

}  // namespace qdx
