#include "core/index_state.hpp"

#include <atomic>

#include "core/value_index.hpp"

namespace qdx {
namespace {

std::atomic<uint64_t> g_store_stamp{0};

}  // namespace

uint64_t current_store_stamp() noexcept {
  return g_store_stamp.load(std::memory_order_acquire);
}

IndexState::IndexState(std::weak_ptr<IndexState> parent_link)
    : attributes(std::make_shared<RwLocked<AttributeTable>>()),
      store(std::make_shared<RwLocked<ObjectStore>>()),
      all_ids(std::make_shared<RwLocked<Bitmap>>()),
      parent(std::move(parent_link)) {}

IndexState::~IndexState() = default;

std::shared_ptr<IndexState> IndexState::make(std::weak_ptr<IndexState> parent_link) {
  return std::make_shared<IndexState>(std::move(parent_link));
}

std::shared_ptr<ValueIndex> find_value_index(IndexState& state, uint32_t attribute) {
  ReadGuard guard(state.attributes->lock());
  const AttributeTable& table = state.attributes->get(guard);
  return attribute < table.size() ? table[attribute] : nullptr;
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

void put_slot_locked(ObjectStore& store, StoredIndexable slot) {
  const ObjectId id = slot.id();
  if (store.size() <= id) store.resize(static_cast<size_t>(id) + 1);
  slot.stored_at = g_store_stamp.fetch_add(1, std::memory_order_acq_rel) + 1;
  store[id] = std::move(slot);
}

void store_object(IndexState& state, StoredIndexable slot) {
  const ObjectId id = slot.id();
  // The slot is written before the id is published in all_ids, so every id a
  // reader finds there already has its object.
  {
    WriteGuard guard(state.store->lock());
    put_slot_locked(state.store->get(guard), std::move(slot));
  }
  WriteGuard guard(state.all_ids->lock());
  state.all_ids->get(guard).add(id);
}

}  // namespace qdx
