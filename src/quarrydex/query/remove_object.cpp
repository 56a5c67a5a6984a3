#include "query/remove_object.hpp"

#include "core/index_links.hpp"
#include "core/nested_graph.hpp"
#include "core/object_membership.hpp"
#include "core/value_index.hpp"
#include "core/value_insert.hpp"
#include "core/valueless.hpp"
#include "values/value_visit.hpp"

namespace qdx {
namespace {

// Whether `index` stores `value` for `id` (then removing it is sound).
bool stores_value(ValueIndex& index, uint32_t id, const PyValue& value) {
  if (is_valueless(value)) {
    ReadGuard guard(index.valueless.lock());
    return index.valueless.get(guard).contains(id);
  }
  return visit_value(value, Overloaded{
                                [&](const NumberValue& number) {
                                  ReadGuard guard(index.numbers.lock());
                                  const auto key = numeric_key(number.value);
                                  return key && index.numbers.get(guard).exact.holds(*key, id);
                                },
                                [&](const StringValue& string) {
                                  ReadGuard guard(index.strings.lock());
                                  return index.strings.get(guard).exact.holds(string.text, id);
                                },
                                [&](const BoolValue& boolean) {
                                  ReadGuard guard(index.booleans.lock());
                                  return index.booleans.get(guard).set(boolean.truth).contains(id);
                                },
                                [&](const ContainerValue&) {
                                  ReadGuard guard(index.proxies.lock());
                                  return index.proxies.get(guard).by_owner.contains(id);
                                },
                                [&](const OneOf<NestedValue, HashedValue> auto& other) {
                                  const auto set = index.hashed.lookup(other.value);
                                  return set && set->contains(id);
                                },
                            });
}

StoredIndexable take_slot(IndexState& state, const IndexAPI& record) {
  WriteGuard guard(state.store->lock());
  ObjectStore& store = state.store->get(guard);
  const ObjectId id = record.id;
  if (!store.holds(id) || &store.record(id) != &record) return {};
  return store.take(id);
}

}  // namespace

bool holds_object(IndexState& state, const IndexAPI& record) {
  ReadGuard guard(state.store->lock());
  const ObjectStore& store = state.store->get(guard);
  return store.holds(record.id) && &store.record(record.id) == &record;
}

bool remove_held_object(const std::shared_ptr<IndexState>& state, const IndexAPI& record) {
  if (!holds_object(*state, record)) return false;
  unlink_index(record, state.get());
  const StoredIndexable slot = take_slot(*state, record);
  if (slot.empty()) return false;  // another thread removed it meanwhile
  const ObjectId id = record.id;
  {
    ObjectGuard guard(record.lock(), kAttributesPart);
    record.attributes(guard).map.for_each([&](uint32_t attribute, const PyValue& value) {
      std::shared_ptr<ValueIndex> index = find_value_index(*state, attribute);
      if (index != nullptr && stores_value(*index, id, value)) remove_from(*index, id, value);
    });
  }
  // Nested objects that only this object held leave the nested index now,
  // with no object lock held.
  settle_nested();
  WriteGuard guard(state->all_ids->lock());
  state->all_ids->get(guard).remove(id);
  return true;
}

}  // namespace qdx
