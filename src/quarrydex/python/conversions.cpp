#include "python/conversions.hpp"

#include <algorithm>

#include "python/errors.hpp"
#include "values/indexable_object.hpp"
#include "values/value_convert.hpp"

namespace qdx {

std::string_view utf8_view(PyObject* text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) throw PythonError();
  return {data, static_cast<size_t>(size)};
}

namespace {

StoredIndexable slot_of(PyObject* object) {
  return StoredIndexable::owning(PyRef::borrow(object));
}

}  // namespace

StoredIndexable indexable_argument(std::string_view name, PyObject* object) {
  return convert_argument(name, [&] {
    if (!is_indexable(object)) throw_conversion_error(object, "Indexable");
    return slot_of(object);
  });
}

std::vector<StoredIndexable> indexable_sequence_argument(std::string_view name, PyObject* object) {
  return convert_argument(name, [&] {
    if (PyUnicode_Check(object)) throw_type_error("Can't extract `str` to `Vec`");
    if (!PySequence_Check(object)) throw_conversion_error(object, "Sequence");
    std::vector<StoredIndexable> slots;
    const Py_ssize_t size = PySequence_Size(object);
    if (size < 0) {
      PyErr_Clear();  // only a capacity hint
    } else {
      slots.reserve(static_cast<size_t>(size));
    }
    PyRef iterator = PyRef::checked(PyObject_GetIter(object));
    while (PyObject* item = PyIter_Next(iterator.get())) {
      PyRef owned = PyRef::steal(item);
      if (!is_indexable(item)) throw_conversion_error(item, "Indexable");
      slots.push_back(slot_of(item));
    }
    if (PyErr_Occurred()) throw PythonError();
    return slots;
  });
}

std::vector<std::pair<std::string, PyValue>> keyword_values(const ParsedArguments& arguments) {
  std::vector<std::pair<std::string, PyValue>> keywords;
  keywords.reserve(arguments.keywords.size());
  for (const auto& [name, value] : arguments.keywords) {
    const std::string_view attribute = utf8_view(name);
    keywords.emplace_back(std::string(attribute),
                          convert_attribute_value(attribute, [&] { return convert_value(value); }));
  }
  return keywords;
}

namespace {

// How many objects ahead of the one whose reference is being taken its header
// is fetched. The headers are scattered over the heap and taking a reference
// writes each one, so the walk is bound by memory latency unless several
// fetches are in flight at once. Chosen by measurement: 8 to 96 ahead ran
// alike (the core overlaps the misses of independent increments by itself);
// the fetch is kept for cores with a shorter reorder window.
constexpr size_t kPrefetchAhead = 24;

// Writes the objects of `ids` that the store holds to `items` from `filled`
// on, as borrowed pointers, and returns the new fill. Empty slots are written
// and then overwritten (the fill advances only past a held object), so the
// walk runs without a branch per id.
Py_ssize_t gather_block(const ObjectStore& store, const uint32_t* ids, uint32_t count,
                        PyObject** items, Py_ssize_t filled) {
  const size_t size = store.size();
  PyObject* const* stored = store.objects();
  // Ids ascend: once one is past the store, none further is stored.
  while (count != 0 && ids[count - 1] >= size) --count;
  for (uint32_t i = 0; i < count; ++i) {
    PyObject* object = stored[ids[i]];
    items[filled] = object;
    filled += object != nullptr;
  }
  return filled;
}

// Takes a reference to each of items[0, count), fetching headers ahead.
void take_references(PyObject** items, size_t count) {
  const size_t ahead = std::min(kPrefetchAhead, count);
  for (size_t i = 0; i < ahead; ++i) __builtin_prefetch(items[i], 1, 3);
  const size_t steady = count - ahead;
  for (size_t i = 0; i < steady; ++i) {
    __builtin_prefetch(items[i + ahead], 1, 3);
    Py_INCREF(items[i]);
  }
  for (size_t i = steady; i < count; ++i) Py_INCREF(items[i]);
}

}  // namespace

PyObject* objects_list(IndexState& state, const Bitmap& ids, uint64_t max_stamp) {
  const Py_ssize_t capacity = static_cast<Py_ssize_t>(ids.cardinality());
  PyRef list = PyRef::checked(PyList_New(capacity));
  PyObject** items = reinterpret_cast<PyListObject*>(list.get())->ob_item;
  Py_ssize_t filled = 0;
  {
    // Pointers are gathered and their references taken under the store lock,
    // so no slot can be dropped between reading it and holding its object.
    // Until the second pass ends the list holds borrowed pointers: nothing in
    // between can run Python code or throw.
    ReadGuard guard(state.store->lock());
    const ObjectStore& store = state.store->get(guard);
    // Only a refilled slot can carry a stamp after `max_stamp`: those few
    // ids are set aside first, so the walk itself reads no stamps.
    const Bitmap* walked = &ids;
    Bitmap fresh;
    if (store.latest_refill() > max_stamp) {
      fresh = ids.clone();
      fresh.andnot_inplace(store.refilled_after(max_stamp));
      walked = &fresh;
    }
    walked->for_each_block([&](const uint32_t* block, uint32_t count) {
      filled = gather_block(store, block, count, items, filled);
    });
    take_references(items, static_cast<size_t>(filled));
  }
  // The slots past the fill may hold stale borrowed pointers: clear them
  // before the list can see them.
  std::fill(items + filled, items + capacity, nullptr);
  if (filled < capacity && PyList_SetSlice(list.get(), filled, capacity, nullptr) < 0) {
    throw PythonError();
  }
  return list.release();
}

}  // namespace qdx
