#include "python/answers.hpp"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "core/object_membership.hpp"
#include "core/private_values.hpp"
#include "core/value_index.hpp"
#include "core/value_insert.hpp"
#include "python/conversions.hpp"
#include "python/errors.hpp"
#include "python/index_iterator.hpp"
#include "query/order_by.hpp"
#include "query/presence.hpp"
#include "structures/string_interner/interner.hpp"
#include "values/indexable_object.hpp"

namespace qdx {
namespace {

// The view's ids that the index still holds (or all of them for an index).
Bitmap held_ids(IndexState& state, const Bitmap* view) {
  ReadGuard guard(state.all_ids->lock());
  Bitmap ids = state.all_ids->get(guard).clone();
  if (view != nullptr) ids.and_inplace(*view);
  return ids;
}

// A new list of the stored objects of `ids`, in that order; ids without an
// object are skipped.
PyObject* objects_in_order(IndexState& state, const std::vector<uint32_t>& ids) {
  PyRef list = PyRef::checked(PyList_New(static_cast<Py_ssize_t>(ids.size())));
  Py_ssize_t filled = 0;
  {
    // The ids come in value order, scattered over the store and the heap:
    // the pointer and then the object header are fetched ahead of use.
    constexpr size_t kPointerAhead = 32;
    constexpr size_t kObjectAhead = 16;
    ReadGuard guard(state.store->lock());
    const ObjectStore& store = state.store->get(guard);
    PyObject* const* stored = store.objects();
    const size_t size = store.size();
    PyObject** items = reinterpret_cast<PyListObject*>(list.get())->ob_item;
    for (size_t i = 0; i < ids.size(); ++i) {
      if (i + kPointerAhead < ids.size() && ids[i + kPointerAhead] < size) {
        __builtin_prefetch(stored + ids[i + kPointerAhead]);
      }
      if (i + kObjectAhead < ids.size()) {
        if (PyObject* ahead = store.object(ids[i + kObjectAhead])) __builtin_prefetch(ahead, 1, 3);
      }
      if (PyObject* object = store.object(ids[i])) items[filled++] = Py_NewRef(object);
    }
  }
  if (filled < PyList_GET_SIZE(list.get()) &&
      PyList_SetSlice(list.get(), filled, PyList_GET_SIZE(list.get()), nullptr) < 0) {
    throw PythonError();
  }
  return list.release();
}

// `limit`: None (no limit) or an int >= 0. Ints beyond 64 bits mean "all".
uint64_t limit_argument(PyObject* limit) {
  if (limit == nullptr || limit == Py_None) return UINT64_MAX;
  if (!PyLong_Check(limit)) {
    PyErr_Format(PyExc_TypeError, "limit must be an int or None, not %.200s",
                 Py_TYPE(limit)->tp_name);
    throw PythonError();
  }
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(limit, &overflow);
  if (value == -1 && PyErr_Occurred()) throw PythonError();
  if (overflow > 0) return UINT64_MAX;
  if (overflow < 0 || value < 0) {
    PyErr_SetString(PyExc_ValueError, "limit must be >= 0");
    throw PythonError();
  }
  return static_cast<uint64_t>(value);
}

// The "_" attributes with a value index, and who holds values in them.
std::vector<std::pair<uint32_t, uint32_t>> indexed_private_values(IndexState& state,
                                                                  const Bitmap& ids) {
  AttributeTable table;
  {
    ReadGuard guard(state.attributes->lock());
    table = state.attributes->get(guard);
  }
  std::vector<std::pair<uint32_t, uint32_t>> pairs;  // (id, attribute)
  for (uint32_t attribute = 0; attribute < table.size(); ++attribute) {
    if (table[attribute] == nullptr || !is_private_attribute(attribute)) continue;
    presence_lookup(*table[attribute], ids).for_each([&](uint32_t id) {
      pairs.emplace_back(id, attribute);
    });
  }
  return pairs;
}

// The view's held ids whose slots still hold what the view selected.
Bitmap live_view_ids(IndexState& state, const Selection& selection) {
  Bitmap ids = held_ids(state, selection.view);
  // Read after the ids: a reuse that published one of them is visible here.
  if (last_reuse_stamp() <= selection.made_at) return ids;
  Bitmap newer;
  {
    ReadGuard guard(state.store->lock());
    const ObjectStore& store = state.store->get(guard);
    newer = store.refilled_after(selection.made_at);
    ids.for_each([&](uint32_t id) {
      if (!store.holds(id)) newer.add(id);
    });
  }
  ids.andnot_inplace(newer);
  return ids;
}

PyObject* text_of(std::string_view name) {
  return PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), nullptr);
}

}  // namespace

Py_ssize_t selection_length(IndexState& state, const Selection& selection) {
  uint64_t count = 0;
  {
    ReadGuard guard(state.all_ids->lock());
    const Bitmap& all = state.all_ids->get(guard);
    count = selection.view == nullptr ? all.cardinality() : selection.view->and_cardinality(all);
  }
  if (selection.view != nullptr && last_reuse_stamp() > selection.made_at) {
    count = live_view_ids(state, selection).cardinality();
  }
  return static_cast<Py_ssize_t>(count);
}

