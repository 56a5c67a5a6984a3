// The attribute id of a Python attribute name, as reads and writes of
// `Indexable` instances need it on every call.
//
// A direct-mapped table of 256 entries remembers the last name object seen
// in each slot together with its id. The table holds a strong reference to
// every name in it, so an entry's address can never be reused by another
// string while the entry stands; a hit is one pointer compare. Attribute
// names in code are interned constants, so one name object serves every
// access made through it. Callers hold the interpreter lock, which is what
// serialises access to the table.
#pragma once

#include <Python.h>

#include <cstdint>

namespace qdx {

// The interned id of `name` (an exact or subclassed str). Throws PythonError
// with AttributeError set when the name cannot be encoded as UTF-8.
uint32_t attribute_id_of(PyObject* name);

// The interned id of `name` in `id`; false, with the encoding error set, when
// the name cannot be encoded as UTF-8.
bool try_attribute_id(PyObject* name, uint32_t& id);

}  // namespace qdx
