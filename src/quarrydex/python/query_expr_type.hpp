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

// A new PyQueryExpr owning `tree`.
PyObject* make_query_expr(QueryExpr tree);

}  // namespace qdx
