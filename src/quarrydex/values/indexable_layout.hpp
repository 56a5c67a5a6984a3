// The memory layout of an `Indexable` instance: the Python object header, the
// object's record, and the weak-reference list. Only code that includes the
// interpreter headers anyway (the type itself, the record accessors) sees it.
//
// The record is kept as raw storage so that the instance stays a
// standard-layout type (the weak-list offset is taken with offsetof); it is
// constructed when the instance is made and destroyed when it is freed.
// With the collector's header the instance is 80 bytes, one size class.
#pragma once

#include <Python.h>

#include <new>

#include "values/index_api.hpp"

namespace qdx {

struct IndexableObject {
  // The record first: a write reads it right after the header.
  PyObject_HEAD alignas(IndexAPI) unsigned char record[sizeof(IndexAPI)];
  PyObject* weakrefs;

  IndexAPI& api() noexcept { return *std::launder(reinterpret_cast<IndexAPI*>(record)); }
};

}  // namespace qdx
