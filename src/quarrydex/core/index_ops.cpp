#include "core/index_ops.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <vector>

#include "core/value_index.hpp"
#include "core/valueless.hpp"
#include "structures/id_alloc.hpp"
#include "structures/string_interner/interner.hpp"
#include "values/index_api.hpp"

namespace qdx {
namespace {

thread_local std::vector<ObjectId> t_in_progress;

std::weak_ptr<IndexState> weak_of(const std::shared_ptr<IndexState>& state) {
  return state;
}

// Members of a container value, containers nested in it flattened, each
// with a fresh proxy id.
void collect_members(const PyValue& container, std::vector<ProxyRecord>& out) {
  for (const PyValue& member : *container.as_iterable().members) {
    if (member.kind() == ValueKind::kIterable) {
      collect_members(member, out);
    } else {
      out.push_back({allocate_id(), member});
    }
  }
}

void drop_proxies(ValueIndex& index, ObjectId owner) {
  std::vector<ProxyRecord> records;
  {
    WriteGuard guard(index.proxies.lock());
    Proxies& proxies = index.proxies.get(guard);
    auto it = proxies.by_owner.find(owner);
    if (it == proxies.by_owner.end()) return;
    records = std::move(it->second);
    proxies.by_owner.erase(it);
    for (const ProxyRecord& record : records) {
      proxies.owner_of.erase(record.proxy);
      proxies.set.remove(record.proxy);
    }
  }
  for (const ProxyRecord& record : records) {
    remove_from(index, record.proxy, record.member);
    release_id(record.proxy);
  }
}

void insert_members(ValueIndex& index, ObjectId owner, const PyValue& container) {
  // The same object added twice: its old members go first, so proxies never leak.
  drop_proxies(index, owner);
  std::vector<ProxyRecord> records;
  collect_members(container, records);
  if (records.empty()) return;
  {
    WriteGuard guard(index.proxies.lock());
    Proxies& proxies = index.proxies.get(guard);
    for (const ProxyRecord& record : records) {
      proxies.owner_of[record.proxy] = owner;
      proxies.set.add(record.proxy);
    }
    proxies.by_owner[owner] = records;
  }
  for (const ProxyRecord& record : records) insert_into(index, record.proxy, record.member);
}

// Objects that already hold `holder` through this attribute, one level up too.
bool would_cycle(IndexState& nested, ObjectId holder, ObjectId child) {
  Bitmap holders;
  {
    ReadGuard guard(nested.parents.lock());
    holders = nested.parents.get(guard).holders_of_one(holder);
  }
  if (auto parent = nested.parent.lock()) {
    ReadGuard guard(parent->parents.lock());
    holders.or_inplace(parent->parents.get(guard).holders_of(holders));
  }
  return holders.contains(child);
}

void insert_nested(ValueIndex& index, ObjectId holder, const PyValue& value) {
  const IndexAPI& record = value.as_ind();
  const ObjectId child = record.id;
  if (InProgress::contains(child)) return;
  std::shared_ptr<IndexState> nested = index.nested_or_make();
  if (would_cycle(*nested, holder, child)) return;
  bool known;
  {
    WriteGuard guard(nested->parents.lock());
    ParentMap& parents = nested->parents.get(guard);
    known = parents.is_child(child);
    parents.record_pair(holder, child);
  }
  if (!known) add_object(nested, StoredIndexable{value.obj(), value.ind_record()}, true);
}

void remove_nested(ValueIndex& index, ObjectId holder, const PyValue& value) {
  std::shared_ptr<IndexState> nested = index.nested();
  if (nested == nullptr) return;
  const ObjectId child = value.as_ind().id;
  bool orphaned;
  {
    WriteGuard guard(nested->parents.lock());
    orphaned = nested->parents.get(guard).remove_pair(holder, child);
  }
  if (orphaned) remove_object(*nested, child);
}

template <typename Component, typename F>
void write_component(RwLocked<Component>& component, F&& f) {
  WriteGuard guard(component.lock());
  f(component.get(guard));
}

}  // namespace

InProgress::InProgress(ObjectId id) {
  t_in_progress.push_back(id);
}
InProgress::~InProgress() {
  t_in_progress.pop_back();
}
bool InProgress::contains(ObjectId id) {
  return std::find(t_in_progress.begin(), t_in_progress.end(), id) != t_in_progress.end();
}

bool is_private_attribute(uint32_t attribute) {
  // A name never changes for its id, so each thread remembers the answer.
  thread_local std::vector<int8_t> known;
  if (attribute < known.size() && known[attribute] >= 0) return known[attribute] == 1;
  const auto snapshot = interner().snapshot();
  const std::string_view name = snapshot.name(attribute);
  const bool is_private = !name.empty() && name.front() == '_';
  if (known.size() <= attribute) known.resize(static_cast<size_t>(attribute) + 1, -1);
  known[attribute] = is_private ? 1 : 0;
  return is_private;
}

void insert_into(ValueIndex& index, ObjectId id, const PyValue& value) {
  mark_valueless(index, id, value);
  switch (value.kind()) {
    case ValueKind::kInt:
    case ValueKind::kFloat:
      if (const auto key = numeric_key(value)) {
        write_component(index.numbers, [&](auto& c) { c.insert(id, *key); });
      }
      break;
    case ValueKind::kStr:
      write_component(index.strings, [&](auto& c) { c.insert(id, value.as_str()); });
      break;
    case ValueKind::kBool:
      write_component(index.booleans, [&](auto& c) { c.insert(id, value.as_bool()); });
      break;
    case ValueKind::kIterable:
      insert_members(index, id, value);
      break;
    case ValueKind::kInd:
      index.hashed.insert(value, id);
      insert_nested(index, id, value);
      break;
    case ValueKind::kUnknown:
      index.hashed.insert(value, id);
      break;
  }
}

void remove_from(ValueIndex& index, ObjectId id, const PyValue& value) {
  unmark_valueless(index, id, value);
  switch (value.kind()) {
    case ValueKind::kInt:
    case ValueKind::kFloat:
      if (const auto key = numeric_key(value)) {
        write_component(index.numbers, [&](auto& c) { c.remove(id, *key); });
      }
      break;
    case ValueKind::kStr:
      write_component(index.strings, [&](auto& c) { c.remove(id, value.as_str()); });
      break;
    case ValueKind::kBool:
      write_component(index.booleans, [&](auto& c) { c.remove(id, value.as_bool()); });
      break;
    case ValueKind::kIterable:
      drop_proxies(index, id);
      break;
    case ValueKind::kInd:
      index.hashed.remove(value, id);
      remove_nested(index, id, value);
      break;
    case ValueKind::kUnknown:
      index.hashed.remove(value, id);
      break;
  }
}

void insert_value(IndexState& state, const std::weak_ptr<IndexState>& link, ObjectId id,
                  uint32_t attribute, const PyValue& value) {
  std::shared_ptr<ValueIndex> index = value_index_for(state, link, attribute);
  insert_into(*index, id, value);
}

void replace_value(IndexState& state, const std::weak_ptr<IndexState>& link, ObjectId id,
                   uint32_t attribute, const PyValue* old, const PyValue& value) {
  const auto old_key = old != nullptr ? numeric_key(*old) : std::nullopt;
  const auto new_key = numeric_key(value);
  if (old_key && new_key) {
    std::shared_ptr<ValueIndex> index = find_value_index(state, attribute);
    if (index != nullptr) {
      write_component(index->numbers, [&](auto& c) { c.replace(id, *old_key, *new_key); });
      return;
    }
  }
  if (old != nullptr) remove_value(state, id, attribute, *old);
  insert_value(state, link, id, attribute, value);
}

void remove_value(IndexState& state, ObjectId id, uint32_t attribute, const PyValue& value) {
  std::shared_ptr<ValueIndex> index = find_value_index(state, attribute);
  if (index != nullptr) remove_from(*index, id, value);
}

void link_index(const IndexAPI& record, const std::weak_ptr<IndexState>& state) {
  const std::shared_ptr<IndexState> target = state.lock();
  if (target == nullptr) return;
  // Each live index is pinned while the list is rebuilt, so no link can
  // expire half-way through the sort and break its ordering. Declared before
  // the guard, the pins are dropped after the mutex is released.
  std::vector<std::shared_ptr<IndexState>> live;
  MutexGuard guard(record.index_links->mutex());
  IndexLinks& links = record.index_links->get(guard);
  live.reserve(links.size() + 1);
  for (const auto& link : links) {
    if (auto locked = link.lock()) live.push_back(std::move(locked));
  }
  // One link per index: adding an object twice must not make every later
  // write update that index twice.
  if (std::find(live.begin(), live.end(), target) == live.end()) live.push_back(target);
  std::sort(live.begin(), live.end(), [](const auto& a, const auto& b) {
    return std::less<const IndexState*>()(a.get(), b.get());
  });
  links.clear();
  for (const auto& locked : live) links.push_back(locked);
}

void unlink_index(const IndexAPI& record, const IndexState* state) {
  MutexGuard guard(record.index_links->mutex());
  IndexLinks& links = record.index_links->get(guard);
  links.erase(std::remove_if(links.begin(), links.end(),
                             [&](const auto& l) {
                               const auto locked = l.lock();
                               return locked == nullptr || locked.get() == state;
                             }),
              links.end());
}

void add_object(const std::shared_ptr<IndexState>& state, const StoredIndexable& slot,
                bool skip_private) {
  const IndexAPI& record = *slot.owned_handle;
  const std::weak_ptr<IndexState> link = weak_of(state);
  link_index(record, link);
  InProgress in_progress(record.id);
  MutexGuard guard(record.attributes->mutex(), kIndexableLockFailed);
  store_object(*state, slot);
  record.attributes->get(guard).map.for_each([&](uint32_t attribute, const PyValue& value) {
    if (skip_private && is_private_attribute(attribute)) return;
    insert_value(*state, link, record.id, attribute, value);
  });
}

void remove_object(IndexState& state, ObjectId id) {
  StoredIndexable slot;
  {
    WriteGuard guard(state.store->lock());
    ObjectStore& store = state.store->get(guard);
    // A nested add that recorded its pair may not have stored the object yet
    // when another thread removes the pair again; there is nothing to remove.
    if (id >= store.size()) return;
    slot = std::move(store[id]);
    store[id] = StoredIndexable{};
  }
  if (slot.empty()) return;
  const IndexAPI& record = *slot.owned_handle;
  if (!InProgress::contains(id)) {
    InProgress in_progress(id);
    MutexGuard guard(record.attributes->mutex(), kIndexableLockFailed);
    record.attributes->get(guard).map.for_each([&](uint32_t attribute, const PyValue& value) {
      if (!is_private_attribute(attribute)) remove_value(state, id, attribute, value);
    });
  }
  {
    WriteGuard guard(state.all_ids->lock());
    state.all_ids->get(guard).remove(id);
  }
  unlink_index(record, &state);
}

}  // namespace qdx
