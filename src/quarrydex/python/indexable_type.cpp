// The Python class `Indexable`: the base class of tracked objects.
//
// Attributes live in the instance's attribute map, not in a __dict__. Reads
// answer from the map first; writes convert the value, update every index
// linked to the object (with the interpreter lock released) and store the
// value. Instances take part in garbage collection through their attribute
// values. Exact instances are recycled through a free list.
#include <Python.h>
#include <structmember.h>

#include <mutex>
#include <new>
#include <optional>
#include <vector>

#include "core/attribute_write.hpp"
#include "core/nested_graph.hpp"
#include "python/attribute_names.hpp"
#include "python/conversions.hpp"
#include "python/errors.hpp"
#include "python/module_types.hpp"
#include "structures/string_interner/interner.hpp"
#include "values/indexable_layout.hpp"
#include "values/indexable_object.hpp"
#include "values/value_convert.hpp"

namespace qdx {
namespace {

PyTypeObject* g_indexable_type = nullptr;

IndexableObject* as_indexable(PyObject* self) {
  return reinterpret_cast<IndexableObject*>(self);
}

// Released exact instances kept for reuse (their memory, already untracked).
class FreeList {
 public:
  static constexpr size_t kSlots = 512;
  PyObject* pop() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (objects_.empty()) return nullptr;
    PyObject* object = objects_.back();
    objects_.pop_back();
    return object;
  }
  // False when the list is full (at most kSlots - 1 wait in it).
  bool push(PyObject* object) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (objects_.size() + 1 >= kSlots) return false;
    objects_.push_back(object);
    return true;
  }

 private:
  std::mutex mutex_;
  std::vector<PyObject*> objects_;
};

FreeList& free_list() {
  static auto* list = new FreeList();  // process-wide, never destroyed
  return *list;
}

PyObject* indexable_alloc(PyTypeObject* type, Py_ssize_t items) {
  if (type == g_indexable_type && items == 0) {
    if (PyObject* object = free_list().pop()) {
      std::memset(static_cast<void*>(object), 0, static_cast<size_t>(type->tp_basicsize));
      PyObject_Init(object, type);
      PyObject_GC_Track(object);
      return object;
    }
  }
  return PyType_GenericAlloc(type, items);
}

void indexable_free(void* memory) {
  auto* object = static_cast<PyObject*>(memory);
  if (Py_TYPE(object) == g_indexable_type && free_list().push(object)) return;
  PyObject_GC_Del(memory);
}

// A value converted for storing under the attribute `name`. The name's text
// is looked up only to name the attribute in a conversion error.
PyValue stored_value(PyObject* name, PyObject* value) {
  try {
    return convert_value(value, ValueUse::kStored);
  } catch (const PythonError&) {
    name_attribute_in_error(utf8_view(name));
    throw;
  }
}

// Adds one keyword argument. Names that are not str or cannot be encoded as
// UTF-8 are skipped.
void add_keyword(AttributeMap& map, PyObject* key, PyObject* value) {
  if (!PyUnicode_Check(key)) return;
  uint32_t id = 0;
  if (!try_attribute_id(key, id)) {
    PyErr_Clear();
    return;
  }
  map.insert(id, stored_value(key, value));
}

AttributeMap keyword_map(PyObject* kwargs) {
  AttributeMap map;
  if (kwargs == nullptr) return map;
  map.reserve(static_cast<size_t>(PyDict_GET_SIZE(kwargs)));
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(kwargs, &pos, &key, &value)) add_keyword(map, key, value);
  return map;
}

PyObject* new_instance(PyTypeObject* type, AttributeMap attributes) {
  const ObjectId id = allocate_id();
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) {
    release_id(id);
    throw PythonError();
  }
  new (as_indexable(self)->record) IndexAPI(id, std::move(attributes));
  return self;
}

PyObject* indexable_new(PyTypeObject* type, PyObject*, PyObject* kwargs) {
  return guarded([&] { return new_instance(type, keyword_map(kwargs)); });
}

