// Recognising `Indexable` instances and reaching the record inside one, for
// code that sees Python objects only as pointers (the value model and the
// Python-facing layer). The instance layout is in values/indexable_layout.hpp.
#pragma once

#include "values/index_api.hpp"

typedef struct _object PyObject;
typedef struct _typeobject PyTypeObject;

namespace qdx {

// The `Indexable` type object, set once when the type is created.
PyTypeObject* indexable_type() noexcept;
void set_indexable_type(PyTypeObject* type) noexcept;

// Instance of Indexable or of a subclass. The caller holds the interpreter lock.
bool is_indexable(PyObject* object) noexcept;

// The record of an Indexable instance (`is_indexable(object)` holds).
IndexAPI& api_of(PyObject* object) noexcept;

}  // namespace qdx
