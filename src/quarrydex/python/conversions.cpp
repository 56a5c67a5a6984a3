#include "python/conversions.hpp"

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
  return StoredIndexable(PythonHandle(PyRef::borrow(object)));
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

// How far ahead of the reference it takes an object's header is fetched:
// the headers are scattered over the heap, and taking a reference writes
// each one, so the walk is bound by memory latency unless several fetches
// are in flight at once.
constexpr uint32_t kPrefetchAhead = 16;

// Appends new references to the objects of `ids` (those the store holds, in
// a slot stamped no later than `max_stamp` when `check_stamps`) to `items`
// from `filled` on. Returns the new fill.
Py_ssize_t take_block(const ObjectStore& store, const uint32_t* ids, uint32_t count,
                      bool check_stamps, uint64_t max_stamp, PyObject** items, Py_ssize_t filled) {
  PyObject* objects[Bitmap::kBlock];
  uint32_t found = 0;
  const size_t size = store.size();
  PyObject* const* stored = store.objects();
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t id = ids[i];
    if (id >= size) break;  // ids ascend: none further is stored
    PyObject* object = stored[id];
    if (object == nullptr || (check_stamps && store.stamp(id) > max_stamp)) continue;
    if (found < kPrefetchAhead) __builtin_prefetch(object, 1, 3);
    objects[found++] = object;
  }
  for (uint32_t i = 0; i < found; ++i) {
    if (i + kPrefetchAhead < found) __builtin_prefetch(objects[i + kPrefetchAhead], 1, 3);
    items[filled++] = Py_NewRef(objects[i]);
  }
  return filled;
}

}  // namespace

PyObject* objects_list(IndexState& state, const Bitmap& ids, uint64_t max_stamp) {
  PyRef list = PyRef::checked(PyList_New(static_cast<Py_ssize_t>(ids.cardinality())));
  PyObject** items = reinterpret_cast<PyListObject*>(list.get())->ob_item;
  Py_ssize_t filled = 0;
  {
    // References are taken under the store lock, so no slot can be dropped
    // between reading it and holding its object; each goes straight into the
    // list, which owns it from then on. Nothing here can run Python code.
    ReadGuard guard(state.store->lock());
    const ObjectStore& store = state.store->get(guard);
    // Stamps are drawn under the store's write lock: when no store has drawn
    // one since `max_stamp`, no slot here carries a later one.
    const bool check_stamps = current_store_stamp() > max_stamp;
    ids.for_each_block([&](const uint32_t* block, uint32_t count) {
      filled = take_block(store, block, count, check_stamps, max_stamp, items, filled);
    });
  }
  if (filled < PyList_GET_SIZE(list.get()) &&
      PyList_SetSlice(list.get(), filled, PyList_GET_SIZE(list.get()), nullptr) < 0) {
    throw PythonError();
  }
  return list.release();
}

}  // namespace qdx
