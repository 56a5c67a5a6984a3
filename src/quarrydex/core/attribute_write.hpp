// Assigning an attribute of a tracked object.
//
// Under the object's `index_links` mutex and then its attribute mutex, every
// live index linked to the object loses the object's id under the old value
// and gains it under the new one, and only then is the new value stored in
// the object's map. Both mutexes stay held until the map holds the new
// value, so two writers of one object leave every index agreeing with the
// value that won. Runs with the interpreter lock released.
#pragma once

#include <optional>

#include "values/index_api.hpp"
#include "values/value.hpp"

namespace qdx {

void write_attribute(const IndexAPI& record, uint32_t attribute, PyValue value);

// Stores the value without telling any index; the caller knows that no index
// is linked (it holds the links mutex and saw an empty list). Returns the
// replaced value, for the caller to drop once it holds no lock: dropping it
// may run Python code (a __del__) that writes to this very object.
[[nodiscard]] std::optional<PyValue> store_attribute(const IndexAPI& record, uint32_t attribute,
                                                     PyValue value);

}  // namespace qdx
