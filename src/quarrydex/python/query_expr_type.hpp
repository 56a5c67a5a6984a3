// The Python class `PyQueryExpr`: one immutable query tree per instance,
// built by fourteen static constructors.
#pragma once

#include <Python.h>

#include <string_view>

#include "query/query_expr.hpp"

namespace qdx {

// A deep copy of the tree held by a PyQueryExpr argument; TypeError
// "argument '<name>': '<T>' object cannot be converted to 'PyQueryExpr'" otherwise.
QueryExpr query_expr_argument(std::string_view name, PyObject* object);
// The tree held by a PyQueryExpr argument, read in place: valid while the
// caller holds `object` (a call's arguments are), and safe to read without
// the interpreter lock, since a tree never changes after construction. The
// same TypeError otherwise.
const QueryExpr& borrowed_query_expr(std::string_view name, PyObject* object);

// A new PyQueryExpr owning `tree`.
PyObject* make_query_expr(QueryExpr tree);

}  // namespace qdx
