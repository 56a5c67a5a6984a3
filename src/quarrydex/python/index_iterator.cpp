#include "python/index_iterator.hpp"

#include <new>

#include "python/errors.hpp"
#include "python/module_types.hpp"

namespace qdx {
namespace {

struct IteratorState {
  std::shared_ptr<IndexState> state;
  Bitmap snapshot;
  uint64_t stamp;
  roaring_uint32_iterator_t position;  // reads `snapshot`, which never moves
};

struct IndexIteratorObject {
  PyObject_HEAD IteratorState iteration;
};

IteratorState& iteration_of(PyObject* self) {
  return reinterpret_cast<IndexIteratorObject*>(self)->iteration;
}

void iterator_dealloc(PyObject* self) {
  free_instance(self, [&] { iteration_of(self).~IteratorState(); });
}

PyObject* iterator_self(PyObject* self) {
  return Py_NewRef(self);
}

// The held object of `id` if it belongs to the snapshot, else nullptr.
PyObject* snapshot_object(IteratorState& it, uint32_t id) {
  ReadGuard guard(it.state->store->lock());
  const ObjectStore& store = it.state->store->get(guard);
  PyObject* object = store.object(id);
  if (object == nullptr || store.stamp(id) > it.stamp) return nullptr;
  return Py_NewRef(object);
}

PyObject* iterator_next(PyObject* self) {
  return guarded([&]() -> PyObject* {
    IteratorState& it = iteration_of(self);
    while (it.position.has_value) {
      const uint32_t id = it.position.current_value;
      roaring_advance_uint32_iterator(&it.position);
      if (PyObject* object = snapshot_object(it, id)) return object;
    }
    return nullptr;  // exhausted: StopIteration, no exception set
  });
}

PyType_Slot g_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(iterator_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(iterator_self)},
    {Py_tp_iternext, reinterpret_cast<void*>(iterator_next)},
    {0, nullptr},
};

PyType_Spec g_spec = {"Quarrydex.IndexIterator", sizeof(IndexIteratorObject), 0, Py_TPFLAGS_DEFAULT,
                      g_slots};

PyTypeObject* iterator_type_object() {
  static PyTypeObject* type = make_heap_type(g_spec);
  return type;
}

}  // namespace

PyObject* make_index_iterator(std::shared_ptr<IndexState> state, Bitmap snapshot, uint64_t stamp) {
  PyTypeObject* type = iterator_type_object();
  if (type == nullptr) throw PythonError();
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) throw PythonError();
  IteratorState* it =
      new (&iteration_of(self)) IteratorState{std::move(state), std::move(snapshot), stamp, {}};
  roaring_init_iterator(it->snapshot.raw(), &it->position);
  return self;
}

}  // namespace qdx
