// `StoredIndexable`: one object-store slot, the object's Python handle and a
// copy of its record that does not own the id. An empty slot (both pointers
// null) is the placeholder of a position whose id the index does not hold; it
// is never read as an object.
//
// `stored_at` is the store stamp taken when the slot was written into a
// store: stamps grow with every store write in the process, so a reader that
// noted `current_store_stamp()` can tell slots written after it (an object
// added later, possibly under an id that a dropped object gave back).
#pragma once

#include <cstdint>
#include <memory>

#include "values/index_api.hpp"
#include "values/python_ref.hpp"

namespace qdx {

struct StoredIndexable {
  PythonHandle python_handle;
  std::shared_ptr<const IndexAPI> owned_handle;
  uint64_t stored_at = 0;

  bool empty() const noexcept { return owned_handle == nullptr; }
  ObjectId id() const noexcept { return owned_handle->id; }
};

// The stamp of the latest store write in the process.
uint64_t current_store_stamp() noexcept;

}  // namespace qdx
