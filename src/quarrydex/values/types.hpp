// The accepted exact types of the value model besides the built-in ones:
// numpy's int64, float64, str_ and bool scalar types.
//
// numpy is optional. A numpy scalar can only exist once numpy has been
// imported, so the lists are built from `sys.modules["numpy"]` the first time
// a non-builtin type is classified after numpy appeared there; the module
// never imports numpy itself (importing it would cost every user a fraction
// of a second on the first conversion). Until then, and forever when numpy is
// absent or lacks the attributes, only the built-in types are accepted.
// Membership is by exact type. Called with the interpreter lock held.
#pragma once

typedef struct _typeobject PyTypeObject;

namespace qdx {

enum class NumpyScalar { kNone, kInt64, kFloat64, kStr, kBool };

NumpyScalar classify_numpy_scalar(PyTypeObject* type);

}  // namespace qdx
