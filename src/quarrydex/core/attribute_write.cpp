#include "core/attribute_write.hpp"

#include <optional>

#include "core/index_state.hpp"
#include "core/nested_graph.hpp"
#include "core/private_values.hpp"
#include "core/value_insert.hpp"

namespace qdx {

std::optional<PyValue> write_attribute_locked(const IndexAPI& record, const ObjectGuard& guard,
                                              uint32_t attribute, PyValue value) {
  ObjectAttributes& attributes = record.attributes(guard);
  const IndexLinks& links = record.links(guard);
  if (!links.empty() && !is_private_attribute(attribute)) {
    const PyValue* old = attributes.map.get(attribute);
    links.for_each([&](const std::weak_ptr<IndexState>& link) {
      const std::shared_ptr<IndexState> state = link.lock();
      if (state != nullptr) replace_value(*state, link, record.id, attribute, old, value);
    });
  }
  std::optional<PyValue> replaced = attributes.map.insert(attribute, std::move(value));
  ++attributes.generation;
  return replaced;
}

void write_attribute(const IndexAPI& record, uint32_t attribute, PyValue value) {
  std::optional<PyValue> replaced;  // dropped once the lock is released
  {
    ObjectGuard guard(record.lock(), kWholeObject);
    replaced = write_attribute_locked(record, guard, attribute, std::move(value));
  }
  replaced.reset();
  // Nested objects the write linked or unlinked, with no lock of this object held.
  settle_nested();
}

}  // namespace qdx
