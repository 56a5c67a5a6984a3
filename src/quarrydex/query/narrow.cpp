#include "query/narrow.hpp"

#include <atomic>
#include <vector>

#include "core/bulk_insert.hpp"
#include "core/index_links.hpp"
#include "core/nested_graph.hpp"
#include "core/value_index.hpp"
#include "structures/id_alloc.hpp"

namespace qdx {
namespace {

// Forgets the members of dropped owners; returns the ids to take out of the
// attribute's structures: the dropped objects and the proxies of their members.
// The proxy ids go back to the allocator only once they are out of every
// structure (`released`): handed out again earlier, a writer could insert a
// kept object's member under one, and the narrowing would then remove it.
Bitmap drop_proxies_of(ValueIndex& index, const Bitmap& dropped, std::vector<uint32_t>& released) {
  Bitmap removed = dropped.clone();
  {
    WriteGuard guard(index.proxies.lock());
    Proxies& proxies = index.proxies.get(guard);
    dropped.for_each([&](uint32_t owner) {
      const auto it = proxies.by_owner.find(owner);
      if (it == proxies.by_owner.end()) return;
      for (const ProxyRecord& record : it->second) {
        proxies.owner_of.erase(record.proxy);
        proxies.set.remove(record.proxy);
        removed.add(record.proxy);
        released.push_back(record.proxy);
      }
      proxies.by_owner.erase(it);
    });
  }
  return removed;
}

// Takes exactly the removed ids out. The structures are narrowed to the
// complement of what is removed, never to a snapshot of what is kept: writers
// of kept objects run meanwhile and insert members under fresh proxy ids,
// which a snapshot taken before would not contain.
template <typename Component>
void narrow_component(RwLocked<Component>& component, const Bitmap& removed) {
  WriteGuard guard(component.lock());
  // Read under the lock: every id in the component was handed out before,
  // so the range covers it; later ids cannot be in the component yet.
  Bitmap filter = Bitmap::range(0, id_high_water());
  filter.andnot_inplace(removed);
  component.get(guard).narrow(filter);
}

void narrow_value_index(ValueIndex& index, const Bitmap& dropped) {
  std::vector<uint32_t> released;
  const Bitmap removed = drop_proxies_of(index, dropped, released);
  narrow_component(index.numbers, removed);
  narrow_component(index.strings, removed);
  narrow_component(index.booleans, removed);
  index.hashed.narrow_except(removed);
  {
    WriteGuard guard(index.valueless.lock());
    index.valueless.get(guard).andnot_inplace(removed);
  }
  drop_nested_holders(index, removed);
  for (uint32_t proxy : released) release_id(proxy);
}

// Narrowings between withdrawing ids and finishing with the structures. One
// count for every index: it is rarely above zero, and a query that sees it so
// only loses a shortcut.
std::atomic<uint32_t> g_narrowing{0};

struct NarrowingMark {
  NarrowingMark() noexcept { g_narrowing.fetch_add(1, std::memory_order_seq_cst); }
  ~NarrowingMark() { g_narrowing.fetch_sub(1, std::memory_order_seq_cst); }
  NarrowingMark(const NarrowingMark&) = delete;
  NarrowingMark& operator=(const NarrowingMark&) = delete;
};

}  // namespace

bool narrowing_in_progress() noexcept {
  return g_narrowing.load(std::memory_order_seq_cst) != 0;
}

// Takes the slots of `ids` out of the store; their references keep the
// objects alive while the narrowing reads them.
std::vector<StoredIndexable> take_slots(IndexState& state, const Bitmap& ids) {
  std::vector<StoredIndexable> slots;
  WriteGuard guard(state.store->lock());
  ObjectStore& store = state.store->get(guard);
  ids.for_each([&](uint32_t id) {
    if (StoredIndexable slot = store.take(id); !slot.empty()) slots.push_back(std::move(slot));
  });
  return slots;
}

void narrow_index(const std::shared_ptr<IndexState>& state, const Bitmap& keep) {
  // Marked before any id is withdrawn, cleared once the structures hold none.
  const NarrowingMark mark;
  Bitmap dropped;
  {
    WriteGuard guard(state->all_ids->lock());
    Bitmap& all = state->all_ids->get(guard);
    dropped = all.clone();
    dropped.andnot_inplace(keep);
    all.andnot_inplace(dropped);
  }
  if (!dropped.empty()) {
    // Unlink first: a write already running on a dropped object finishes
    // before its object lock is free, and no later write reaches this index,
    // so nothing of a dropped object can come back once the structures are
    // narrowed.
    const std::vector<StoredIndexable> removed = take_slots(*state, dropped);
    for (const StoredIndexable& slot : removed) unlink_index(slot.record(), state.get());
    AttributeTable table;
    {
      ReadGuard guard(state->attributes->lock());
      table = state->attributes->get(guard);
    }
    for (const auto& index : table) {
      if (index != nullptr) narrow_value_index(*index, dropped);
    }
    MutexGuard guard(state->private_values.mutex());
    PrivateValues& values = state->private_values.get(guard);
    dropped.for_each([&](uint32_t id) { values.erase(id); });
  }
  settle_nested();
  // Narrowing is linear in the index anyway; reclaim cut-off cycles now.
  if (auto nested = state->nested_index(false)) sweep_nested(nested);
}

std::shared_ptr<IndexState> rebase_index(std::vector<StoredIndexable> slots) {
  auto fresh = IndexState::make();
  add_objects(fresh, std::move(slots));
  return fresh;
}

}  // namespace qdx