// The class called through type.__call__, with the arguments as a tuple and a dict.
PyObject* call_type(PyObject* callable, PyObject* const* args, Py_ssize_t positional,
                    PyObject* kwnames) {
  PyRef tuple = PyRef::checked(PyTuple_New(positional));
  for (Py_ssize_t i = 0; i < positional; ++i) {
    PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(args[i]));
  }
  PyRef dict;
  if (kwnames != nullptr) {
    dict = PyRef::checked(PyDict_New());
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
      if (PyDict_SetItem(dict.get(), PyTuple_GET_ITEM(kwnames, i), args[positional + i]) < 0) {
        throw PythonError();
      }
    }
  }
  return PyRef::checked(PyType_Type.tp_call(callable, tuple.get(), dict.get())).release();
}

// `Indexable(...)` called on the class itself: the keywords arrive as an
// array, so no keyword dict is built. Subclasses are called the ordinary way
// (this field is not inherited). Once the class's __new__ or __init__ was
// replaced, the ordinary way runs too, so that the replacement is honoured.
PyObject* indexable_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                               PyObject* kwnames) {
  auto* type = reinterpret_cast<PyTypeObject*>(callable);
  const Py_ssize_t positional = PyVectorcall_NARGS(nargsf);
  if (type->tp_new != indexable_new || type->tp_init != PyBaseObject_Type.tp_init) {
    return guarded([&] { return call_type(callable, args, positional, kwnames); });
  }
  return guarded([&] {
    AttributeMap map;
    if (kwnames != nullptr) {
      const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
      map.reserve(static_cast<size_t>(count));
      for (Py_ssize_t i = 0; i < count; ++i) {
        add_keyword(map, PyTuple_GET_ITEM(kwnames, i), args[positional + i]);
      }
    }
    return new_instance(type, std::move(map));
  });
}

void indexable_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  if (as_indexable(self)->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
  free_instance(self, [&] { as_indexable(self)->api().~IndexAPI(); });
}

// Visits the Python references held through `value`: its holder and, for a
// container, the holders of its converted members (which hold the members
// strongly too, so a list holding its own object would otherwise be an
// uncollectable cycle). A holder an index shares still counts once: an index
// only holds values of objects it keeps alive itself, so such an object is
// never found unreachable.
int visit_value(const PyValue& value, visitproc visit, void* arg) {
  Py_VISIT(value.object());
  if (value.kind() != ValueKind::kIterable) return 0;
  const auto& members = value.as_iterable().members;
  if (members == nullptr) return 0;
  for (const PyValue& member : *members) {
    if (const int result = visit_value(member, visit, arg)) return result;
  }
  return 0;
}

// The collector calls this twice per collection and both calls must see the
// same references, so the object's lock is waited for rather than tried: no
// holder of an object's lock ever waits for the interpreter lock, and no
// thread allocates collectable objects while it holds one.
int indexable_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  const IndexAPI& api = as_indexable(self)->api();
  if (api.lock().failed(kAttributesPart)) return 0;
  try {
    ObjectGuard guard(api.lock(), kAttributesPart);
    int result = 0;
    api.attributes(guard).map.for_each([&](uint32_t, const PyValue& value) {
      if (result == 0) result = visit_value(value, visit, arg);
    });
    return result;
  } catch (const Panic&) {
    return 0;  // marked failed meanwhile: its values are not read any more
  }
}

int indexable_clear(PyObject* self) {
  const IndexAPI& api = as_indexable(self)->api();
  AttributeMap dropped;
  {
    TryObjectGuard guard(api.lock(), kAttributesPart);
    if (!guard.owns()) return 0;
    dropped = std::move(api.attributes(guard).map);
    api.attributes(guard).map = AttributeMap();
  }
  return 0;  // `dropped` releases its references here, without the lock held
}

