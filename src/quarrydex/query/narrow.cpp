#include "query/narrow.hpp"

#include <vector>

#include "core/index_ops.hpp"
#include "core/value_index.hpp"
#include "structures/id_alloc.hpp"

namespace qdx {
namespace {

// Forgets the members of dropped owners; returns the ids that stay in the
// attribute's structures: the kept objects and their members.
Bitmap narrow_proxies(ValueIndex& index, const Bitmap& keep) {
  std::vector<uint32_t> released;
  Bitmap filter = keep.clone();
  {
    WriteGuard guard(index.proxies.lock());
    Proxies& proxies = index.proxies.get(guard);
    for (auto it = proxies.by_owner.begin(); it != proxies.by_owner.end();) {
      if (keep.contains(it->first)) {
        for (const ProxyRecord& record : it->second) filter.add(record.proxy);
        ++it;
        continue;
      }
      for (const ProxyRecord& record : it->second) {
        proxies.owner_of.erase(record.proxy);
        proxies.set.remove(record.proxy);
        released.push_back(record.proxy);
      }
      proxies.by_owner.erase(it++);
    }
  }
  for (uint32_t proxy : released) release_id(proxy);
  return filter;
}

template <typename Component>
void narrow_component(RwLocked<Component>& component, const Bitmap& filter) {
  WriteGuard guard(component.lock());
  component.get(guard).narrow(filter);
}

void narrow_value_index(ValueIndex& index, const Bitmap& keep) {
  const Bitmap filter = narrow_proxies(index, keep);
  narrow_component(index.numbers, filter);
  narrow_component(index.strings, filter);
  narrow_component(index.booleans, filter);
  index.hashed.narrow(filter);
  {
    WriteGuard guard(index.valueless.lock());
    index.valueless.get(guard).and_inplace(keep);
  }
  std::shared_ptr<IndexState> nested = index.nested();
  if (nested == nullptr) return;
  Bitmap children;
  {
    WriteGuard guard(nested->parents.lock());
    ParentMap& parents = nested->parents.get(guard);
    parents.retain_holders(filter);
    children = parents.children().clone();
  }
  narrow_index(nested, children);
}

}  // namespace

std::vector<StoredIndexable> slots_of(IndexState& state, const Bitmap& ids) {
  std::vector<StoredIndexable> slots;
  ReadGuard guard(state.store->lock());
  const ObjectStore& store = state.store->get(guard);
  ids.for_each([&](uint32_t id) {
    if (id < store.size() && !store[id].empty()) slots.push_back(store[id]);
  });
  return slots;
}

void narrow_index(const std::shared_ptr<IndexState>& state, const Bitmap& keep) {
  Bitmap kept;
  Bitmap dropped;
  {
    WriteGuard guard(state->all_ids->lock());
    Bitmap& all = state->all_ids->get(guard);
    dropped = all.clone();
    dropped.andnot_inplace(keep);
    all.and_inplace(keep);
    kept = all.clone();
  }
  // Unlink first: a write already running on a dropped object finishes
  // before its links mutex is free, and no later write reaches this index,
  // so nothing of a dropped object can come back once the structures are
  // narrowed.
  const std::vector<StoredIndexable> removed = slots_of(*state, dropped);
  for (const StoredIndexable& slot : removed) unlink_index(*slot.owned_handle, state.get());
  AttributeTable table;
  {
    ReadGuard guard(state->attributes->lock());
    table = state->attributes->get(guard);
  }
  for (const auto& index : table) {
    if (index != nullptr) narrow_value_index(*index, kept);
  }
  WriteGuard guard(state->store->lock());
  ObjectStore& store = state->store->get(guard);
  dropped.for_each([&](uint32_t id) {
    if (id < store.size()) store[id] = StoredIndexable{};
  });
}

std::shared_ptr<IndexState> rebase_index(IndexState& source, const Bitmap& ids) {
  auto fresh = IndexState::make();
  add_objects(fresh, slots_of(source, ids));
  return fresh;
}

}  // namespace qdx
