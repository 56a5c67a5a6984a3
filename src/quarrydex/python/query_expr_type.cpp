// The Python class `PyQueryExpr`.
//
// Each instance holds one QueryExpr root, built by a static constructor and
// never changed afterwards, so any thread may read it while holding the
// interpreter lock. Consumers (and_, or_, not_, reduced_query) take a deep
// copy; an instance is never consumed or altered by being used.
//
// Instances do not take part in garbage collection: value handles are shared
// between copies of a tree, so a traversal could not say which references
// one instance owns. A query that ends up referring to itself through one of
// its values therefore lives until the process ends.
#include "python/query_expr_type.hpp"

#include <algorithm>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "python/arg_parser.hpp"
#include "python/conversions.hpp"
#include "python/errors.hpp"
#include "python/module_types.hpp"
#include "values/value_convert.hpp"

namespace qdx {
namespace {

struct QueryExprObject {
  PyObject_HEAD QueryExpr tree;
};

const QueryExpr& tree_of(PyObject* self) {
  return reinterpret_cast<QueryExprObject*>(self)->tree;
}

constexpr const char* kNoNames[] = {""};
constexpr const char* kAttrValue[] = {"attr", "value"};
constexpr const char* kAttrValues[] = {"attr", "values"};
constexpr const char* kAttrBounds[] = {"attr", "lower", "upper"};
constexpr const char* kExprs[] = {"exprs"};

constexpr Signature kEq{"PyQueryExpr.eq()", kAttrValue, 2};
constexpr Signature kNe{"PyQueryExpr.ne()", kAttrValue, 2};
constexpr Signature kGt{"PyQueryExpr.gt()", kAttrValue, 2};
constexpr Signature kGe{"PyQueryExpr.ge()", kAttrValue, 2};
constexpr Signature kLt{"PyQueryExpr.lt()", kAttrValue, 2};
constexpr Signature kLe{"PyQueryExpr.le()", kAttrValue, 2};
constexpr Signature kStartsWith{"PyQueryExpr.starts_with()", kAttrValue, 2};
constexpr Signature kEndsWith{"PyQueryExpr.ends_with()", kAttrValue, 2};
constexpr Signature kContains{"PyQueryExpr.contains()", kAttrValue, 2};
constexpr Signature kBt{"PyQueryExpr.bt()", kAttrBounds, 3};
constexpr Signature kIn{"PyQueryExpr.in_()", kAttrValues, 2};
constexpr Signature kNot{"PyQueryExpr.not_()", kExprs, 1};
constexpr Signature kAnd{"PyQueryExpr.and_()", std::span(kNoNames, 0), 0, true};
constexpr Signature kOr{"PyQueryExpr.or_()", std::span(kNoNames, 0), 0, true};
constexpr const char* kAttr[] = {"attr"};
constexpr Signature kHas{"PyQueryExpr.has()", kAttr, 1};

// The UTF-8 text of `attr`, borrowed from the argument (which outlives the call).
// A str subclass is accepted; an encoding failure passes through unchanged.
std::string_view attr_argument(PyObject* object) {
  return convert_argument("attr", [&] {
    if (!PyUnicode_Check(object)) throw_conversion_error(object, "PyString");
    return utf8_view(object);
  });
}

// The next item of `iterator`, or an empty reference at the end.
PyRef next_item(PyObject* iterator) {
  PyRef item = PyRef::steal(PyIter_Next(iterator));
  if (!item && PyErr_Occurred()) throw PythonError();
  return item;
}

// The elements of a non-str sequence, read by iteration. Reading the sequence
// is part of converting the argument (a TypeError gets the prefix); an element
// refused as a value (OverflowError, unhashable) names the attribute instead.
std::vector<PyValue> values_argument(std::string_view attr, PyObject* object) {
  convert_argument("values", [&] {
    if (PyUnicode_Check(object)) throw_type_error("Can't extract `str` to `Vec`");
    if (!PySequence_Check(object)) throw_conversion_error(object, "Sequence");
  });
  std::vector<PyValue> values;
  const Py_ssize_t size = PySequence_Size(object);
  if (size < 0) {
    PyErr_Clear();  // only a capacity hint
  } else {
    values.reserve(static_cast<size_t>(size));
  }
  PyRef iterator =
      convert_argument("values", [&] { return PyRef::checked(PyObject_GetIter(object)); });
  while (PyRef item = convert_argument("values", [&] { return next_item(iterator.get()); })) {
    values.push_back(convert_attribute_value(attr, [&] { return convert_value(item.get()); }));
  }
  return values;
}

// Copying, evaluating, printing and freeing a tree recurse once per level,
// with the interpreter lock released where no recursion limit applies, so
// the depth is bounded where trees are made: as deep as the interpreter's
// default recursion limit, which any thread with the default stack can take.
constexpr size_t kMaxQueryDepth = 1000;

size_t depth_of(const QueryExpr& expr) {
  size_t deepest = 0;
  for (const QueryExpr& child : expr.children) deepest = std::max(deepest, depth_of(child));
  return deepest + 1;
}

// `node` itself, unless it is deeper than kMaxQueryDepth (RecursionError).
// Its children were made by the constructors here, so each is within bounds.
QueryExpr checked_depth(QueryExpr node) {
  if (depth_of(node) > kMaxQueryDepth) {
    PyErr_Format(PyExc_RecursionError, "query expression nested deeper than %zu levels",
                 kMaxQueryDepth);
    throw PythonError();
  }
  return node;
}

template <QueryKind kKind, const Signature& kSignature>
PyObject* leaf(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    const ParsedArguments parsed = parse_arguments(kSignature, args, nargs, kwnames);
    const std::string_view attr = attr_argument(parsed[0]);
    PyValue value = convert_attribute_value(attr, [&] { return convert_value(parsed[1]); });
    return make_query_expr(QueryExpr::leaf(kKind, attr, std::move(value)));
  });
}

