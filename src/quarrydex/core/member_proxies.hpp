// Members of list, tuple and set values: each member is indexed under a
// proxy id of its own, owned by the object that holds the container (see
// the proxies component in value_index.hpp).
#pragma once

#include "structures/id_alloc.hpp"
#include "values/value.hpp"

namespace qdx {

class ValueIndex;

// Indexes the members of `container` (containers nested in it flattened)
// under fresh proxies of `owner`, after dropping the owner's previous ones.
void insert_members(ValueIndex& index, ObjectId owner, const PyValue& container);
// Removes every member indexed for `owner` and releases its proxy ids.
void drop_proxies(ValueIndex& index, ObjectId owner);

}  // namespace qdx
