// `StoredIndexable`: the contents of one object-store slot (see
// object_store.hpp), as objects to add are handed to an index and as slots are
// copied out of a store.
//
// `object` is the stored `Indexable` (borrowed: `owner` holds the strong
// reference that keeps it alive, and copies of the slot share that holder, so
// slots may be copied and dropped without the interpreter lock). The object's
// record (its id, attribute map and index links) is the one embedded in the
// object itself, found from the pointer. An empty slot (`object` null) is the
// placeholder of a position whose id the index does not hold; it is never
// read as an object. The object pointer comes first: it is what collecting
// reads.
//
// `stamp` orders the moments objects entered slots (process-wide, increasing):
// it is set when a slot receives an object it did not hold, so a view made
// before that moment can tell that an object reusing a dropped object's id is
// not one it selected.
#pragma once

#include <cstdint>
#include <utility>

#include "values/index_api.hpp"
#include "values/indexable_object.hpp"
#include "values/python_ref.hpp"

namespace qdx {

struct StoredIndexable {
  PyObject* object = nullptr;
  uint64_t stamp = 0;
  PythonHandle owner;

  StoredIndexable() noexcept = default;
  // A slot for the Indexable that `handle` holds.
  explicit StoredIndexable(PythonHandle handle) noexcept
      : object(handle.get()), owner(std::move(handle)) {}
  StoredIndexable(const StoredIndexable&) noexcept = default;
  StoredIndexable& operator=(const StoredIndexable&) noexcept = default;
  StoredIndexable(StoredIndexable&& other) noexcept
      : object(std::exchange(other.object, nullptr)),
        stamp(other.stamp),
        owner(std::move(other.owner)) {}
  StoredIndexable& operator=(StoredIndexable&& other) noexcept {
    object = std::exchange(other.object, nullptr);
    stamp = other.stamp;
    owner = std::move(other.owner);
    return *this;
  }

  bool empty() const noexcept { return object == nullptr; }
  const IndexAPI& record() const noexcept { return api_of(object); }
  ObjectId id() const noexcept { return record().id; }
  // Empties the slot. The stamp stays, so that a later object in this slot is
  // known to reuse a position some view may have selected.
  void vacate() noexcept {
    object = nullptr;
    owner = PythonHandle();
  }
};

// The stamp of the latest store write in the process.
uint64_t current_store_stamp() noexcept;
// The stamp of the latest write, in any store, of an object into a slot that
// held another object before. Views made after it can trust every slot of
// their ids; views made before must check each slot's stamp.
uint64_t last_reuse_stamp() noexcept;

}  // namespace qdx
