// `ObjectStore`: the objects one index holds, by id, as parallel arrays.
//
// The object pointers sit alone in one contiguous array, so answering a query
// walks the result's ids and reads one word per object (8 bytes, not a whole
// slot) before taking its reference. Beside it, per id: the stamp of the
// moment the object entered (see StoredIndexable) and the shared holder of the
// strong reference that keeps the object alive (so slots are written and
// dropped without the interpreter lock).
//
// Invariants: the three arrays have one length, one more than the largest id
// ever stored (the store never shrinks); `objects[id]` is null exactly when
// `owners[id]` is empty (an empty slot keeps its stamp).
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "core/stored_indexable.hpp"

namespace qdx {

class ObjectStore {
 public:
  size_t size() const noexcept { return objects_.size(); }
  // The object stored under `id`, or nullptr (an empty slot, or beyond the end).
  PyObject* object(ObjectId id) const noexcept {
    return id < objects_.size() ? objects_[id] : nullptr;
  }
  bool holds(ObjectId id) const noexcept { return object(id) != nullptr; }
  // The object pointers, `size()` of them.
  PyObject* const* objects() const noexcept { return objects_.data(); }
  // The stamp of the latest object put under `id` (0: none ever was).
  uint64_t stamp(ObjectId id) const noexcept { return id < stamps_.size() ? stamps_[id] : 0; }
  // The record of the object stored under `id` (which must be held).
  const IndexAPI& record(ObjectId id) const noexcept { return api_of(objects_[id]); }

  // A copy of the slot of `id`, sharing its holder; empty when not held.
  StoredIndexable slot(ObjectId id) const {
    StoredIndexable copy;
    if (!holds(id)) return copy;
    copy.object = objects_[id];
    copy.stamp = stamps_[id];
    copy.owner = owners_[id];
    return copy;
  }
  // Puts `slot` (stamped by the caller) under `id`, growing the arrays.
  void put(ObjectId id, StoredIndexable slot) {
    if (objects_.size() <= id) {
      const size_t size = static_cast<size_t>(id) + 1;
      objects_.resize(size, nullptr);
      stamps_.resize(size, 0);
      owners_.resize(size);
    }
    objects_[id] = std::exchange(slot.object, nullptr);
    stamps_[id] = slot.stamp;
    owners_[id] = std::move(slot.owner);
  }
  // Moves the slot of `id` out, leaving an empty slot that keeps its stamp.
  StoredIndexable take(ObjectId id) {
    StoredIndexable taken = slot(id);
    vacate(id);
    return taken;
  }
  // Empties the slot of `id`; the stamp stays, so that a later object there is
  // known to reuse a position some view may have selected.
  void vacate(ObjectId id) noexcept {
    if (id >= objects_.size()) return;
    objects_[id] = nullptr;
    owners_[id] = PythonHandle();
  }

 private:
  std::vector<PyObject*> objects_;
  std::vector<uint64_t> stamps_;
  std::vector<PythonHandle> owners_;
};

}  // namespace qdx
