// Leaf lookups on one attribute's value index: equality by kind of value,
// membership, the range comparisons over numbers and the string patterns.
//
// A lookup considers the ids of `universe` and the container members whose
// holder is in it, and returns ids of `universe` only: members found are
// rewritten to their holders. A value of the wrong kind, or a NaN operand,
// selects nothing.
#pragma once

#include <optional>

#include "query/query_expr.hpp"
#include "structures/bitmap.hpp"

namespace qdx {

class ValueIndex;

Bitmap lookup_leaf(const QueryExpr& query, ValueIndex& index, const Bitmap& universe);

// How many ids an equality on this attribute can select at most: one probe
// of the posting lists. Used only to order the children of a conjunction.
uint64_t equal_size_hint(ValueIndex& index, const PyValue& value);

// One step of a conjunction of equalities: the ids of `running` whose value
// equals `value`, or every such id when `running` is null. Nothing (nullopt)
// when the attribute holds container members: their ids stand for holders,
// which only a lookup within a universe maps back. `running` may be left
// emptied (moved into the result) when a result is returned.
std::optional<Bitmap> narrow_equal(ValueIndex& index, const PyValue& value, Bitmap* running);

// Takes out of `running` the ids whose value equals `value`, reading the
// posting lists in place. False (and `running` untouched) when the attribute
// holds container members, whose ids stand for their holders.
bool subtract_equal(ValueIndex& index, const PyValue& value, Bitmap& running);

// Replaces the proxy ids of `ids` by the ids of the objects they stand in for.
Bitmap rewrite_proxies(ValueIndex& index, Bitmap ids);

}  // namespace qdx
