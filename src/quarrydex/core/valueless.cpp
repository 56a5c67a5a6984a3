#include "core/valueless.hpp"

#include <cmath>

#include "core/value_index.hpp"

namespace qdx {

bool is_valueless(const PyValue& value) {
  switch (value.kind()) {
    case ValueKind::kFloat:
      return std::isnan(value.as_float());
    case ValueKind::kIterable: {
      const auto& members = value.as_iterable().members;
      if (members == nullptr) return true;
      for (const PyValue& member : *members) {
        if (member.kind() != ValueKind::kIterable || !is_valueless(member)) return false;
      }
      return true;
    }
    default:
      return false;
  }
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
