#include "python/index_type.hpp"

#include <new>

#include "core/bulk_insert.hpp"
#include "core/object_membership.hpp"
#include "core/union.hpp"
#include "python/answers.hpp"
#include "python/arg_parser.hpp"
#include "python/conversions.hpp"
#include "python/errors.hpp"
#include "python/filtered_index_type.hpp"
#include "python/index_object.hpp"
#include "python/module_types.hpp"
#include "python/query_expr_type.hpp"
#include "query/evaluate.hpp"
#include "query/narrow.hpp"
#include "query/remove_object.hpp"
#include "values/indexable_object.hpp"

namespace qdx {
namespace {

IndexState& state_of(PyObject* self) {
  return *reinterpret_cast<IndexObject*>(self)->state;
}
const std::shared_ptr<IndexState>& shared_state_of(PyObject* self) {
  return reinterpret_cast<IndexObject*>(self)->state;
}

constexpr const char* kNoNames[] = {""};
constexpr const char* kPyRef[] = {"py_ref"};
constexpr const char* kObjs[] = {"objs"};
constexpr const char* kQuery[] = {"query"};
constexpr const char* kOther[] = {"other"};

constexpr Signature kNew{"Index.__new__()", std::span(kNoNames, 0), 0};
constexpr Signature kAddObject{"Index.add_object()", kPyRef, 1};
constexpr Signature kAddObjectMany{"Index.add_object_many()", kObjs, 1};
constexpr Signature kGetByAttribute{"Index.get_by_attribute()", std::span(kNoNames, 0), 0, false,
                                    true};
constexpr Signature kReduce{"Index.reduce()", std::span(kNoNames, 0), 0, false, true};
constexpr Signature kReduced{"Index.reduced()", std::span(kNoNames, 0), 0, false, true};
constexpr Signature kReducedQuery{"Index.reduced_query()", kQuery, 1};
constexpr Signature kCollect{"Index.collect()", std::span(kNoNames, 0), 0};
constexpr Signature kUnionWith{"Index.union_with()", kOther, 1};
constexpr const char* kObj[] = {"obj"};
constexpr Signature kRemoveObject{"Index.remove_object()", kObj, 1};

PyObject* index_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    parse_tuple_arguments(kNew, args, kwargs);
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) throw PythonError();
    new (&reinterpret_cast<IndexObject*>(self)->state)
        std::shared_ptr<IndexState>(IndexState::make());
    return self;
  });
}

void index_dealloc(PyObject* self) {
  free_instance(self, [&] { reinterpret_cast<IndexObject*>(self)->state.~shared_ptr(); });
}

PyObject* add_object(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    const ParsedArguments parsed = parse_arguments(kAddObject, args, nargs, kwnames);
    StoredIndexable slot = indexable_argument("py_ref", parsed[0]);
    {
      GilRelease release;
      add_object(shared_state_of(self), std::move(slot), true);
    }
    Py_RETURN_NONE;
  });
}

PyObject* add_object_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return guarded([&] {
    const ParsedArguments parsed = parse_arguments(kAddObjectMany, args, nargs, kwnames);
    std::vector<StoredIndexable> slots = indexable_sequence_argument("objs", parsed[0]);
    {
      GilRelease release;
      add_objects(shared_state_of(self), std::move(slots));
    }
    Py_RETURN_NONE;
  });
}

Bitmap keyword_lookup(PyObject* self, const Signature& signature, PyObject* const* args,
                      Py_ssize_t nargs, PyObject* kwnames) {
  const ParsedArguments parsed = parse_arguments(signature, args, nargs, kwnames);
  const QueryExpr query = keyword_query(keyword_values(parsed));
  GilRelease release;
  return index_query(state_of(self), query);
}

PyObject* get_by_attribute(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return guarded([&] {
    const Bitmap ids = keyword_lookup(self, kGetByAttribute, args, nargs, kwnames);
    return objects_list(state_of(self), ids);
  });
}

PyObject* reduced(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    const uint64_t made_at = current_store_stamp();
    Bitmap ids = keyword_lookup(self, kReduced, args, nargs, kwnames);
    return make_filtered_index(shared_state_of(self), std::move(ids), made_at);
  });
}

PyObject* reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    const ParsedArguments parsed = parse_arguments(kReduce, args, nargs, kwnames);
    const QueryExpr query = keyword_query(keyword_values(parsed));
    {
      GilRelease release;
      const Bitmap keep = index_query(state_of(self), query);
      narrow_index(shared_state_of(self), keep);
    }
    Py_RETURN_NONE;
  });
}

PyObject* reduced_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return guarded([&] {
    const ParsedArguments parsed = parse_arguments(kReducedQuery, args, nargs, kwnames);
    const QueryExpr& query = borrowed_query_expr("query", parsed[0]);
    const uint64_t made_at = current_store_stamp();
    Bitmap ids;
    {
      GilRelease release;
      ids = index_query(state_of(self), query);
    }
    return make_filtered_index(shared_state_of(self), std::move(ids), made_at);
  });
}

PyObject* collect(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    parse_arguments(kCollect, args, nargs, kwnames);
    IndexState& state = state_of(self);
    Bitmap ids;
    {
      ReadGuard ids_guard(state.all_ids->lock());
      ids = state.all_ids->get(ids_guard).clone();
    }
    // Building the list may run the garbage collector and with it any
    // __del__, which may change this very index: no lock may be held then.
    return objects_list(state, ids);
  });
}

