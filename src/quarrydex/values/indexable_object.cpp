#include "values/indexable_object.hpp"

#include "values/indexable_layout.hpp"

namespace qdx {
namespace {
PyTypeObject* g_indexable_type = nullptr;  // set once, when the class is made
}  // namespace

PyTypeObject* indexable_type() noexcept {
  return g_indexable_type;
}

void set_indexable_type(PyTypeObject* type) noexcept {
  g_indexable_type = type;
}

bool is_indexable(PyObject* object) noexcept {
  return g_indexable_type != nullptr && PyObject_TypeCheck(object, g_indexable_type);
}

IndexAPI& api_of(PyObject* object) noexcept {
  return reinterpret_cast<IndexableObject*>(object)->api();
}

}  // namespace qdx
