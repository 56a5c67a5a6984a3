#include "core/value_index.hpp"

#include "core/index_state.hpp"
#include "structures/id_alloc.hpp"

namespace qdx {

ValueIndex::ValueIndex(std::weak_ptr<IndexState> owner_link) : owner(std::move(owner_link)) {}

// Proxy ids come from the process-wide allocator; an index that goes away
// must give them back, or every dropped index would push new ids (and with
// them the length of every object store) ever higher.
ValueIndex::~ValueIndex() {
  const Proxies& remaining = proxies.unguarded();
  remaining.set.for_each([](uint32_t proxy) { release_id(proxy); });
}

std::shared_ptr<IndexState> ValueIndex::nested() const {
  const std::shared_ptr<IndexState> state = owner.lock();
  return state == nullptr ? nullptr : state->nested_index(false);
}

std::shared_ptr<IndexState> ValueIndex::nested_or_make() const {
  const std::shared_ptr<IndexState> state = owner.lock();
  return state == nullptr ? nullptr : state->nested_index(true);
}

}  // namespace qdx
