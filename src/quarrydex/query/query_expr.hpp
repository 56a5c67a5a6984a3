// `QueryExpr`: an immutable query tree.
//
// Fifteen kinds, in a fixed order (the order is also the rendering name
// table and the kind number). A node owns its fields and children outright:
// a tree, never a shared graph. Copying a node deep-copies the subtree; values
// share their Python objects through their handles, so copies need no
// interpreter lock.
//
//   kind       fields
//   Eq Ne Gt Ge Lt Le StartsWi EndsWi Contains   attribute, value
//   Not        child
//   In         attribute, values
//   And Or     children
//   Bt         attribute, lower, upper
//   Has        attribute (no value)
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "values/small_string.hpp"
#include "values/value.hpp"

namespace qdx {

enum class QueryKind : uint8_t {
  kEq,
  kNe,
  kNot,
  kIn,
  kAnd,
  kOr,
  kGt,
  kGe,
  kLt,
  kLe,
  kBt,
  kStartsWith,
  kEndsWith,
  kContains,
  kHas,
};

class QueryExpr {
 public:
  QueryKind kind = QueryKind::kAnd;
  SmallString attribute;            // leaf kinds, In, Bt
  std::vector<PyValue> values;      // one value; In: the list; Bt: lower, upper
  std::vector<QueryExpr> children;  // And, Or; Not: exactly one

  static QueryExpr leaf(QueryKind kind, std::string_view attribute, PyValue value);
  static QueryExpr between(std::string_view attribute, PyValue lower, PyValue upper);
  static QueryExpr in(std::string_view attribute, std::vector<PyValue> values);
  // Selects the objects that hold `attribute`, whatever its value.
  static QueryExpr presence(std::string_view attribute);
  static QueryExpr negation(QueryExpr child);
  static QueryExpr group(QueryKind kind, std::vector<QueryExpr> children);

  const PyValue& value() const { return values.front(); }
  // The same node with another attribute (used to descend a dotted path).
  QueryExpr with_attribute(std::string_view attribute) const;

  // "<QueryExpr: " + rendering + ">"
  std::string repr() const;
  std::string render() const;
};

// The name shown for a kind ("Eq", ..., "StartsWi", "EndsWi", "Contains", "Has").
std::string_view query_kind_name(QueryKind kind);

}  // namespace qdx
