// `ObjectStore`: the objects one index holds, by id.
//
// One word per id: the object pointer, which owns one strong reference to the
// object (dropped through release_store_reference, so slots are emptied
// without the interpreter lock). Answering a query walks the result's ids and
// reads that word per object before taking its reference. Objects reached
// through attribute values come with a share of their value's holder rather
// than a reference of their own (no reference can be made without the
// interpreter lock); those few keep the share in a side map and their pointer
// does not own a reference.
//
// A pointer read from the store stays valid after the store lock is released
// only while the reader holds a ReleaseHold taken before the read, or its own
// reference (see gil.hpp).
//
// Stamps (see StoredIndexable) only matter for a slot that took an object
// after holding another: a view or an iterator that selected the id before
// then must not see the newcomer. A slot filled for the first time cannot be
// in any selection made before it was filled, so its stamp is not kept: it
// reads as kFirstFill, below every stamp a selection is made at. Only the
// refilled slots keep their stamp, in a map that is empty until an id is
// reused, which saves a word per object in the common case.
//
// Invariants: the array's length is one more than the largest id ever stored
// (the store never shrinks); `objects_[id]` owns one reference exactly when it
// is not null and `shared_` has no entry for `id`; `shared_` has entries for
// held ids only; `filled_` holds every id that ever held an object;
// `refilled_` holds ids of `filled_` only, and keeps a stamp when its slot is
// emptied.
#pragma once

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include <absl/container/flat_hash_map.h>

#include "base/panic.hpp"
#include "core/stored_indexable.hpp"
#include "structures/bitmap.hpp"
#include "values/gil.hpp"
#include "values/python_ref.hpp"

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

  // The slot of `id` without a reference of its own (see above); empty when
  // not held.
  StoredIndexable borrow(ObjectId id) const {
    if (!holds(id)) return {};
    return StoredIndexable::borrowed(objects_[id], stamp(id));
  }
  // The slots of the held ids of `ids` stamped at most `max_stamp`, each with
  // a new reference. The caller holds the interpreter lock.
  std::vector<StoredIndexable> referenced(const Bitmap& ids, uint64_t max_stamp) const {
    std::vector<StoredIndexable> slots;
    slots.reserve(ids.cardinality());
    ids.for_each([&](uint32_t id) {
      if (holds(id) && stamp(id) <= max_stamp) {
        slots.push_back(StoredIndexable::owning(PyRef::borrow(objects_[id])));
      }
    });
    return slots;
  }

  // Puts `slot` (stamped by the caller) under `id`, growing the array. The
  // store takes over what keeps the object alive. The stamp is kept only when
  // the slot held an object before. Returns what the store no longer needs
  // (the incoming slot's reference when the same object was held already, or
  // the object it replaces), for the caller to drop once the lock is gone.
  StoredIndexable put(ObjectId id, StoredIndexable slot) {
    if (!slot.owns_reference() && !slot.is_shared()) panic("a store slot must keep its object");
    if (objects_.size() <= id) objects_.resize(static_cast<size_t>(id) + 1, nullptr);
    if (objects_[id] == slot.object) return slot;
    StoredIndexable replaced = take(id);
    objects_[id] = slot.object;
    if (slot.is_shared()) shared_.emplace(id, slot.release_share());
    slot.release_reference();
    if (!filled_.contains(id)) {
      filled_.add(id);
    } else if (slot.stamp > kFirstFill) {
      refilled_[id] = slot.stamp;
      latest_refill_ = std::max(latest_refill_, slot.stamp);
    }
    return replaced;
  }
  // Moves the slot of `id` out (empty when not held), leaving an empty slot
  // that keeps its stamp, so that a later object there is known to reuse a
  // position some view may have selected.
  StoredIndexable take(ObjectId id) {
    if (!holds(id)) return {};
    PyObject* object = std::exchange(objects_[id], nullptr);
    StoredIndexable taken;
    if (!shared_.empty()) {
      if (auto it = shared_.find(id); it != shared_.end()) {
        taken = StoredIndexable::shared(std::move(it->second));
        shared_.erase(it);
      }
    }
    if (taken.empty()) taken = StoredIndexable::owning(PyRef::steal(object));
    taken.stamp = stamp(id);
    return taken;
  }

  ObjectStore() = default;
  ObjectStore(const ObjectStore&) = delete;
  ObjectStore& operator=(const ObjectStore&) = delete;
  ~ObjectStore() {
    for (const auto& [id, share] : shared_) objects_[id] = nullptr;
    release_store_references(objects_.data(), objects_.size());
  }

 private:
  std::vector<PyObject*> objects_;
  absl::flat_hash_map<ObjectId, PythonHandle> shared_;
  Bitmap filled_;
  absl::flat_hash_map<ObjectId, uint64_t> refilled_;
  uint64_t latest_refill_ = 0;
};

}  // namespace qdx
