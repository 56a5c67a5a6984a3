#include "core/index_state.hpp"

#include <atomic>

#include "core/value_index.hpp"

namespace qdx {
namespace {

std::atomic<uint64_t> g_store_stamp{0};
std::atomic<uint64_t> g_reuse_stamp{0};

void raise_reuse_stamp(uint64_t stamp) noexcept {
  uint64_t seen = g_reuse_stamp.load(std::memory_order_relaxed);
  while (seen < stamp &&
         !g_reuse_stamp.compare_exchange_weak(seen, stamp, std::memory_order_acq_rel)) {
  }
}

}  // namespace

IndexState::IndexState(std::weak_ptr<IndexState> root, bool nested)
    : attributes(std::make_shared<RwLocked<AttributeTable>>()),
      store(std::make_shared<RwLocked<ObjectStore>>()),
      all_ids(std::make_shared<RwLocked<Bitmap>>()),
      parent(std::move(root)),
      is_nested(nested) {}

IndexState::~IndexState() {
  if (IndexAnchor* anchor = anchor_.load(std::memory_order_acquire)) IndexAnchor::release(anchor);
}

IndexAnchor& IndexState::anchor() {
  IndexAnchor* seen = anchor_.load(std::memory_order_acquire);
  if (seen != nullptr) return *seen;
  auto made = std::make_unique<IndexAnchor>(weak_from_this(), this);
  // Two first users may race; the loser's anchor is dropped unshared.
  if (anchor_.compare_exchange_strong(seen, made.get(), std::memory_order_acq_rel)) {
    return *made.release();
  }
  return *seen;
}

std::shared_ptr<IndexState> IndexState::make() {
  return std::make_shared<IndexState>(std::weak_ptr<IndexState>(), false);
}

std::shared_ptr<IndexState> IndexState::nested_index(bool make) {
  if (is_nested) return shared_from_this();
  MutexGuard guard(nested_mutex_);
  if (nested_ == nullptr && make) nested_ = std::make_shared<IndexState>(weak_from_this(), true);
  return nested_;
}

std::shared_ptr<ValueIndex> find_value_index(IndexState& state, uint32_t attribute) {
  ReadGuard guard(state.attributes->lock());
  const AttributeTable& table = state.attributes->get(guard);
  return attribute < table.size() ? table[attribute] : nullptr;
}

ValueIndex* value_index_at(IndexState& state, uint32_t attribute) {
  ReadGuard guard(state.attributes->lock());
  const AttributeTable& table = state.attributes->get(guard);
  return attribute < table.size() ? table[attribute].get() : nullptr;
}

std::shared_ptr<ValueIndex> value_index_for(IndexState& state,
                                            const std::weak_ptr<IndexState>& link,
                                            uint32_t attribute) {
  if (auto found = find_value_index(state, attribute)) return found;
  WriteGuard guard(state.attributes->lock());
  AttributeTable& table = state.attributes->get(guard);
  if (table.size() <= attribute) table.resize(static_cast<size_t>(attribute) + 1);
  // Another thread may have made it meanwhile; its values stay.
  if (table[attribute] == nullptr) table[attribute] = std::make_shared<ValueIndex>(link);
  return table[attribute];
}

bool holds_id(IndexState& state, ObjectId id) {
  ReadGuard guard(state.all_ids->lock());
  return state.all_ids->get(guard).contains(id);
}

std::vector<StoredIndexable> referenced_slots(IndexState& state, const Bitmap& ids,
                                              uint64_t max_stamp) {
  ReadGuard guard(state.store->lock());
  return state.store->get(guard).referenced(ids, max_stamp);
}

uint64_t current_store_stamp() noexcept {
  return g_store_stamp.load(std::memory_order_acquire);
}

uint64_t last_reuse_stamp() noexcept {
  return g_reuse_stamp.load(std::memory_order_acquire);
}

StoredIndexable put_slot_locked(RwLocked<ObjectStore>& store_lock, const WriteGuard& guard,
                                StoredIndexable slot) {
  QDX_DEBUG_CHECK(!slot.empty(), "an empty slot is never stored");
  ObjectStore& store = store_lock.get(guard);
  const ObjectId id = slot.id();
  if (store.object(id) == slot.object) {
    slot.stamp = store.stamp(id);
  } else {
    slot.stamp = g_store_stamp.fetch_add(1, std::memory_order_acq_rel) + 1;
    // A stamped slot held an object before: views must check their slots.
    if (store.stamp(id) != 0) raise_reuse_stamp(slot.stamp);
  }
  return store.put(id, std::move(slot));
}

void store_object(IndexState& state, StoredIndexable& slot) {
  const ObjectId id = slot.id();
  StoredIndexable released;
  {
    WriteGuard guard(state.store->lock());
    released = put_slot_locked(*state.store, guard, slot.hand_over());
  }
  WriteGuard guard(state.all_ids->lock());
  state.all_ids->get(guard).add(id);
}

}  // namespace qdx
