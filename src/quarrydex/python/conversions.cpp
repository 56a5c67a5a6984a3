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
  return StoredIndexable{PythonHandle(PyRef::borrow(object)), api_of(object).share()};
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

PyObject* objects_list(IndexState& state, const Bitmap& ids, uint64_t max_stamp) {
  PyRef list = PyRef::checked(PyList_New(static_cast<Py_ssize_t>(ids.cardinality())));
  Py_ssize_t filled = 0;
  {
    // References are taken under the store lock, so no slot can be dropped
    // between reading it and holding its object; each goes straight into the
    // list, which owns it from then on.
    ReadGuard guard(state.store->lock());
    const ObjectStore& store = state.store->get(guard);
    ids.for_each([&](uint32_t id) {
      if (id < store.size() && !store[id].empty() && store[id].stamp <= max_stamp) {
        PyList_SET_ITEM(list.get(), filled++, Py_NewRef(store[id].python_handle.get()));
      }
    });
  }
  if (filled < PyList_GET_SIZE(list.get()) &&
      PyList_SetSlice(list.get(), filled, PyList_GET_SIZE(list.get()), nullptr) < 0) {
    throw PythonError();
  }
  return list.release();
}

}  // namespace qdx
