// Leaf lookups on one attribute's value index: equality by kind of value,
// membership, the range comparisons over numbers and the string patterns.
//
// A lookup considers the ids of `universe` and the container members whose
// holder is in it, and returns ids of `universe` only: members found are
// rewritten to their holders. A value of the wrong kind, or a NaN operand,
// selects nothing.
#pragma once

#include <optional>

#include "base/locks.hpp"
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

// Where the posting list of an equality with `value` lives: the lock of the
// numbers, strings or booleans of `index`, or null for values kept in the
// hashed map (containers, nested objects, other hashables).
RwLock* equal_postings_lock(ValueIndex& index, const PyValue& value);

// The posting list of `value`, read in place under the read lock that
// equal_postings_lock named (`guard`). `found` is false when no id holds the
// value; `set` is null when the ids are not kept as one roaring bitmap (a
// few ids in a vector, the numeric column or an inline array).
struct EqualPostings {
  bool found = false;
  const Bitmap* set = nullptr;
};
EqualPostings equal_postings(ValueIndex& index, const PyValue& value, const ReadGuard& guard);

// Whether some value of the attribute is a container whose members have ids
// of their own (standing for their holders).
bool holds_members(ValueIndex& index);

// Takes out of `running` the ids whose value equals `value`, reading the
// posting lists in place. False (and `running` untouched) when the attribute
// holds container members, whose ids stand for their holders.
bool subtract_equal(ValueIndex& index, const PyValue& value, Bitmap& running);

// Replaces the proxy ids of `ids` by the ids of the objects they stand in for.
Bitmap rewrite_proxies(ValueIndex& index, Bitmap ids);

}  // namespace qdx