PyObject* has(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    const ParsedArguments parsed = parse_arguments(kHas, args, nargs, kwnames);
    return make_query_expr(QueryExpr::presence(attr_argument(parsed[0])));
  });
}

PyObject* bt(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    const ParsedArguments parsed = parse_arguments(kBt, args, nargs, kwnames);
    const std::string_view attr = attr_argument(parsed[0]);
    // lower before upper, whatever the keyword order
    PyValue lower = convert_attribute_value(attr, [&] { return convert_value(parsed[1]); });
    PyValue upper = convert_attribute_value(attr, [&] { return convert_value(parsed[2]); });
    return make_query_expr(QueryExpr::between(attr, std::move(lower), std::move(upper)));
  });
}

PyObject* in(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    const ParsedArguments parsed = parse_arguments(kIn, args, nargs, kwnames);
    const std::string_view attr = attr_argument(parsed[0]);
    return make_query_expr(QueryExpr::in(attr, values_argument(attr, parsed[1])));
  });
}

PyObject* negation(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    const ParsedArguments parsed = parse_arguments(kNot, args, nargs, kwnames);
    return make_query_expr(
        checked_depth(QueryExpr::negation(query_expr_argument("exprs", parsed[0]))));
  });
}

template <QueryKind kKind, const Signature& kSignature>
PyObject* group(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    const ParsedArguments parsed = parse_arguments(kSignature, args, nargs, kwnames);
    std::vector<QueryExpr> children;
    children.reserve(parsed.extra_positional.size());
    for (PyObject* expr : parsed.extra_positional) {
      children.push_back(query_expr_argument("exprs", expr));
    }
    return make_query_expr(checked_depth(QueryExpr::group(kKind, std::move(children))));
  });
}

PyObject* query_expr_repr(PyObject* self) {
  return guarded([&] {
    const std::string text = tree_of(self).repr();
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

void query_expr_dealloc(PyObject* self) {
  free_instance(self, [&] { reinterpret_cast<QueryExprObject*>(self)->tree.~QueryExpr(); });
}

#define QDX_STATIC(f) as_method(f), METH_FASTCALL | METH_KEYWORDS | METH_STATIC

PyMethodDef g_methods[] = {
    {"eq", QDX_STATIC((leaf<QueryKind::kEq, kEq>)), "eq(attr, value)\n--\n\n"},
    {"ne", QDX_STATIC((leaf<QueryKind::kNe, kNe>)), "ne(attr, value)\n--\n\n"},
    {"gt", QDX_STATIC((leaf<QueryKind::kGt, kGt>)), "gt(attr, value)\n--\n\n"},
    {"ge", QDX_STATIC((leaf<QueryKind::kGe, kGe>)), "ge(attr, value)\n--\n\n"},
    {"lt", QDX_STATIC((leaf<QueryKind::kLt, kLt>)), "lt(attr, value)\n--\n\n"},
    {"le", QDX_STATIC((leaf<QueryKind::kLe, kLe>)), "le(attr, value)\n--\n\n"},
    {"bt", QDX_STATIC(bt), "bt(attr, lower, upper)\n--\n\n"},
    {"in_", QDX_STATIC(in), "in_(attr, values)\n--\n\n"},
    {"and_", QDX_STATIC((group<QueryKind::kAnd, kAnd>)), "and_(*exprs)\n--\n\n"},
    {"or_", QDX_STATIC((group<QueryKind::kOr, kOr>)), "or_(*exprs)\n--\n\n"},
    {"not_", QDX_STATIC(negation), "not_(exprs)\n--\n\n"},
    {"starts_with", QDX_STATIC((leaf<QueryKind::kStartsWith, kStartsWith>)),
     "starts_with(attr, value)\n--\n\n"},
    {"ends_with", QDX_STATIC((leaf<QueryKind::kEndsWith, kEndsWith>)),
     "ends_with(attr, value)\n--\n\n"},
    {"contains", QDX_STATIC((leaf<QueryKind::kContains, kContains>)),
     "contains(attr, value)\n--\n\n"},
    {"has", QDX_STATIC(has), "has(attr)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(query_expr_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(query_expr_repr)},
    {Py_tp_methods, g_methods},
    {0, nullptr},
};

// No Py_TPFLAGS_BASETYPE: the class cannot be subclassed from Python.
PyType_Spec g_spec = {"Quarrydex.PyQueryExpr", sizeof(QueryExprObject), 0, Py_TPFLAGS_DEFAULT,
                      g_slots};

}  // namespace

PyTypeObject* query_expr_type_object() {
  static PyTypeObject* type = make_heap_type(g_spec);
  return type;
}

PyObject* make_query_expr(QueryExpr tree) {
  PyTypeObject* type = query_expr_type_object();
  if (type == nullptr) throw PythonError();
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) throw PythonError();
  new (&reinterpret_cast<QueryExprObject*>(self)->tree) QueryExpr(std::move(tree));
  return self;
}

const QueryExpr& borrowed_query_expr(std::string_view name, PyObject* object) {
  PyTypeObject* type = query_expr_type_object();
  if (type == nullptr) throw PythonError();
  return *convert_argument(name, [&] {
    if (!PyObject_TypeCheck(object, type)) throw_conversion_error(object, "PyQueryExpr");
    return &tree_of(object);
  });
}

QueryExpr query_expr_argument(std::string_view name, PyObject* object) {
  return borrowed_query_expr(name, object);  // deep copy
}

}  // namespace qdx
