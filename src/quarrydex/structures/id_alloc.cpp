#include "structures/id_alloc.hpp"

#include <limits>
#include <optional>

#include "base/panic.hpp"

namespace qdx {

ObjectId IdAllocator::allocate() {
  std::optional<ObjectId> id;
  {
    MutexGuard guard(state_.mutex());
    State& state = state_.get(guard);
    if (!state.free.empty()) {
      id = state.free.back();
      state.free.pop_back();
    } else if (state.next <= std::numeric_limits<ObjectId>::max()) {
      id = static_cast<ObjectId>(state.next++);
    }
  }
  // Raised after the guard is gone: running out is not a broken allocator,
  // and the mutex must stay usable for the releases that follow.
  if (!id) panic("object id space exhausted");
  return *id;
}

void IdAllocator::release(ObjectId id) {
  MutexGuard guard(state_.mutex());
  state_.get(guard).free.push_back(id);
}

IdAllocator& id_allocator() {
  static IdAllocator* const instance = new IdAllocator();
  return *instance;
}

uint64_t IdAllocator::high_water() {
  MutexGuard guard(state_.mutex());
  return state_.get(guard).next;
}

}  // namespace qdx