// The Python object for a tracked attribute, or null when the object has no
// such attribute. Made while the object's lock is held, so the value is not
// copied: a new int, float, str or bool, or a new reference to the assigned
// object; neither is collectable nor runs Python code. A failure (no memory)
// is raised after the lock is released, which leaves the lock unmarked.
PyObject* tracked_value(PyObject* self, uint32_t attribute) {
  const IndexAPI& api = as_indexable(self)->api();
  PyObject* result = nullptr;
  bool failed = false;
  {
    ObjectGuard guard(api.lock(), kAttributesPart);
    const PyValue* value = api.attributes(guard).map.get(attribute);
    if (value == nullptr) return nullptr;
    try {
      result = value_to_python(*value);
    } catch (const PythonError&) {
      failed = true;
    }
  }
  if (failed) throw PythonError();
  return result;
}

PyObject* read_attribute(PyObject* self, PyObject* name) {
  if (!PyUnicode_Check(name)) {
    convert_argument("name", [&] { throw_conversion_error(name, "PyString"); });
  }
  if (PyObject* value = tracked_value(self, attribute_id_of(name))) return value;
  PyObject* found = PyObject_GenericGetAttr(self, name);
  if (found == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    PyErr_SetObject(PyExc_AttributeError, name);
  }
  if (found == nullptr) throw PythonError();
  return found;
}

PyObject* indexable_getattro(PyObject* self, PyObject* name) {
  return guarded([&] { return read_attribute(self, name); });
}

// The object's lock is only tried with the interpreter lock held, so that
// waiting for it never blocks other Python threads. Taken, it stays held for
// the whole write: with no index linked (the common case for objects being
// built) the value is stored at once; otherwise the interpreter lock is
// released once for the index work, and taken back only after the object's
// lock is released. Busy, the write waits for it with the interpreter lock
// released.
void assign(const IndexAPI& api, uint32_t attribute, PyValue value) {
  // Dropped last, with no lock of the object held and the interpreter lock
  // taken back (it may run a __del__): its reference is released at once
  // rather than queued for a later drain.
  std::optional<PyValue> replaced;
  {
    ObjectGuard guard(api.lock(), kWholeObject, std::try_to_lock);
    if (guard.owns()) {
      if (api.links(guard).empty()) {
        replaced = write_attribute_locked(api, guard, attribute, std::move(value));
        return;
      }
      GilRelease release;
      {
        ObjectGuard held = std::move(guard);
        replaced = write_attribute_locked(api, held, attribute, std::move(value));
      }
      settle_nested();
      return;
    }
  }
  GilRelease release;
  write_attribute(api, attribute, std::move(value));
}

int indexable_setattro(PyObject* self, PyObject* name, PyObject* value) {
  return guarded_int([&] {
    if (value == nullptr) {
      PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
      return -1;
    }
    if (!PyUnicode_Check(name)) {
      convert_argument("name", [&] { throw_conversion_error(name, "PyString"); });
    }
    const IndexAPI& api = as_indexable(self)->api();
    // The map's block and the links list are rarely cached for a random
    // object: start loading them while the name and the value are converted.
    api.prefetch_for_write();
    uint32_t id = 0;
    if (!try_attribute_id(name, id)) throw PythonError();
    assign(api, id, stored_value(name, value));
    return 0;
  });
}

PyObject* indexable_dir(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    PyRef names = PyRef::checked(PyList_New(0));
    {
      const IndexAPI& api = as_indexable(self)->api();
      ObjectGuard guard(api.lock(), kAttributesPart);
      const auto snapshot = interner().snapshot();
      api.attributes(guard).map.for_each([&](uint32_t id, const PyValue&) {
        const std::string_view name = snapshot.name(id);
        PyRef text = PyRef::checked(
            PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), nullptr));
        if (PyList_Append(names.get(), text.get()) < 0) throw PythonError();
      });
    }
    PyRef builtins = PyRef::checked(PyImport_ImportModule("builtins"));
    PyRef object_type = PyRef::checked(PyObject_GetAttrString(builtins.get(), "object"));
    PyRef inherited = PyRef::checked(PyObject_CallMethod(object_type.get(), "__dir__", "O", self));
    if (!PyList_Check(inherited.get())) throw_type_error("object.__dir__ did not return a list");
    PyRef all = PyRef::checked(PySequence_Concat(names.get(), inherited.get()));
    return all.release();
  });
}

