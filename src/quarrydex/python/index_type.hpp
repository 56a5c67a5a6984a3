// The Python class `Index`: holds one shared IndexState.
#pragma once

#include <Python.h>

#include <memory>
#include <string_view>

#include "core/index_state.hpp"

namespace qdx {

PyObject* make_index(std::shared_ptr<IndexState> state);
std::shared_ptr<IndexState> index_argument(std::string_view name, PyObject* object);

}  // namespace qdx
