#include "query/query_expr.hpp"

#include <utility>

namespace qdx {

std::string_view query_kind_name(QueryKind kind) {
  static constexpr std::string_view kNames[] = {"Eq", "Ne",       "Not",    "In",       "And",
                                                "Or", "Gt",       "Ge",     "Lt",       "Le",
                                                "Bt", "StartsWi", "EndsWi", "Contains", "Has"};
  return kNames[static_cast<size_t>(kind)];
}

QueryExpr QueryExpr::leaf(QueryKind kind, std::string_view attribute, PyValue value) {
  QueryExpr node;
  node.kind = kind;
  node.attribute = SmallString(attribute);
  node.values.push_back(std::move(value));
  return node;
}

QueryExpr QueryExpr::between(std::string_view attribute, PyValue lower, PyValue upper) {
  QueryExpr node;
  node.kind = QueryKind::kBt;
  node.attribute = SmallString(attribute);
  node.values.push_back(std::move(lower));
  node.values.push_back(std::move(upper));
  return node;
}

QueryExpr QueryExpr::in(std::string_view attribute, std::vector<PyValue> values) {
  QueryExpr node;
  node.kind = QueryKind::kIn;
  node.attribute = SmallString(attribute);
  node.values = std::move(values);
  return node;
}

QueryExpr QueryExpr::presence(std::string_view attribute) {
  QueryExpr node;
  node.kind = QueryKind::kHas;
  node.attribute = SmallString(attribute);
  return node;
}

QueryExpr QueryExpr::negation(QueryExpr child) {
  QueryExpr node;
  node.kind = QueryKind::kNot;
  node.children.push_back(std::move(child));
  return node;
}

QueryExpr QueryExpr::group(QueryKind kind, std::vector<QueryExpr> children) {
  QueryExpr node;
  node.kind = kind;
  node.children = std::move(children);
  return node;
}

QueryExpr QueryExpr::with_attribute(std::string_view new_attribute) const {
  QueryExpr node = *this;
  node.attribute = SmallString(new_attribute);
  return node;
}

std::string QueryExpr::repr() const {
  return "<QueryExpr: " + render() + ">";
}

std::string QueryExpr::render() const {
  std::string out(query_kind_name(kind));
  out += "(";
  auto quoted = [](std::string_view text) { return "\"" + escape_debug(text) + "\""; };
  auto list = [](const auto& items, auto&& one) {
    std::string text = "[";
    for (size_t i = 0; i < items.size(); ++i) {
      if (i > 0) text += ", ";
      text += one(items[i]);
    }
    return text + "]";
  };
  switch (kind) {
    case QueryKind::kNot:
      out += children.front().render();
      break;
    case QueryKind::kAnd:
    case QueryKind::kOr:
      out += list(children, [](const QueryExpr& c) { return c.render(); });
      break;
    case QueryKind::kIn:
      out += quoted(attribute.view()) + ", " +
             list(values, [](const PyValue& v) { return v.debug(); });
      break;
    case QueryKind::kBt:
      out += quoted(attribute.view()) + ", " + values[0].debug() + ", " + values[1].debug();
      break;
    case QueryKind::kHas:
      out += quoted(attribute.view());
      break;
    default:
      out += quoted(attribute.view()) + ", " + values[0].debug();
  }
  return out + ")";
}

}  // namespace qdx
