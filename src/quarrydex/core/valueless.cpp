#include "core/valueless.hpp"

#include <cmath>

#include "core/value_index.hpp"
#include "values/value_visit.hpp"

namespace qdx {

bool is_valueless(const PyValue& value) {
  return visit_value(
      value,
      Overloaded{
          [](const NumberValue& number) {
            return number.value.kind() == ValueKind::kFloat && std::isnan(number.value.as_float());
          },
          [](const ContainerValue& container) {
            const auto& members = container.value.as_iterable().members;
            if (members == nullptr) return true;
            for (const PyValue& member : *members) {
              if (member.kind() != ValueKind::kIterable || !is_valueless(member)) {
                return false;
              }
            }
            return true;
          },
          [](const OneOf<StringValue, BoolValue, NestedValue, HashedValue> auto&) { return false; },
      });
}

void mark_valueless(ValueIndex& index, uint32_t id, const PyValue& value) {
  if (!is_valueless(value)) return;
  WriteGuard guard(index.valueless.lock());
  index.valueless.get(guard).add(id);
}

void unmark_valueless(ValueIndex& index, uint32_t id, const PyValue& value) {
  if (!is_valueless(value)) return;
  WriteGuard guard(index.valueless.lock());
  index.valueless.get(guard).remove(id);
}

}  // namespace qdx
