// Object ids and their allocator.
//
// An `ObjectId` names one indexable object in the whole process: the same
// object has the same id in every index, which is what lets id sets of
// different indexes be combined directly. The allocator hands out ids from a
// counter that starts at 1 (0 is never produced by the counter) and reuses
// released ids last-released-first, so a freshly freed id is the next one
// handed out.
//
// Invariants: an id is on the free list at most once, and never while its
// owner still holds it (the caller's duty: release each id once, only after
// its owner is gone). The counter never wraps: once it has handed out
// 2^32 - 1 and the free list is empty, `allocate` throws the internal fatal
// error "object id space exhausted" rather than hand out an id that may still
// be in use. The allocator stays usable afterwards: a later release makes
// allocation succeed again.
//
// Locks: one mutex (with the failed mark) guards the counter and the free
// list; it is the innermost lock of the module, nothing else is taken while
// it is held. Any thread may allocate and release at any time.
#pragma once

#include <cstdint>
#include <vector>

#include "base/locks.hpp"

namespace qdx {

using ObjectId = uint32_t;

class IdAllocator {
 public:
  // `first` is the counter's starting value; tests start near the top.
  explicit IdAllocator(uint32_t first = 1) : state_(State{first, {}}) {}
  IdAllocator(const IdAllocator&) = delete;
  IdAllocator& operator=(const IdAllocator&) = delete;

  // The most recently released id, else the next counter value. Panics when
  // both are exhausted.
  ObjectId allocate();
  // Makes `id` available again. Precondition: `id` came from this allocator
  // and is not on the free list.
  void release(ObjectId id);
  // One past the largest id ever handed out: every id in use is below it.
  uint64_t high_water();

 private:
  struct State {
    uint64_t next;  // one past the 32-bit range means exhausted
    std::vector<ObjectId> free;
  };
  MutexLocked<State> state_;
};

// The process-wide allocator: made on first use, never destroyed.
IdAllocator& id_allocator();
inline ObjectId allocate_id() {
  return id_allocator().allocate();
}
inline void release_id(ObjectId id) {
  id_allocator().release(id);
}
inline uint64_t id_high_water() {
  return id_allocator().high_water();
}

}  // namespace qdx
