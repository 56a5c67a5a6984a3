// Assigning an attribute of a tracked object.
//
// Under the object's `index_links` mutex and then its attribute mutex, every
// live index linked to the object loses the object's id under the old value
// and gains it under the new one, and only then is the new value stored in
// the object's map. Both mutexes stay held until the map holds the new
// value, so two writers of one object leave every index agreeing with the
// value that won. Runs with the interpreter lock released.
#pragma once

#include "values/index_api.hpp"
#include "values/value.hpp"

namespace qdx {

void write_attribute(const IndexAPI& record, uint32_t attribute, PyValue value);

// Stores the value without telling any index; the caller knows that no index
// is linked (it holds the links mutex and saw an empty list).
void store_attribute(const IndexAPI& record, uint32_t attribute, PyValue value);

}  // namespace qdx
