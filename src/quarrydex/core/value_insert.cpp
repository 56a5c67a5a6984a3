#include "core/value_insert.hpp"

#include <cmath>
#include <optional>

#include "core/member_proxies.hpp"
#include "core/nested_graph.hpp"
#include "core/value_index.hpp"
#include "core/valueless.hpp"
#include "values/value_visit.hpp"

namespace qdx {
namespace {

template <typename Component, typename F>
void write_component(RwLocked<Component>& component, F&& f) {
  WriteGuard guard(component.lock());
  f(component.get(guard));
}

}  // namespace

void insert_into(ValueIndex& index, ObjectId id, const PyValue& value) {
  mark_valueless(index, id, value);
  visit_value(
      value,
      Overloaded{
          [&](const NumberValue& number) {
            if (const auto key = numeric_key(number.value)) {
              write_component(index.numbers, [&](auto& c) { c.insert(id, *key); });
            }
          },
          [&](const StringValue& string) {
            write_component(index.strings, [&](auto& c) { c.insert(id, string.text); });
          },
          [&](const BoolValue& boolean) {
            write_component(index.booleans, [&](auto& c) { c.insert(id, boolean.truth); });
          },
          [&](const ContainerValue& container) { insert_members(index, id, container.value); },
          [&](const NestedValue& nested) {
            index.hashed.insert(nested.value, id);
            record_nested_pair(index, id, nested.value);
          },
          [&](const HashedValue& other) { index.hashed.insert(other.value, id); },
      });
}

void remove_from(ValueIndex& index, ObjectId id, const PyValue& value) {
  unmark_valueless(index, id, value);
  visit_value(value,
              Overloaded{
                  [&](const NumberValue& number) {
                    if (const auto key = numeric_key(number.value)) {
                      write_component(index.numbers, [&](auto& c) { c.remove(id, *key); });
                    }
                  },
                  [&](const StringValue& string) {
                    write_component(index.strings, [&](auto& c) { c.remove(id, string.text); });
                  },
                  [&](const BoolValue& boolean) {
                    write_component(index.booleans, [&](auto& c) { c.remove(id, boolean.truth); });
                  },
                  [&](const ContainerValue&) { drop_proxies(index, id); },
                  [&](const NestedValue& nested) {
                    index.hashed.remove(nested.value, id);
                    drop_nested_pair(index, id, nested.value);
                  },
                  [&](const HashedValue& other) { index.hashed.remove(other.value, id); },
              });
}

void insert_value(IndexState& state, const std::weak_ptr<IndexState>& link, ObjectId id,
                  uint32_t attribute, const PyValue& value) {
  std::shared_ptr<ValueIndex> index = value_index_for(state, link, attribute);
  insert_into(*index, id, value);
}

void replace_value(IndexState& state, const std::weak_ptr<IndexState>& link, ObjectId id,
                   uint32_t attribute, const PyValue* old, const PyValue& value) {
  const auto old_key = old != nullptr ? numeric_key(*old) : std::nullopt;
  const auto new_key = numeric_key(value);
  if (old_key && new_key) {
    if (ValueIndex* index = value_index_at(state, attribute)) {
      write_component(index->numbers, [&](auto& c) { c.replace(id, *old_key, *new_key); });
      return;
    }
  }
  if (old != nullptr && old->kind() == ValueKind::kStr && value.kind() == ValueKind::kStr) {
    if (ValueIndex* index = value_index_at(state, attribute)) {
      write_component(index->strings,
                      [&](auto& c) { c.replace(id, old->as_str(), value.as_str()); });
      return;
    }
  }
  if (old != nullptr) remove_value(state, id, attribute, *old);
  insert_value(state, link, id, attribute, value);
}

void remove_value(IndexState& state, ObjectId id, uint32_t attribute, const PyValue& value) {
  if (ValueIndex* index = value_index_at(state, attribute)) remove_from(*index, id, value);
}

}  // namespace qdx
