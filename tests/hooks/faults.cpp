// `_quarrydex_faults`: a test-only extension module that marks a lock of an
// `Index` or an `Indexable` failed, the way an internal fatal error that
// unwinds through the lock's guard marks it. Tests use it to check that a
// failed lock makes exactly its index or object raise `PanicException` while
// everything else keeps working; nothing on the public surface can reach a
// failed lock on purpose.
//
// The module is built only with -Dtests=true and never installed. It reads
// the instance layouts from the same headers as the module itself, so it
// must come from the same source tree as the `Quarrydex` it is used with.
// Of the module's libraries it links only the stateless base layer: the lock
// types and guards are header-only, so it never holds a second copy of the
// module's process-wide records (interner, id allocator, pending releases).
//
//   poison(target, lock)  marks one lock failed; raises TypeError for a target
//                         that is neither an Index nor an Indexable and
//                         ValueError for an unknown lock name
//   poisoned(target)      dict of the target's lock names to their failed marks
//
// Lock names: an Index has "attribute_table", "all_ids", "store" and
// "parent_map" (the parent maps of all its attributes at the time of the
// call); an Indexable has "index_links" and "attributes".
#include <Python.h>

#include <optional>
#include <string_view>
#include <vector>

#include "core/value_index.hpp"

#include "python/index_object.hpp"
#include "values/indexable_layout.hpp"

namespace {

using qdx::IndexAPI;
using qdx::IndexState;

enum class Target { kNone, kIndex, kIndexable };

// The class `name` of the imported `Quarrydex` module, as a new reference.
PyObject* quarrydex_class(const char* name) {
  PyObject* module = PyImport_ImportModule("Quarrydex");
  if (module == nullptr) return nullptr;
  PyObject* type = PyObject_GetAttrString(module, name);
  Py_DECREF(module);
  if (type != nullptr && !PyType_Check(type)) {
    Py_DECREF(type);
    PyErr_Format(PyExc_TypeError, "Quarrydex.%s is not a class", name);
    return nullptr;
  }
  return type;
}

// Which layout `object` has; kNone with an exception set when it has neither.
Target target_of(PyObject* object) {
  for (auto [name, target] :
       {std::pair{"Index", Target::kIndex}, std::pair{"Indexable", Target::kIndexable}}) {
    PyObject* type = quarrydex_class(name);
    if (type == nullptr) return Target::kNone;
    const bool matches = PyObject_TypeCheck(object, reinterpret_cast<PyTypeObject*>(type));
    Py_DECREF(type);
    if (matches) return target;
  }
  PyErr_Format(PyExc_TypeError, "expected an Index or an Indexable, got '%s'",
               Py_TYPE(object)->tp_name);
  return Target::kNone;
}

IndexState& state_of(PyObject* index) {
  return *reinterpret_cast<qdx::IndexObject*>(index)->state;
}

const IndexAPI& record_of(PyObject* indexable) {
  return reinterpret_cast<qdx::IndexableObject*>(indexable)->api();
}

// Takes the lock through its real guard and lets an internal fatal error
// unwind through the guard, exactly as a failing operation would.
template <typename Guard, typename Lock>
void fail_while_held(Lock& lock) {
  try {
    Guard guard(lock);
    throw qdx::Panic("fault injected by _quarrydex_faults");
  } catch (const qdx::Panic&) {
  }
}

// The locks behind one name; empty for an unknown name. References only:
// the hook never owns a value index (it does not link the code that frees one).
std::vector<qdx::RwLock*> index_locks(IndexState& state, std::string_view name) {
  if (name == "attribute_table") return {&state.attributes->lock()};
  if (name == "all_ids") return {&state.all_ids->lock()};
  if (name == "store") return {&state.store->lock()};
  if (name != "parent_map") return {};
  std::vector<qdx::RwLock*> locks;
  if (state.attributes->lock().failed()) return locks;  // the guard would panic
  qdx::ReadGuard guard(state.attributes->lock());
  for (const auto& index : state.attributes->get(guard)) {
    if (index != nullptr) locks.push_back(&index->parents.lock());
  }
  return locks;
}

bool any_failed(const std::vector<qdx::RwLock*>& locks) {
  for (const qdx::RwLock* lock : locks) {
    if (lock->failed()) return true;
  }
  return false;
}

// The part of an object's lock behind one name; nullopt for an unknown name.
std::optional<qdx::ObjectParts> indexable_part(std::string_view name) {
  if (name == "index_links") return qdx::ObjectParts::kLinks;
  if (name == "attributes") return qdx::ObjectParts::kAttributes;
  return std::nullopt;
}

PyObject* poison(PyObject*, PyObject* args) {
  PyObject* object;
  const char* lock_name;
  if (!PyArg_ParseTuple(args, "Os:poison", &object, &lock_name)) return nullptr;
  const Target target = target_of(object);
  if (target == Target::kNone) return nullptr;
  const std::string_view name(lock_name);
  std::vector<qdx::RwLock*> locks;
  std::optional<qdx::ObjectParts> part;
  if (target == Target::kIndex) {
    locks = index_locks(state_of(object), name);
  } else {
    part = indexable_part(name);
  }
  const bool known = target == Target::kIndex ? (name == "attribute_table" || name == "all_ids" ||
                                                 name == "store" || name == "parent_map")
                                              : part.has_value();
  if (!known) {
    PyErr_Format(PyExc_ValueError, "no lock named '%s' on %s", lock_name, Py_TYPE(object)->tp_name);
    return nullptr;
  }
  // Index locks are never waited for with the interpreter lock held.
  Py_BEGIN_ALLOW_THREADS;
  for (qdx::RwLock* lock : locks) {
    // A second mark changes nothing; taking the guard would panic.
    if (!lock->failed()) fail_while_held<qdx::WriteGuard>(*lock);
  }
  if (part && !record_of(object).lock().failed(*part)) {
    try {
      qdx::ObjectGuard guard(record_of(object).lock(), *part);
      throw qdx::Panic("fault injected by _quarrydex_faults");
    } catch (const qdx::Panic&) {
    }
  }
  Py_END_ALLOW_THREADS;
  Py_RETURN_NONE;
}

int put_mark(PyObject* dict, const char* name, bool failed) {
  return PyDict_SetItemString(dict, name, failed ? Py_True : Py_False);
}

PyObject* poisoned(PyObject*, PyObject* object) {
  const Target target = target_of(object);
  if (target == Target::kNone) return nullptr;
  PyObject* marks = PyDict_New();
  if (marks == nullptr) return nullptr;
  int failed = 0;
  if (target == Target::kIndex) {
    IndexState& state = state_of(object);
    for (const char* name : {"attribute_table", "all_ids", "store", "parent_map"}) {
      failed |= put_mark(marks, name, any_failed(index_locks(state, name)));
    }
  } else {
    const IndexAPI& record = record_of(object);
    for (const char* name : {"index_links", "attributes"}) {
      failed |= put_mark(marks, name, record.lock().failed(*indexable_part(name)));
    }
  }
  if (failed != 0) {
    Py_DECREF(marks);
    return nullptr;
  }
  return marks;
}

PyMethodDef g_methods[] = {
    {"poison", poison, METH_VARARGS, "poison(target, lock)\n--\n\nMarks one lock failed."},
    {"poisoned", poisoned, METH_O,
     "poisoned(target)\n--\n\nThe failed marks of the target's locks."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT,
    "_quarrydex_faults",
    "Test-only fault injection for Quarrydex.",
    -1,
    g_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__quarrydex_faults() {
  return PyModule_Create(&g_module);
}