PyObject* indexable_repr(PyObject* self) {
  return guarded([&] {
    const IndexAPI& api = as_indexable(self)->api();
    size_t count;
    {
      ObjectGuard guard(api.lock(), kAttributesPart);
      count = api.attributes(guard).map.size();
    }
    const std::string text = "<Indexable with " + std::to_string(count) + " attributes>";
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

// The attributes as a new dict of name -> value (names beginning with "_"
// included).
PyObject* attribute_dict(PyObject* self) {
  std::vector<std::pair<uint32_t, PyValue>> values;
  {
    const IndexAPI& api = as_indexable(self)->api();
    ObjectGuard guard(api.lock(), kAttributesPart);
    api.attributes(guard).map.for_each(
        [&](uint32_t id, const PyValue& value) { values.emplace_back(id, value); });
  }
  PyRef dict = PyRef::checked(PyDict_New());
  const auto snapshot = interner().snapshot();
  for (const auto& [id, value] : values) {
    const std::string_view name = snapshot.name(id);
    PyRef key = PyRef::checked(
        PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), nullptr));
    PyRef item = PyRef::checked(value_to_python(value));
    if (PyDict_SetItem(dict.get(), key.get(), item.get()) < 0) throw PythonError();
  }
  return dict.release();
}

// Pickling and copying rebuild the object with the class's __new__ (no
// __init__ runs, as for any object copied by the standard protocol) and then
// assign the saved attributes, so the copy belongs to no index.
PyObject* indexable_reduce_ex(PyObject* self, PyObject*) {
  return guarded([&] {
    PyRef copyreg = PyRef::checked(PyImport_ImportModule("copyreg"));
    PyRef newobj = PyRef::checked(PyObject_GetAttrString(copyreg.get(), "__newobj__"));
    PyRef state = PyRef::checked(attribute_dict(self));
    return Py_BuildValue("(O(O)O)", newobj.get(), reinterpret_cast<PyObject*>(Py_TYPE(self)),
                         state.get());
  });
}

PyObject* indexable_setstate(PyObject* self, PyObject* state) {
  return guarded([&] {
    if (!PyDict_Check(state)) throw_type_error("Indexable state must be a dict");
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(state, &pos, &key, &value)) {
      if (PyObject_SetAttr(self, key, value) < 0) throw PythonError();
    }
    Py_RETURN_NONE;
  });
}

PyMethodDef g_methods[] = {
    {"__dir__", indexable_dir, METH_NOARGS, nullptr},
    {"__reduce_ex__", indexable_reduce_ex, METH_O, nullptr},
    {"__setstate__", indexable_setstate, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef g_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(IndexableObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(indexable_new)},
    {Py_tp_alloc, reinterpret_cast<void*>(indexable_alloc)},
    {Py_tp_free, reinterpret_cast<void*>(indexable_free)},
    {Py_tp_dealloc, reinterpret_cast<void*>(indexable_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(indexable_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(indexable_clear)},
    {Py_tp_getattro, reinterpret_cast<void*>(indexable_getattro)},
    {Py_tp_setattro, reinterpret_cast<void*>(indexable_setattro)},
    {Py_tp_repr, reinterpret_cast<void*>(indexable_repr)},
    {Py_tp_methods, g_methods},
    {Py_tp_members, g_members},
    {Py_tp_doc, const_cast<char*>("Indexable(*_args, **kwargs)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec g_spec = {"Quarrydex.Indexable", sizeof(IndexableObject), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, g_slots};

}  // namespace

PyTypeObject* indexable_type_object() {
  if (g_indexable_type == nullptr) {
    g_indexable_type = make_heap_type(g_spec);
    g_indexable_type->tp_vectorcall = indexable_vectorcall;
    set_indexable_type(g_indexable_type);
  }
  return g_indexable_type;
}

}  // namespace qdx
