// Values that leave no entry in any value structure of an attribute: NaN
// (which equals nothing, so the numeric structure never stores it) and a list,
// tuple or set without any member (after flattening nested containers).
//
// The attribute still exists on such an object, so the attribute's value
// index keeps their ids in its `valueless` set: a presence test unites that
// set with the ids of every other component. The set is written by the same
// paths that insert and remove values, under its own reader-writer lock,
// which is innermost among a value index's component locks: no lock is ever
// taken while it is held.
#pragma once

#include <cstdint>

#include "values/value.hpp"

namespace qdx {

class ValueIndex;

// True for NaN and for containers whose flattened members are empty.
bool is_valueless(const PyValue& value);

// Records / forgets `id` when `value` is valueless; otherwise does nothing.
void mark_valueless(ValueIndex& index, uint32_t id, const PyValue& value);
void unmark_valueless(ValueIndex& index, uint32_t id, const PyValue& value);

}  // namespace qdx
