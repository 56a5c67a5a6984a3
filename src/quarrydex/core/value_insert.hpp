// Inserting and removing the values of one object's attributes.
//
// All of it runs with the interpreter lock released and never needs it:
// values were converted (container members included) with the lock held.
// Lock order: see base/locks.hpp.
#pragma once

#include <memory>

#include "core/index_state.hpp"
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

}  // namespace qdx
