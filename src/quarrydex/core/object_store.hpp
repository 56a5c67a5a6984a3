// `ObjectStore`: the objects one index holds, by id, as parallel arrays.
//
// The object pointers sit alone in one contiguous array, so answering a query
// walks the result's ids and reads one word per object (8 bytes, not a whole
// slot) before taking its reference. Beside it, per id, the shared holder of
// the strong reference that keeps the object alive (so slots are written and
// dropped without the interpreter lock).
//
// Stamps (see StoredIndexable) only matter for a slot that took an object
// after holding another: a view or an iterator that selected the id before
// then must not see the newcomer. A slot filled for the first time cannot be
// in any selection made before it was filled, so its stamp is not kept: it
// reads as kFirstFill, below every stamp a selection is made at. Only the
// refilled slots keep their stamp, in a map that is empty until an id is
// reused, which saves a word per object in the common case.
//
// Invariants: the two arrays have one length, one more than the largest id
// ever stored (the store never shrinks); `objects[id]` is null exactly when
// `owners[id]` is empty; `filled_` holds every id that ever held an object;
// `refilled_` holds ids of `filled_` only, and keeps a stamp when its slot
// is emptied.
#pragma once

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include <absl/container/flat_hash_map.h>

#include "core/stored_indexable.hpp"
#include "structures/bitmap.hpp"

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
  // The stamp of a slot filled once and never refilled.
  static constexpr uint64_t kFirstFill = 1;
  // The stamp of the latest object put under `id` (0: none ever was).
  uint64_t stamp(ObjectId id) const {
    if (!refilled_.empty()) {
      if (const auto it = refilled_.find(id); it != refilled_.end()) return it->second;
    }
    return filled_.contains(id) ? kFirstFill : 0;
  }
  // The largest stamp of a refilled slot (0: none was refilled): no slot
  // carries a stamp above it or above kFirstFill.
  uint64_t latest_refill() const noexcept { return latest_refill_; }
  // The ids of refilled slots stamped after `stamp`.
  Bitmap refilled_after(uint64_t stamp) const {
    Bitmap ids;
    if (latest_refill_ <= stamp) return ids;
    for (const auto& [id, refill] : refilled_) {
      if (refill > stamp) ids.add(id);
    }
    return ids;
  }
  // The record of the object stored under `id` (which must be held).
  const IndexAPI& record(ObjectId id) const noexcept { return api_of(objects_[id]); }

  // A copy of the slot of `id`, sharing its holder; empty when not held.
  StoredIndexable slot(ObjectId id) const {
    StoredIndexable copy;
    if (!holds(id)) return copy;
    copy.object = objects_[id];
    copy.stamp = stamp(id);
    copy.owner = owners_[id];
    return copy;
  }
  // Puts `slot` (stamped by the caller) under `id`, growing the arrays. The
  // stamp is kept only when the slot held an object before.
  void put(ObjectId id, StoredIndexable slot) {
    if (objects_.size() <= id) {
      const size_t size = static_cast<size_t>(id) + 1;
      objects_.resize(size, nullptr);
      owners_.resize(size);
    }
    objects_[id] = std::exchange(slot.object, nullptr);
    owners_[id] = std::move(slot.owner);
    if (!filled_.contains(id)) {
      filled_.add(id);
    } else if (slot.stamp > kFirstFill) {
      refilled_[id] = slot.stamp;
      latest_refill_ = std::max(latest_refill_, slot.stamp);
    }
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
  std::vector<PythonHandle> owners_;
  Bitmap filled_;
  absl::flat_hash_map<ObjectId, uint64_t> refilled_;
  uint64_t latest_refill_ = 0;
};

}  // namespace qdx
