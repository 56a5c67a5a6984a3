// Evaluation of query trees against one index.
//
// evaluate(tree, table, U) returns the ids that satisfy the tree within the
// universe U: negation is taken against U, a conjunction starts from U and
// gives each child the running result as its universe (children ordered by
// a fixed priority: cheap, selective kinds first), membership lists and every
// leaf are confined to U. Leaves look up one attribute's value index; ids of
// container members (proxies) are rewritten to the ids of the objects that
// hold the containers, and members count as candidates when their holder is
// in U, so ranges and patterns treat members exactly as equality does.
// Dotted paths run the rest of the path in the attribute's nested index and
// map the nested objects found back to their holders.
//
// The caller holds the read locks of the attribute table and of U's owner.
// Evaluation takes only read locks and never calls Python.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "core/index_state.hpp"
#include "query/query_expr.hpp"
#include "structures/bitmap.hpp"

namespace qdx {

// Refuses what cannot be evaluated before any lock is taken: a `Bt` bound
// that is not a number ("not yet implemented").
void validate_query(const QueryExpr& query);

Bitmap evaluate(const QueryExpr& query, const AttributeTable& table, const Bitmap& universe);

// The tree against the whole index (universe: all ids).
Bitmap index_query(IndexState& state, const QueryExpr& query);
// The tree against a filtered index's ids (the result lies within them).
Bitmap filtered_query(IndexState& state, const QueryExpr& query, const Bitmap& ids);

// `name=value` keywords as a conjunction of equalities.
QueryExpr keyword_query(std::vector<std::pair<std::string, PyValue>> keywords);

}  // namespace qdx
