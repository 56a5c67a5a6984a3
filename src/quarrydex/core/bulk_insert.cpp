// Adding many objects at once.
//
// The batch first stores every object and links the index to it. It then
// copies each object's attribute values (under the object's lock,
// one object at a time) and inserts the plain values attribute by attribute:
// the components of one attribute are write-locked together, its values are
// grouped by kind, and each structure is built from its group (numbers and
// strings sorted once), then the locks and groups go before the next attribute.
// No object lock is held meanwhile, so concurrent batches and writers cannot
// wait on each other in a cycle. Last, each object is visited again under its
// lock: containers and nested objects are inserted there, and an
// object written since its values were copied has its copied values removed
// and its current values inserted, so a racing write is never undone.
#include "core/bulk_insert.hpp"

#include <algorithm>
#include <cmath>
#include <span>
#include <vector>

#include <absl/container/flat_hash_map.h>

#include "base/panic.hpp"
#include "core/index_links.hpp"
#include "core/nested_graph.hpp"
#include "core/private_values.hpp"
#include "core/value_index.hpp"
#include "core/value_insert.hpp"
#include "core/valueless.hpp"
#include "structures/scratch_allocator.hpp"
#include "values/index_api.hpp"
#include "values/value_visit.hpp"

namespace qdx {
namespace {

// The batch's copies live in two flat scratch buffers (see ScratchAllocator),
// so that nothing of them stays resident once the batch is done.
// The object's id sits in what would be padding beside the attribute.
struct CopiedValue {
  uint32_t attribute;
  ObjectId id;
  PyValue value;
};

struct CopiedObject {
  const IndexAPI* record;
  uint64_t generation;
  uint32_t begin;  // its values are values[begin, end) of the batch
  uint32_t end;
};

struct Copies {
  ScratchVector<CopiedObject> objects;
  ScratchVector<CopiedValue> values;

  std::span<const CopiedValue> values_of(const CopiedObject& copy) const {
    return {values.data() + copy.begin, copy.end - copy.begin};
  }
};

bool is_plain(const PyValue& value) {
  return value.kind() != ValueKind::kIterable && value.kind() != ValueKind::kInd;
}

void copy_values(const IndexAPI& record, Copies& copies) {
  ObjectGuard guard(record.lock(), kAttributesPart);
  const ObjectAttributes& attributes = record.attributes(guard);
  const size_t begin = copies.values.size();
  attributes.map.for_each([&](uint32_t attribute, const PyValue& value) {
    copies.values.push_back({attribute, record.id, value});
  });
  // Positions are 32-bit: a batch of 4G values would need 100+ GiB anyway.
  if (copies.values.size() > UINT32_MAX) panic("bulk insertion of over 2^32 values");
  copies.objects.push_back({&record, attributes.generation, static_cast<uint32_t>(begin),
                            static_cast<uint32_t>(copies.values.size())});
}

// Replaces the copies by those of `records`; the buffers keep their capacity.
void copy_all(std::span<const IndexAPI* const> records, Copies& copies) {
  copies.objects.clear();
  copies.values.clear();
  copies.objects.reserve(records.size());
  for (const IndexAPI* record : records) {
    copy_values(*record, copies);
    // Objects of one batch tend to have as many attributes as the first.
    if (copies.objects.size() == 1) {
      copies.values.reserve(copies.values.size() * records.size() + 1);
    }
  }
}

// The plain values of the batch ordered by attribute, as positions into the
// copies: 4 bytes per value, where a column of (id, value) pairs per
// attribute held at once would cost 16. `starts` has one more entry than
// `attributes`; attribute a's positions are positions[starts[a], starts[a+1]).
struct ByAttribute {
  std::vector<uint32_t> attributes;  // ascending
  std::vector<size_t> starts;
  ScratchVector<uint32_t> positions;
};

// Counters per attribute. A batch names few attributes, each object in
// about the same order, so the slot of a value's attribute is usually the one
// after the previous value's: that guess is checked before the hash map.
class AttributeCounts {
 public:
  size_t& operator[](uint32_t attribute) {
    if (++guess_ >= entries_.size() || entries_[guess_].first != attribute) {
      const auto [it, fresh] = slot_of_.try_emplace(attribute, entries_.size());
      if (fresh) entries_.emplace_back(attribute, 0);
      guess_ = it->second;
    }
    return entries_[guess_].second;
  }
  std::vector<std::pair<uint32_t, size_t>>& entries() { return entries_; }

