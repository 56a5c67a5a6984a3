// Assigning an attribute of a tracked object.
//
// Under the object's lock (links and attributes), every live index linked to
// the object loses the object's id under the old value and gains it under
// the new one, and only then is the new value stored in the object's map.
// The lock stays held until the map holds the new value, so two writers of
// one object leave every index agreeing with the value that won. Index work
// runs with the interpreter lock released.
#pragma once

#include <optional>

#include "values/index_api.hpp"
#include "values/value.hpp"

namespace qdx {

// Takes the object's lock, writes, releases it and settles the nested
// objects the write linked or unlinked.
void write_attribute(const IndexAPI& record, uint32_t attribute, PyValue value);

// The write with the object's lock already held by `guard` (links and
// attributes). Returns the replaced value, for the caller to drop once it
// holds no lock: dropping it may run Python code (a __del__) that writes to
// this very object. The caller settles the nested objects after releasing
// the lock. When no index is linked this is a plain store and needs no
// interpreter lock released; otherwise the caller has released it.
[[nodiscard]] std::optional<PyValue> write_attribute_locked(const IndexAPI& record,
                                                            const ObjectGuard& guard,
                                                            uint32_t attribute, PyValue value);

}  // namespace qdx
