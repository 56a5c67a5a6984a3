// Changing an index: inserting and removing attribute values, adding and
// removing objects, linking objects to the indexes that hold them.
//
// All of it runs with the interpreter lock released and never needs it:
// values were converted (container members included) with the lock held.
// Lock order: see base/locks.hpp.
#pragma once

#include <memory>
#include <vector>

#include "core/index_state.hpp"
#include "core/stored_indexable.hpp"
#include "values/value.hpp"

namespace qdx {

class ValueIndex;

// Records that object `id` has `value` in `attribute`.
void insert_value(IndexState& state, const std::weak_ptr<IndexState>& link, ObjectId id,
                  uint32_t attribute, const PyValue& value);
// Removes a value earlier inserted for the same object and attribute.
void remove_value(IndexState& state, ObjectId id, uint32_t attribute, const PyValue& value);

// remove_value(old) then insert_value(value), with a cheaper path when both
// are numbers.
void replace_value(IndexState& state, const std::weak_ptr<IndexState>& link, ObjectId id,
                   uint32_t attribute, const PyValue* old, const PyValue& value);

void insert_into(ValueIndex& index, ObjectId id, const PyValue& value);
void remove_from(ValueIndex& index, ObjectId id, const PyValue& value);

// Adds one object: links the index to it, stores it and inserts its current
// attribute values (names beginning with "_" are skipped when asked), then
// settles the nested objects it holds.
void add_object(const std::shared_ptr<IndexState>& state, const StoredIndexable& slot,
                bool skip_private);
// The same without settling; holds the object's mutexes (links, then
// attributes) throughout, so no write of the object interleaves.
void add_object_unsettled(const std::shared_ptr<IndexState>& state, const StoredIndexable& slot,
                          bool skip_private);
// Adds several objects; every attribute name is indexed.
void add_objects(const std::shared_ptr<IndexState>& state,
                 const std::vector<StoredIndexable>& slots);
// Takes an object out of an index: under the object's mutexes its values
// leave and the link goes, then its id and slot. Does not settle.
void remove_object(IndexState& state, ObjectId id);

// Appends a weak link to `state` to the object's links (their mutex held by
// `guard`), drops dead links and keeps the list sorted by the address of the state.
void link_index_locked(MutexLocked<IndexLinks>& links, const MutexGuard& guard,
                       const std::weak_ptr<IndexState>& state);
void link_index(const IndexAPI& record, const std::weak_ptr<IndexState>& state);
// Removes every link to `state` (and every dead link) from the object's links.
void unlink_index(const IndexAPI& record, const IndexState* state);

// Names beginning with "_" are stored on objects but not indexed by adds
// and writes. The empty name does not count.
bool is_private_attribute(uint32_t attribute);

// Forgets the "_" values recorded for `id` and removes them from the index.
void drop_private_values(IndexState& state, ObjectId id);
// Records the "_" values of `attributes` that were just indexed for `id`.
void record_private_values(IndexState& state, ObjectId id, const AttributeMap& attributes);

}  // namespace qdx
