// `StoredIndexable`: one object-store slot, the object's Python handle and a
// copy of its record that does not own the id. An empty slot (both pointers
// null) is the placeholder of a position whose id the index does not hold; it
// is never read as an object.
//
// `stamp` orders the moments objects entered slots (process-wide, increasing):
// it is set when a slot receives an object it did not hold, so a view made
// before that moment can tell that an object reusing a dropped object's id is
// not one it selected.
#pragma once

#include <cstdint>
#include <memory>

#include "values/index_api.hpp"
#include "values/python_ref.hpp"

namespace qdx {

struct StoredIndexable {
  PythonHandle python_handle;
  std::shared_ptr<const IndexAPI> owned_handle;
  uint64_t stamp = 0;

  bool empty() const noexcept { return owned_handle == nullptr; }
  ObjectId id() const noexcept { return owned_handle->id; }
  // Empties the slot. The stamp stays, so that a later object in this slot is
  // known to reuse a position some view may have selected.
  void vacate() noexcept {
    python_handle = PythonHandle();
    owned_handle.reset();
  }
};

// The stamp of the latest store write in the process.
uint64_t current_store_stamp() noexcept;
// The stamp of the latest write, in any store, of an object into a slot that
// held another object before. Views made after it can trust every slot of
// their ids; views made before must check each slot's stamp.
uint64_t last_reuse_stamp() noexcept;

}  // namespace qdx
