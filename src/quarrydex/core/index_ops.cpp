#include "core/index_ops.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <vector>

#include "core/nested_graph.hpp"
#include "core/value_index.hpp"
#include "core/valueless.hpp"
#include "structures/id_alloc.hpp"
#include "structures/string_interner/interner.hpp"
#include "values/index_api.hpp"

namespace qdx {
namespace {

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

template <typename Component, typename F>
void write_component(RwLocked<Component>& component, F&& f) {
  WriteGuard guard(component.lock());
  f(component.get(guard));
}

// Drops `state` and every dead link from `links`.
void erase_link(IndexLinks& links, const IndexState* state) {
  links.erase(std::remove_if(links.begin(), links.end(),
                             [&](const auto& l) {
                               const auto locked = l.lock();
                               return locked == nullptr || locked.get() == state;
                             }),
              links.end());
}

}  // namespace

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
      record_nested_pair(index, id, value);
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
      drop_nested_pair(index, id, value);
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

void link_index_locked(MutexLocked<IndexLinks>& locked_links, const MutexGuard& guard,
                       const std::weak_ptr<IndexState>& state) {
  IndexLinks& links = locked_links.get(guard);
  const std::shared_ptr<IndexState> target = state.lock();
  if (target == nullptr) return;
  // Each live index is pinned while the list is rebuilt, so no link can
  // expire half-way through the sort and break its ordering.
  std::vector<std::shared_ptr<IndexState>> live;
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
  // The pins may be the last owners of an index dropped meanwhile; they go
  // here, still under the caller's mutex, which the index's destructor never takes.
}

void link_index(const IndexAPI& record, const std::weak_ptr<IndexState>& state) {
  MutexGuard guard(record.index_links->mutex());
  link_index_locked(*record.index_links, guard, state);
}

void unlink_index(const IndexAPI& record, const IndexState* state) {
  MutexGuard guard(record.index_links->mutex());
  erase_link(record.index_links->get(guard), state);
}

void drop_private_values(IndexState& state, ObjectId id) {
  std::vector<std::pair<uint32_t, PyValue>> recorded;
  {
    MutexGuard guard(state.private_values.mutex());
    PrivateValues& values = state.private_values.get(guard);
    const auto it = values.find(id);
    if (it == values.end()) return;
    recorded = std::move(it->second);
    values.erase(it);
  }
  for (const auto& [attribute, value] : recorded) remove_value(state, id, attribute, value);
}

void record_private_values(IndexState& state, ObjectId id, const AttributeMap& attributes) {
  std::vector<std::pair<uint32_t, PyValue>> found;
  attributes.for_each([&](uint32_t attribute, const PyValue& value) {
    if (is_private_attribute(attribute)) found.emplace_back(attribute, value);
  });
  MutexGuard guard(state.private_values.mutex());
  PrivateValues& values = state.private_values.get(guard);
  if (found.empty()) {
    values.erase(id);
  } else {
    values[id] = std::move(found);
  }
}

void add_object_unsettled(const std::shared_ptr<IndexState>& state, const StoredIndexable& slot,
                          bool skip_private) {
  const IndexAPI& record = slot.record();
  const std::weak_ptr<IndexState> link = state;
  MutexGuard links_guard(record.index_links->mutex());
  link_index_locked(*record.index_links, links_guard, link);
  MutexGuard guard(record.attributes->mutex(), kIndexableLockFailed);
  store_object(*state, slot);
  // The latest add decides which "_" values the index holds: none for this kind of add.
  if (skip_private) drop_private_values(*state, record.id);
  record.attributes->get(guard).map.for_each([&](uint32_t attribute, const PyValue& value) {
    if (skip_private && is_private_attribute(attribute)) return;
    insert_value(*state, link, record.id, attribute, value);
  });
}

void add_object(const std::shared_ptr<IndexState>& state, const StoredIndexable& slot,
                bool skip_private) {
  add_object_unsettled(state, slot, skip_private);
  settle_nested();
}

void remove_object(IndexState& state, ObjectId id) {
  StoredIndexable slot;
  {
    ReadGuard guard(state.store->lock());
    const ObjectStore& store = state.store->get(guard);
    if (!store.holds(id)) return;
    slot = store.slot(id);
  }
  const IndexAPI& record = slot.record();
  {
    // Both mutexes stay held until the values are gone and the link with
    // them: a write that ran before found the values to replace, a write
    // that runs after no longer reaches this index.
    MutexGuard links_guard(record.index_links->mutex());
    MutexGuard guard(record.attributes->mutex(), kIndexableLockFailed);
    record.attributes->get(guard).map.for_each([&](uint32_t attribute, const PyValue& value) {
      if (!is_private_attribute(attribute)) remove_value(state, id, attribute, value);
    });
    erase_link(record.index_links->get(links_guard), &state);
  }
  drop_private_values(state, id);
  {
    WriteGuard guard(state.all_ids->lock());
    state.all_ids->get(guard).remove(id);
  }
  WriteGuard guard(state.store->lock());
  ObjectStore& store = state.store->get(guard);
  if (store.object(id) == slot.object) store.vacate(id);
}

}  // namespace qdx
