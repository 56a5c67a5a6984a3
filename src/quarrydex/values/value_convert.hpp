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

// How a converted value will be used. A value stored in an object's attribute
// map needs its Python object only where reads hand that object back
// (containers, nested objects, other objects); numbers, strings and booleans
// are read back from the payload, so for them no holder is made. Query
// operands and lookup keywords keep the object (their repr shows it).
enum class ValueUse { kOperand, kStored };

PyValue convert_value(PyObject* object, ValueUse use = ValueUse::kOperand);

// A Python object for a stored value: a new int/float/str/bool for the scalar
// kinds, the very object that was assigned for the others. Never fails for
// scalars short of memory (throws PythonError then).
PyObject* value_to_python(const PyValue& value);

}  // namespace qdx
