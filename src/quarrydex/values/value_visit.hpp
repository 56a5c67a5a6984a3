// `visit_value`: the one place that sorts a value by kind into the shape an
// index keeps it in.
//
//   shape           kinds         kept in (core/value_index.hpp)
//   NumberValue     Int, Float    numbers (NaN nowhere: it equals nothing)
//   StringValue     Str           strings
//   BoolValue       Bool          booleans
//   ContainerValue  Iterable      proxies, one per member
//   NestedValue     Ind           hashed, plus the parent pair
//   HashedValue     Unknown       hashed
//
// Every operation that depends on where a value lives (inserting, removing,
// the bulk build, equality lookups, ordering groups) is a visitor with one
// overload per shape, so a new kind is routed here once, and each visitor
// that does not handle its shape stops compiling. Shapes that one operation
// treats alike share an overload through `OneOf`.
#pragma once

#include <concepts>
#include <string_view>
#include <utility>

#include "base/panic.hpp"
#include "values/value.hpp"

namespace qdx {

struct NumberValue {
  const PyValue& value;
};
struct StringValue {
  const PyValue& value;
  std::string_view text;
};
struct BoolValue {
  const PyValue& value;
  bool truth;
};
struct ContainerValue {
  const PyValue& value;
};
struct NestedValue {
  const PyValue& value;
};
struct HashedValue {
  const PyValue& value;
};

// A visitor overload for several shapes: `[](const OneOf<A, B> auto& v)`.
template <typename T, typename... Shapes>
concept OneOf = (std::same_as<T, Shapes> || ...);

// Builds one visitor from several lambdas.
template <typename... F>
struct Overloaded : F... {
  using F::operator()...;
};

template <typename Visitor>
decltype(auto) visit_value(const PyValue& value, Visitor&& visitor) {
  switch (value.kind()) {
    case ValueKind::kInt:
    case ValueKind::kFloat:
      return std::forward<Visitor>(visitor)(NumberValue{value});
    case ValueKind::kStr:
      return std::forward<Visitor>(visitor)(StringValue{value, value.as_str()});
    case ValueKind::kBool:
      return std::forward<Visitor>(visitor)(BoolValue{value, value.as_bool()});
    case ValueKind::kIterable:
      return std::forward<Visitor>(visitor)(ContainerValue{value});
    case ValueKind::kInd:
      return std::forward<Visitor>(visitor)(NestedValue{value});
    case ValueKind::kUnknown:
      return std::forward<Visitor>(visitor)(HashedValue{value});
  }
  panic("value of no known kind");
}

}  // namespace qdx
