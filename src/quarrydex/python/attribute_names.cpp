#include "python/attribute_names.hpp"

#include <array>
#include <string_view>

#include "structures/string_interner/interner.hpp"
#include "values/python_ref.hpp"

namespace qdx {
namespace {

struct Entry {
  PyRef name;
  uint32_t id = 0;
};

// Process-wide, never destroyed: entries may outlive the interpreter's teardown
// of other module state, and dropping them at exit would touch freed objects.
std::array<Entry, 256>& table() {
  static auto* entries = new std::array<Entry, 256>();
  return *entries;
}

size_t slot_of(PyObject* name) noexcept {
  const auto address = reinterpret_cast<uintptr_t>(name);
  return (address >> 4 ^ address >> 12) & 0xff;
}

}  // namespace

bool try_attribute_id(PyObject* name, uint32_t& id) {
  Entry& entry = table()[slot_of(name)];
  if (entry.name.get() == name) {
    id = entry.id;
    return true;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name, &size);
  if (text == nullptr) return false;
  id = interner().intern(std::string_view(text, static_cast<size_t>(size)));
  entry.name = PyRef::borrow(name);  // drops the name it replaces (a str: no code runs)
  entry.id = id;
  return true;
}

uint32_t attribute_id_of(PyObject* name) {
  uint32_t id = 0;
  if (try_attribute_id(name, id)) return id;
  PyErr_Clear();
  PyErr_SetObject(PyExc_AttributeError, name);
  throw PythonError();
}

}  // namespace qdx
