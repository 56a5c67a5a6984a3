// Conversion of Python objects into value records, with the interpreter lock
// held. The only place where the value model talks to Python.
//
// Refusals use the interpreter's own exceptions (thrown as PythonError with
// the exception set): OverflowError for an integer outside the signed 64-bit
// range, UnicodeEncodeError for text that is not UTF-8 encodable, TypeError
// "unhashable type: 'T'" for an unhashable object that would be Unknown. The
// members of list, tuple and set values are converted with the container, and
// a member that cannot be converted refuses the whole value.
#pragma once

#include "values/value.hpp"

namespace qdx {

PyValue convert_value(PyObject* object);

// A Python object for a stored value: a new int/float/str/bool for the scalar
// kinds, the very object that was assigned for the others. Never fails for
// scalars short of memory (throws PythonError then).
PyObject* value_to_python(const PyValue& value);

}  // namespace qdx
