#include "core/private_values.hpp"

#include <string_view>
#include <vector>

#include "core/value_insert.hpp"
#include "structures/string_interner/interner.hpp"

namespace qdx {

bool is_private_attribute(uint32_t attribute) {
  // A name never changes for its id, so each thread remembers the answer.
  thread_local std::vector<int8_t> known;
  if (attribute < known.size() && known[attribute] >= 0) return known[attribute] == 1;
  const auto snapshot = interner().snapshot();
  const std::string_view name = snapshot.name(attribute);
  const bool is_private = !name.empty() && name.front() == '_';
  if (known.size() <= attribute) known.resize(static_cast<size_t>(attribute) + 1, -1);
  known[attribute] = is_private ? 1 : 0;
  return is_private;
}

void drop_private_values(IndexState& state, ObjectId id) {
  std::vector<std::pair<uint32_t, PyValue>> recorded;
  {
    MutexGuard guard(state.private_values.mutex());
    PrivateValues& values = state.private_values.get(guard);
    const auto it = values.find(id);
    if (it == values.end()) return;
    recorded = std::move(it->second);
    values.erase(it);
  }
  for (const auto& [attribute, value] : recorded) remove_value(state, id, attribute, value);
}

bool holds_private_values(IndexState& state) {
  MutexGuard guard(state.private_values.mutex());
  return !state.private_values.get(guard).empty();
}

void record_private_values(IndexState& state, ObjectId id, const AttributeMap& attributes) {
  std::vector<std::pair<uint32_t, PyValue>> found;
  attributes.for_each([&](uint32_t attribute, const PyValue& value) {
    if (is_private_attribute(attribute)) found.emplace_back(attribute, value);
  });
  MutexGuard guard(state.private_values.mutex());
  PrivateValues& values = state.private_values.get(guard);
  if (found.empty()) {
    values.erase(id);
  } else {
    values[id] = std::move(found);
  }
}

}  // namespace qdx
