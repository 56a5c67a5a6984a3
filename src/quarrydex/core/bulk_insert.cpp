// Adding many objects at once.
//
// The batch first stores every object and links the index to it. It then
// copies each object's attribute values (under the object's attribute mutex,
// one object at a time) and inserts the plain values attribute by attribute:
// the components of one attribute are write-locked together and fed through
// their cells' buffers, then flushed and released before the next attribute.
// No object lock is held meanwhile, so concurrent batches and writers cannot
// wait on each other in a cycle. Last, each object is visited again under its
// attribute mutex: containers and nested objects are inserted there, and an
// object written since its values were copied has its copied values removed
// and its current values inserted, so a racing write is never undone.
#include <algorithm>
#include <cmath>
#include <map>
#include <vector>

#include "core/index_ops.hpp"
#include "core/nested_graph.hpp"
#include "core/value_index.hpp"
#include "core/valueless.hpp"
#include "values/index_api.hpp"

namespace qdx {
namespace {

struct CopiedObject {
  const StoredIndexable* slot;
  uint64_t generation;
  std::vector<std::pair<uint32_t, PyValue>> values;
};

bool is_plain(const PyValue& value) {
  return value.kind() != ValueKind::kIterable && value.kind() != ValueKind::kInd;
}

CopiedObject copy_values(const StoredIndexable& slot) {
  const IndexAPI& record = *slot.owned_handle;
  MutexGuard guard(record.attributes->mutex(), kIndexableLockFailed);
  const ObjectAttributes& attributes = record.attributes->get(guard);
  CopiedObject copy{&slot, attributes.generation, {}};
  copy.values.reserve(attributes.map.size());
  attributes.map.for_each([&](uint32_t attribute, const PyValue& value) {
    copy.values.emplace_back(attribute, value);
  });
  return copy;
}

using Column = std::vector<std::pair<ObjectId, const PyValue*>>;

void insert_column(ValueIndex& index, const Column& column) {
  WriteGuard numbers_guard(index.numbers.lock());
  WriteGuard strings_guard(index.strings.lock());
  WriteGuard booleans_guard(index.booleans.lock());
  NumericValues& numbers = index.numbers.get(numbers_guard);
  StringValues& strings = index.strings.get(strings_guard);
  BooleanSets& booleans = index.booleans.get(booleans_guard);
  for (const auto& [id, value] : column) {
    mark_valueless(index, id, *value);
    switch (value->kind()) {
      case ValueKind::kInt:
      case ValueKind::kFloat:
        if (const auto key = numeric_key(*value)) numbers.buffered_insert(id, *key);
        break;
      case ValueKind::kStr:
        strings.buffered_insert(id, value->as_str());
        break;
      case ValueKind::kBool:
        booleans.buffered_insert(id, value->as_bool());
        break;
      default:
        index.hashed.insert(*value, id);
    }
  }
  // Buffers are emptied before the locks go, so readers always see every id.
  numbers.flush();
  booleans.flush();
  strings.flush();
}

void store_and_link(IndexState& state, const std::weak_ptr<IndexState>& link,
                    const std::vector<StoredIndexable>& slots) {
  for (const StoredIndexable& slot : slots) link_index(*slot.owned_handle, link);
  // Slots first, ids after: every id a reader finds has its object.
  {
    WriteGuard store_guard(state.store->lock());
    for (const StoredIndexable& slot : slots) put_slot_locked(*state.store, store_guard, slot);
  }
  WriteGuard ids_guard(state.all_ids->lock());
  Bitmap& ids = state.all_ids->get(ids_guard);
  for (const StoredIndexable& slot : slots) ids.add(slot.id());
}

void finish_object(IndexState& state, const std::weak_ptr<IndexState>& link,
                   const CopiedObject& copy) {
  const IndexAPI& record = *copy.slot->owned_handle;
  MutexGuard guard(record.attributes->mutex(), kIndexableLockFailed);
  const ObjectAttributes& attributes = record.attributes->get(guard);
  const bool raced = attributes.generation != copy.generation;
  if (raced) {
    for (const auto& [attribute, value] : copy.values) {
      if (is_plain(value)) remove_value(state, record.id, attribute, value);
    }
  }
  attributes.map.for_each([&](uint32_t attribute, const PyValue& value) {
    if (raced || !is_plain(value)) insert_value(state, link, record.id, attribute, value);
  });
  record_private_values(state, record.id, attributes.map);
}

}  // namespace

void add_objects(const std::shared_ptr<IndexState>& state,
                 const std::vector<StoredIndexable>& slots) {
  if (slots.empty()) return;
  const std::weak_ptr<IndexState> link = state;
  store_and_link(*state, link, slots);
  // A re-added object: the "_" values of its previous add leave first, so
  // the index holds those of this add only (writes do not update them).
  for (const StoredIndexable& slot : slots) drop_private_values(*state, slot.id());

  std::vector<CopiedObject> copies;
  copies.reserve(slots.size());
  for (const StoredIndexable& slot : slots) copies.push_back(copy_values(slot));

  std::map<uint32_t, Column> columns;  // ascending attribute id
  for (const CopiedObject& copy : copies) {
    for (const auto& [attribute, value] : copy.values) {
      if (is_plain(value)) columns[attribute].emplace_back(copy.slot->id(), &value);
    }
  }
  for (const auto& [attribute, column] : columns) {
    insert_column(*value_index_for(*state, link, attribute), column);
  }
  for (const CopiedObject& copy : copies) finish_object(*state, link, copy);
  settle_nested();
}

}  // namespace qdx