int selection_contains(IndexState& state, const Selection& selection, PyObject* object) {
  if (!is_indexable(object)) return 0;
  const ObjectId id = api_of(object).id;
  if (selection.view != nullptr && !selection.view->contains(id)) return 0;
  ReadGuard guard(state.store->lock());
  const ObjectStore& store = state.store->get(guard);
  return store.object(id) == object && store.stamp(id) <= selection.made_at ? 1 : 0;
}

PyObject* selection_iterator(const std::shared_ptr<IndexState>& state, const Selection& selection) {
  Bitmap snapshot = held_ids(*state, selection.view);
  // Read after the ids: an object published meanwhile is either in both or
  // skipped as newer. A view never yields what entered after it was made.
  const uint64_t stamp = std::min(current_store_stamp(), selection.made_at);
  return make_index_iterator(state, std::move(snapshot), stamp);
}

PyObject* selection_order_by(IndexState& state, const Selection& selection, PyObject* args,
                             PyObject* kwargs) {
  static const char* names[] = {"attr", "descending", "limit", nullptr};
  PyObject* attr = nullptr;
  int descending = 0;
  PyObject* limit = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$pO:order_by", const_cast<char**>(names), &attr,
                                   &descending, &limit)) {
    throw PythonError();
  }
  const std::string path(convert_argument("attr", [&] {
    if (!PyUnicode_Check(attr)) throw_conversion_error(attr, "PyString");
    return utf8_view(attr);
  }));
  const OrderRequest request{path, descending != 0, limit_argument(limit)};
  std::vector<uint32_t> ids;
  {
    GilRelease release;
    const Bitmap* view = selection.view;
    Bitmap live;
    if (view != nullptr && last_reuse_stamp() > selection.made_at) {
      live = live_view_ids(state, selection);
      view = &live;
    }
    ids = order_ids(state, view, request);
  }
  return objects_in_order(state, ids);
}

PyObject* index_pickle_state(IndexState& state) {
  std::vector<uint32_t> ids;
  std::vector<std::pair<uint32_t, uint32_t>> privates;
  {
    GilRelease release;
    const Bitmap held = held_ids(state, nullptr);
    ids = held.to_vector();
    privates = indexed_private_values(state, held);
  }
  PyRef objects = PyRef::checked(objects_in_order(state, ids));
  PyRef pairs = PyRef::checked(PyList_New(0));
  const auto names = interner().snapshot();
  for (const auto& [id, attribute] : privates) {
    const auto at = std::lower_bound(ids.begin(), ids.end(), id);
    if (at == ids.end() || *at != id) continue;
    PyRef name = PyRef::checked(text_of(names.name(attribute)));
    PyRef pair = PyRef::checked(Py_BuildValue("(nO)", at - ids.begin(), name.get()));
    if (PyList_Append(pairs.get(), pair.get()) < 0) throw PythonError();
  }
  return PyTuple_Pack(2, objects.get(), pairs.get());
}

void restore_index(const std::shared_ptr<IndexState>& state, PyObject* pickled) {
  PyObject* objects = nullptr;
  PyObject* pairs = nullptr;
  if (!PyArg_ParseTuple(pickled, "OO:__setstate__", &objects, &pairs)) throw PythonError();
  std::vector<StoredIndexable> slots = indexable_sequence_argument("objects", objects);
  std::vector<std::pair<size_t, uint32_t>> privates;  // (position, attribute)
  PyRef iterator = PyRef::checked(PyObject_GetIter(pairs));
  while (PyObject* item = PyIter_Next(iterator.get())) {
    PyRef owned = PyRef::steal(item);
    Py_ssize_t position = 0;
    PyObject* name = nullptr;
    if (!PyArg_ParseTuple(item, "nU:__setstate__", &position, &name)) throw PythonError();
    if (position < 0 || static_cast<size_t>(position) >= slots.size()) {
      PyErr_SetString(PyExc_ValueError, "pickled index refers to a missing object");
      throw PythonError();
    }
    privates.emplace_back(static_cast<size_t>(position), interner().intern(utf8_view(name)));
  }
  if (PyErr_Occurred()) throw PythonError();
  std::sort(privates.begin(), privates.end());
  privates.erase(std::unique(privates.begin(), privates.end()), privates.end());
  GilRelease release;
  // The stores take the slots' references; the hold keeps the objects
  // readable here (it ends before the lock is taken back and the queue drained).
  const ReleaseHold hold;
  for (StoredIndexable& slot : slots) add_object(state, slot.hand_over(), true);
  for (const auto& [position, attribute] : privates) {
    const IndexAPI& record = slots[position].record();
    ObjectGuard guard(record.lock(), kAttributesPart);
    if (const PyValue* value = record.attributes(guard).map.get(attribute)) {
      insert_value(*state, state, record.id, attribute, *value);
    }
  }
}

}  // namespace qdx