PyObject* union_with(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    const ParsedArguments parsed = parse_arguments(kUnionWith, args, nargs, kwnames);
    const std::shared_ptr<IndexState> other = index_argument("other", parsed[0]);
    std::vector<StoredIndexable> slots = union_sources(shared_state_of(self), *other);
    {
      GilRelease release;
      union_indexes(shared_state_of(self), std::move(slots));
    }
    Py_RETURN_NONE;
  });
}

PyObject* remove_object(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    const ParsedArguments parsed = parse_arguments(kRemoveObject, args, nargs, kwnames);
    const StoredIndexable slot = indexable_argument("obj", parsed[0]);
    bool removed;
    {
      GilRelease release;
      removed = remove_held_object(shared_state_of(self), slot.record());
    }
    if (!removed) {
      PyErr_SetObject(PyExc_KeyError, parsed[0]);
      return nullptr;
    }
    Py_RETURN_NONE;
  });
}

PyObject* order_by(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&] { return selection_order_by(state_of(self), Selection{}, args, kwargs); });
}

Py_ssize_t index_length(PyObject* self) {
  try {
    GilHeld held;
    return selection_length(state_of(self), Selection{});
  } catch (...) {
    translate_current_exception();
    return -1;
  }
}

int index_contains(PyObject* self, PyObject* object) {
  return guarded_int([&] { return selection_contains(state_of(self), Selection{}, object); });
}

PyObject* index_iter(PyObject* self) {
  return guarded([&] { return selection_iterator(shared_state_of(self), Selection{}); });
}

// Pickles as its objects: Index() rebuilt by __setstate__.
PyObject* index_reduce(PyObject* self, PyObject*) {
  return guarded([&] {
    PyRef state = PyRef::checked(index_pickle_state(state_of(self)));
    return Py_BuildValue("(O()O)", reinterpret_cast<PyObject*>(Py_TYPE(self)), state.get());
  });
}

PyObject* index_setstate(PyObject* self, PyObject* pickled) {
  return guarded([&] {
    restore_index(shared_state_of(self), pickled);
    Py_RETURN_NONE;
  });
}

PyMethodDef g_methods[] = {
    {"add_object", as_method(add_object), METH_FASTCALL | METH_KEYWORDS,
     "add_object($self, py_ref)\n--\n\n"},
    {"add_object_many", as_method(add_object_many), METH_FASTCALL | METH_KEYWORDS,
     "add_object_many($self, objs)\n--\n\n"},
    {"get_by_attribute", as_method(get_by_attribute), METH_FASTCALL | METH_KEYWORDS,
     "get_by_attribute($self, **kwargs)\n--\n\n"},
    {"reduce", as_method(reduce), METH_FASTCALL | METH_KEYWORDS, "reduce($self, **kwargs)\n--\n\n"},
    {"reduced", as_method(reduced), METH_FASTCALL | METH_KEYWORDS,
     "reduced($self, **kwargs)\n--\n\n"},
    {"reduced_query", as_method(reduced_query), METH_FASTCALL | METH_KEYWORDS,
     "reduced_query($self, query)\n--\n\n"},
    {"collect", as_method(collect), METH_FASTCALL | METH_KEYWORDS, "collect($self)\n--\n\n"},
    {"union_with", as_method(union_with), METH_FASTCALL | METH_KEYWORDS,
     "union_with($self, other)\n--\n\n"},
    {"remove_object", as_method(remove_object), METH_FASTCALL | METH_KEYWORDS,
     "remove_object($self, obj)\n--\n\n"},
    {"order_by", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(order_by)),
     METH_VARARGS | METH_KEYWORDS,
     "order_by($self, attr, *, descending=False, limit=None)\n--\n\n"},
    {"__reduce__", index_reduce, METH_NOARGS, nullptr},
    {"__setstate__", index_setstate, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(index_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(index_dealloc)},
    {Py_tp_methods, g_methods},
    {Py_sq_length, reinterpret_cast<void*>(index_length)},
    {Py_sq_contains, reinterpret_cast<void*>(index_contains)},
    {Py_tp_iter, reinterpret_cast<void*>(index_iter)},
    {Py_tp_doc, const_cast<char*>("Index()\n--\n\n")},
    {0, nullptr},
};

PyType_Spec g_spec = {"Quarrydex.Index", sizeof(IndexObject), 0, Py_TPFLAGS_DEFAULT, g_slots};

}  // namespace

PyTypeObject* index_type_object() {
  static PyTypeObject* type = make_heap_type(g_spec);
  return type;
}

PyObject* make_index(std::shared_ptr<IndexState> state) {
  PyTypeObject* type = index_type_object();
  if (type == nullptr) throw PythonError();
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) throw PythonError();
  new (&reinterpret_cast<IndexObject*>(self)->state) std::shared_ptr<IndexState>(std::move(state));
  return self;
}

std::shared_ptr<IndexState> index_argument(std::string_view name, PyObject* object) {
  return convert_argument(name, [&] {
    if (!PyObject_TypeCheck(object, index_type_object())) throw_conversion_error(object, "Index");
    return shared_state_of(object);
  });
}

}  // namespace qdx
