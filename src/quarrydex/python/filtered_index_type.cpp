#include "python/filtered_index_type.hpp"

#include <new>

#include "python/answers.hpp"
#include "python/arg_parser.hpp"
#include "python/conversions.hpp"
#include "python/errors.hpp"
#include "python/index_type.hpp"
#include "python/module_types.hpp"
#include "python/query_expr_type.hpp"
#include "query/evaluate.hpp"
#include "query/narrow.hpp"

namespace qdx {
namespace {

// A view: the ids it selected, and the store stamp of the moment it was made
// (objects in slots stamped later entered after the selection, under an id
// that a dropped object left behind, and are never the view's).
struct FilteredState {
  std::shared_ptr<IndexState> state;
  Bitmap ids;
  uint64_t made_at;
};

struct FilteredIndexObject {
  PyObject_HEAD FilteredState filtered;
};

FilteredState& filtered_of(PyObject* self) {
  return reinterpret_cast<FilteredIndexObject*>(self)->filtered;
}

constexpr const char* kNoNames[] = {""};
constexpr const char* kQuery[] = {"query"};
constexpr Signature kReduced{"FilteredIndex.reduced()", std::span(kNoNames, 0), 0, false, true};
constexpr Signature kReducedQuery{"FilteredIndex.reduced_query()", kQuery, 1};
constexpr Signature kCollect{"FilteredIndex.collect()", std::span(kNoNames, 0), 0};
constexpr Signature kRebase{"FilteredIndex.rebase()", std::span(kNoNames, 0), 0};

void filtered_dealloc(PyObject* self) {
  free_instance(self, [&] { filtered_of(self).~FilteredState(); });
}

// Both narrowing methods release the interpreter lock while they evaluate:
// index work never waits for it, and a long query should not stall other
// Python threads.
PyObject* narrowed(PyObject* self, const QueryExpr& query) {
  FilteredState& filtered = filtered_of(self);
  Bitmap ids;
  {
    GilRelease release;
    ids = filtered_query(*filtered.state, query, filtered.ids);
  }
  return make_filtered_index(filtered.state, std::move(ids), filtered.made_at);
}

PyObject* reduced(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    const ParsedArguments parsed = parse_arguments(kReduced, args, nargs, kwnames);
    return narrowed(self, keyword_query(keyword_values(parsed)));
  });
}

PyObject* reduced_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return guarded([&] {
    const ParsedArguments parsed = parse_arguments(kReducedQuery, args, nargs, kwnames);
    return narrowed(self, borrowed_query_expr("query", parsed[0]));
  });
}

PyObject* collect(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    parse_arguments(kCollect, args, nargs, kwnames);
    FilteredState& filtered = filtered_of(self);
    return objects_list(*filtered.state, filtered.ids, filtered.made_at);
  });
}

PyObject* rebase(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    parse_arguments(kRebase, args, nargs, kwnames);
    FilteredState& filtered = filtered_of(self);
    std::shared_ptr<IndexState> fresh;
    std::vector<StoredIndexable> slots =
        referenced_slots(*filtered.state, filtered.ids, filtered.made_at);
    {
      GilRelease release;
      fresh = rebase_index(std::move(slots));
    }
    return make_index(std::move(fresh));
  });
}

PyObject* order_by(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    FilteredState& filtered = filtered_of(self);
    return selection_order_by(*filtered.state, Selection{&filtered.ids, filtered.made_at}, args,
                              kwargs);
  });
}

Py_ssize_t filtered_length(PyObject* self) {
  try {
    GilHeld held;
    FilteredState& filtered = filtered_of(self);
    return selection_length(*filtered.state, Selection{&filtered.ids, filtered.made_at});
  } catch (...) {
    translate_current_exception();
    return -1;
  }
}

int filtered_contains(PyObject* self, PyObject* object) {
  return guarded_int([&] {
    FilteredState& filtered = filtered_of(self);
    return selection_contains(*filtered.state, Selection{&filtered.ids, filtered.made_at}, object);
  });
}

PyObject* filtered_iter(PyObject* self) {
  return guarded([&] {
    FilteredState& filtered = filtered_of(self);
    return selection_iterator(filtered.state, Selection{&filtered.ids, filtered.made_at});
  });
}

// Pickles as the index of its selection: rebase(), then that index's form.
PyObject* filtered_reduce(PyObject* self, PyObject*) {
  return guarded([&] {
    PyRef index = PyRef::checked(PyObject_CallMethod(self, "rebase", nullptr));
    return PyObject_CallMethod(index.get(), "__reduce__", nullptr);
  });
}

PyMethodDef g_methods[] = {
    {"reduced", as_method(reduced), METH_FASTCALL | METH_KEYWORDS,
     "reduced($self, **kwargs)\n--\n\n"},
    {"reduced_query", as_method(reduced_query), METH_FASTCALL | METH_KEYWORDS,
     "reduced_query($self, query)\n--\n\n"},
    {"collect", as_method(collect), METH_FASTCALL | METH_KEYWORDS, "collect($self)\n--\n\n"},
    {"rebase", as_method(rebase), METH_FASTCALL | METH_KEYWORDS, "rebase($self)\n--\n\n"},
    {"order_by", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(order_by)),
     METH_VARARGS | METH_KEYWORDS,
     "order_by($self, attr, *, descending=False, limit=None)\n--\n\n"},
    {"__reduce__", filtered_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(filtered_dealloc)},
    {Py_tp_methods, g_methods},
    {Py_sq_length, reinterpret_cast<void*>(filtered_length)},
    {Py_sq_contains, reinterpret_cast<void*>(filtered_contains)},
    {Py_tp_iter, reinterpret_cast<void*>(filtered_iter)},
    {0, nullptr},
};

PyType_Spec g_spec = {"Quarrydex.FilteredIndex", sizeof(FilteredIndexObject), 0, Py_TPFLAGS_DEFAULT,
                      g_slots};

}  // namespace

PyTypeObject* filtered_index_type_object() {
  static PyTypeObject* type = make_heap_type(g_spec);
  return type;
}

PyObject* make_filtered_index(std::shared_ptr<IndexState> state, Bitmap ids, uint64_t made_at) {
  PyTypeObject* type = filtered_index_type_object();
  if (type == nullptr) throw PythonError();
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) throw PythonError();
  new (&filtered_of(self)) FilteredState{std::move(state), std::move(ids), made_at};
  return self;
}

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
  PyErr_Format(PyExc_TypeError, "No constructor defined for %s", type->tp_name);
  return nullptr;
}

}  // namespace qdx
