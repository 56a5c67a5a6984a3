// `StoredIndexable`: the contents of one object-store slot (see
// object_store.hpp) on its way into or out of a store.
//
// `object` is the stored `Indexable`. The slot carries at most one way of
// keeping it alive, and a store takes that over when the slot is put in:
//   - an owned strong reference (`owning`, or a slot taken out of a store):
//     made under the interpreter lock, dropped through the store's release
//     (release_store_reference), so the slot may be moved and dropped by any
//     thread;
//   - a share of a value's holder (`shared`): for objects reached through
//     attribute values, whose holders are copied without the interpreter lock;
//   - nothing (`borrowed`): the caller keeps the object alive otherwise, by a
//     ReleaseHold taken before the pointer was read from a store, or by a
//     reference of its own.
// The object's record (its id, attribute map and index links) is the one
// embedded in the object itself, found from the pointer. An empty slot
// (`object` null) stands for a position whose id the index does not hold.
//
// `stamp` orders the moments objects entered slots (process-wide, increasing):
// it is set when a slot receives an object it did not hold, so a view made
// before that moment can tell that an object reusing a dropped object's id is
// not one it selected.
#pragma once

#include <cstdint>
#include <utility>

#include "values/gil.hpp"
#include "values/index_api.hpp"
#include "values/indexable_object.hpp"
#include "values/python_ref.hpp"

namespace qdx {

class StoredIndexable {
 public:
  PyObject* object = nullptr;
  uint64_t stamp = 0;

  StoredIndexable() noexcept = default;
  // A slot owning the reference `ref` holds.
  static StoredIndexable owning(PyRef ref) noexcept {
    StoredIndexable slot;
    slot.object = ref.release();
    slot.owned_ = slot.object != nullptr;
    return slot;
  }
  // A slot sharing the holder of `handle`.
  static StoredIndexable shared(PythonHandle handle) noexcept {
    StoredIndexable slot;
    slot.object = handle.get();
    slot.shared_ = std::move(handle);
    return slot;
  }
  // A slot that keeps nothing alive (see above).
  static StoredIndexable borrowed(PyObject* object, uint64_t stamp = 0) noexcept {
    StoredIndexable slot;
    slot.object = object;
    slot.stamp = stamp;
    return slot;
  }

  ~StoredIndexable() { drop(); }
  StoredIndexable(StoredIndexable&& other) noexcept
      : object(std::exchange(other.object, nullptr)),
        stamp(other.stamp),
        owned_(std::exchange(other.owned_, false)),
        shared_(std::move(other.shared_)) {}
  StoredIndexable& operator=(StoredIndexable&& other) noexcept {
    if (this != &other) {
      drop();
      object = std::exchange(other.object, nullptr);
      stamp = other.stamp;
      owned_ = std::exchange(other.owned_, false);
      shared_ = std::move(other.shared_);
    }
    return *this;
  }
  StoredIndexable(const StoredIndexable&) = delete;
  StoredIndexable& operator=(const StoredIndexable&) = delete;

  bool empty() const noexcept { return object == nullptr; }
  bool owns_reference() const noexcept { return owned_; }
  bool is_shared() const noexcept { return static_cast<bool>(shared_); }
  const IndexAPI& record() const noexcept { return api_of(object); }
  ObjectId id() const noexcept { return record().id; }

  // Moves what keeps the object alive into a new slot, leaving this one
  // borrowed (its pointer stays): the store takes the new slot, and this one
  // stays readable while the caller keeps the object alive.
  StoredIndexable hand_over() noexcept {
    StoredIndexable moved;
    moved.object = object;
    moved.stamp = stamp;
    moved.owned_ = std::exchange(owned_, false);
    moved.shared_ = std::move(shared_);
    return moved;
  }
  // Hands the owned reference to the caller (null when none is owned).
  PyObject* release_reference() noexcept { return std::exchange(owned_, false) ? object : nullptr; }
  PythonHandle release_share() noexcept { return std::move(shared_); }

 private:
  void drop() noexcept {
    if (std::exchange(owned_, false)) release_store_reference(object);
    shared_.reset();
  }

  bool owned_ = false;
  PythonHandle shared_;
};

// The stamp of the latest store write in the process.
uint64_t current_store_stamp() noexcept;
// The stamp of the latest write, in any store, of an object into a slot that
// held another object before. Views made after it can trust every slot of
// their ids; views made before must check each slot's stamp.
uint64_t last_reuse_stamp() noexcept;

}  // namespace qdx
