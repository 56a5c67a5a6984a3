#include "core/object_membership.hpp"

#include "core/index_links.hpp"
#include "core/nested_graph.hpp"
#include "core/private_values.hpp"
#include "core/value_insert.hpp"
#include "values/index_api.hpp"

namespace qdx {

void add_object_unsettled(const std::shared_ptr<IndexState>& state, StoredIndexable slot,
                          bool skip_private) {
  const IndexAPI& record = slot.record();
  const std::weak_ptr<IndexState> link = state;
  ObjectGuard guard(record.lock(), kWholeObject);
  link_index_locked(record, guard, link);
  store_object(*state, slot);
  // The latest add decides which "_" values the index holds: none for this kind of add.
  if (skip_private) drop_private_values(*state, record.id);
  record.attributes(guard).map.for_each([&](uint32_t attribute, const PyValue& value) {
    if (skip_private && is_private_attribute(attribute)) return;
    insert_value(*state, link, record.id, attribute, value);
  });
}

void add_object(const std::shared_ptr<IndexState>& state, StoredIndexable slot, bool skip_private) {
  add_object_unsettled(state, std::move(slot), skip_private);
  settle_nested();
}

void remove_object(IndexState& state, ObjectId id) {
  StoredIndexable slot;
  {
    WriteGuard guard(state.store->lock());
    slot = state.store->get(guard).take(id);
  }
  if (slot.empty()) return;
  const IndexAPI& record = slot.record();
  {
    // The object's lock stays held until the values are gone and the link
    // with them: a write that ran before found the values to replace, a
    // write that runs after no longer reaches this index.
    ObjectGuard guard(record.lock(), kWholeObject);
    record.attributes(guard).map.for_each([&](uint32_t attribute, const PyValue& value) {
      if (!is_private_attribute(attribute)) remove_value(state, id, attribute, value);
    });
    unlink_index_locked(record, guard, &state);
  }
  drop_private_values(state, id);
  WriteGuard guard(state.all_ids->lock());
  state.all_ids->get(guard).remove(id);
}

}  // namespace qdx