 private:
  std::vector<std::pair<uint32_t, size_t>> entries_;
  absl::flat_hash_map<uint32_t, size_t> slot_of_;
  size_t guess_ = SIZE_MAX;
};

void order_by_attribute(const Copies& copies, ByAttribute& order) {
  order.attributes.clear();
  order.starts.clear();
  AttributeCounts counts;
  for (const auto& [attribute, id, value] : copies.values) {
    if (is_plain(value)) ++counts[attribute];
  }
  std::vector<std::pair<uint32_t, size_t>> sizes = counts.entries();
  std::sort(sizes.begin(), sizes.end());
  absl::flat_hash_map<uint32_t, size_t> start_of;
  size_t total = 0;
  for (const auto& [attribute, size] : sizes) {
    order.attributes.push_back(attribute);
    order.starts.push_back(total);
    start_of[attribute] = total;
    total += size;
  }
  order.starts.push_back(total);
  order.positions.resize(total);
  // The counters become each attribute's next position.
  for (auto& [attribute, next] : counts.entries()) next = start_of[attribute];
  for (size_t i = 0; i < copies.values.size(); ++i) {
    const auto& [attribute, id, value] = copies.values[i];
    if (is_plain(value)) order.positions[counts[attribute]++] = static_cast<uint32_t>(i);
  }
}

// A column's numbers and strings, kept from slice to slice so that their
// pages are mapped once per batch.
struct Groups {
  ScratchVector<std::pair<OrderKey, uint32_t>> numbers;
  ScratchVector<std::pair<std::string_view, uint32_t>> strings;
};

// Groups the column by kind; numbers and strings are then sorted once and
// each structure is built from its group (see NumericValues::insert_many and
// StringValues::insert_many).
void insert_column(ValueIndex& index, const Copies& copies, std::span<const uint32_t> column,
                   Groups& groups) {
  auto& [number_items, string_items] = groups;
  number_items.clear();
  string_items.clear();
  WriteGuard numbers_guard(index.numbers.lock());
  WriteGuard strings_guard(index.strings.lock());
  WriteGuard booleans_guard(index.booleans.lock());
  BooleanSets& booleans = index.booleans.get(booleans_guard);
  for (const uint32_t position : column) {
    const ObjectId id = copies.values[position].id;
    const PyValue* value = &copies.values[position].value;
    mark_valueless(index, id, *value);
    visit_value(*value,
                Overloaded{
                    [&](const NumberValue& number) {
                      if (const auto key = numeric_key(number.value)) {
                        number_items.emplace_back(*key, id);
                      }
                    },
                    [&](const StringValue& string) { string_items.emplace_back(string.text, id); },
                    [&](const BoolValue& boolean) { booleans.buffered_insert(id, boolean.truth); },
                    // Containers and nested objects are not plain: they
                    // never reach a column.
                    [&](const OneOf<ContainerValue, NestedValue, HashedValue> auto& other) {
                      index.hashed.insert(other.value, id);
                    },
                });
  }
  // Buffers are emptied before the locks go, so readers always see every id.
  booleans.flush();
  if (!number_items.empty()) index.numbers.get(numbers_guard).insert_many(number_items);
  if (!string_items.empty()) index.strings.get(strings_guard).insert_many(string_items);
}

// The store takes over each slot's reference; the slots stay readable as
// borrowed pointers (the caller's ReleaseHold keeps them valid).
void store_and_link(IndexState& state, const std::weak_ptr<IndexState>& link,
                    std::vector<StoredIndexable>& slots) {
  for (const StoredIndexable& slot : slots) link_index(slot.record(), link);
  // What the store lets go of (an object listed twice) is dropped after the lock.
  std::vector<StoredIndexable> released;
  // Slots first, ids after: every id a reader finds has its object.
  {
    WriteGuard store_guard(state.store->lock());
    for (StoredIndexable& slot : slots) {
      StoredIndexable spare = put_slot_locked(*state.store, store_guard, slot.hand_over());
      if (!spare.empty()) released.push_back(std::move(spare));
    }
  }
  WriteGuard ids_guard(state.all_ids->lock());
  Bitmap& ids = state.all_ids->get(ids_guard);
  for (const StoredIndexable& slot : slots) ids.add(slot.id());
}

void finish_object(IndexState& state, const std::weak_ptr<IndexState>& link, const Copies& copies,
                   const CopiedObject& copy) {
  const IndexAPI& record = *copy.record;
  ObjectGuard guard(record.lock(), kAttributesPart);
  const ObjectAttributes& attributes = record.attributes(guard);
  const bool raced = attributes.generation != copy.generation;
  if (raced) {
    for (const auto& [attribute, id, value] : copies.values_of(copy)) {
      if (is_plain(value)) remove_value(state, record.id, attribute, value);
    }
  }
  attributes.map.for_each([&](uint32_t attribute, const PyValue& value) {
    if (raced || !is_plain(value)) insert_value(state, link, record.id, attribute, value);
  });
  record_private_values(state, record.id, attributes.map);
}

}  // namespace

void add_objects(const std::shared_ptr<IndexState>& state, std::vector<StoredIndexable> slots) {
  if (slots.empty()) return;
  const size_t count = slots.size();
  // Once stored, an object may be taken out again by another thread: the
  // hold keeps it alive while this batch still reads it.
  const ReleaseHold hold;
  const std::weak_ptr<IndexState> link = state;
  store_and_link(*state, link, slots);
  // A re-added object: the "_" values of its previous add leave first, so
  // the index holds those of this add only (writes do not update them).
  if (holds_private_values(*state)) {
    for (const StoredIndexable& slot : slots) drop_private_values(*state, slot.id());
  }
  // The store keeps the objects now, and the slots only point at them: a
  // pointer to each record, a quarter of a slot, is all the batch still
  // needs, and the slots go before the batch's scratch is made.
  ScratchVector<const IndexAPI*> records;
  records.reserve(count);
  for (const StoredIndexable& slot : slots) records.push_back(&slot.record());
  std::vector<StoredIndexable>().swap(slots);

  // The batch goes through in slices, each copied, inserted and finished
  // before the next, so the copies of one slice are all the scratch held.
  // Chosen: 2^17 objects, a few tens of megabytes of copies at most for
  // objects of a few attributes, and few enough slices that each structure
  // still takes long sorted runs.
  constexpr size_t kSlice = size_t{1} << 17;
  Copies copies;
  ByAttribute order;
  Groups groups;
  absl::flat_hash_map<uint32_t, std::shared_ptr<ValueIndex>> touched;
  for (size_t begin = 0; begin < count; begin += kSlice) {
    const std::span<const IndexAPI* const> slice =
        std::span(records).subspan(begin, std::min(kSlice, count - begin));
    copy_all(slice, copies);
    order_by_attribute(copies, order);
    for (size_t a = 0; a < order.attributes.size(); ++a) {
      const std::span<const uint32_t> column(order.positions.data() + order.starts[a],
                                             order.starts[a + 1] - order.starts[a]);
      std::shared_ptr<ValueIndex>& index = touched[order.attributes[a]];
      if (index == nullptr) index = value_index_for(*state, link, order.attributes[a]);
      insert_column(*index, copies, column, groups);
    }
    for (const CopiedObject& copy : copies.objects) finish_object(*state, link, copies, copy);
  }
  for (const auto& [attribute, index] : touched) {
    WriteGuard guard(index->numbers.lock());
    index->numbers.get(guard).rebuild_sample();
  }
  settle_nested();
}

}  // namespace qdx
