#include "core/attribute_write.hpp"

#include <optional>

#include "core/index_state.hpp"
#include "core/nested_graph.hpp"
#include "core/private_values.hpp"
#include "core/value_insert.hpp"

namespace qdx {

std::optional<PyValue> store_attribute(const IndexAPI& record, uint32_t attribute, PyValue value) {
  MutexGuard guard(record.attributes->mutex(), kIndexableLockFailed);
  ObjectAttributes& attributes = record.attributes->get(guard);
  std::optional<PyValue> replaced = attributes.map.insert(attribute, std::move(value));
  ++attributes.generation;
  return replaced;
}

void write_attribute(const IndexAPI& record, uint32_t attribute, PyValue value) {
  std::optional<PyValue> replaced;
  {
    MutexGuard links_guard(record.index_links->mutex());
    const IndexLinks& links = record.index_links->get(links_guard);
    MutexGuard guard(record.attributes->mutex(), kIndexableLockFailed);
    ObjectAttributes& attributes = record.attributes->get(guard);
    if (!is_private_attribute(attribute)) {
      const PyValue* old = attributes.map.get(attribute);
      for (const std::weak_ptr<IndexState>& link : links) {
        const std::shared_ptr<IndexState> state = link.lock();
        if (state == nullptr) continue;
        replace_value(*state, link, record.id, attribute, old, value);
      }
    }
    replaced = attributes.map.insert(attribute, std::move(value));
    ++attributes.generation;
  }
  // Nested objects the write linked or unlinked, with no lock of this object held.
  settle_nested();
}

}  // namespace qdx
