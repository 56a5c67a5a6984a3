#include "query/evaluate.hpp"

#include <absl/container/inlined_vector.h>

#include <algorithm>
#include <array>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "core/value_index.hpp"
#include "query/equality_combination.hpp"
#include "query/narrow.hpp"
#include "query/presence.hpp"
#include "query/query_ops.hpp"
#include "structures/string_interner/interner.hpp"

namespace qdx {
namespace {

int priority(QueryKind kind) {
  switch (kind) {
    case QueryKind::kEq:
      return 0;
    case QueryKind::kNe:
      return 1;
    case QueryKind::kNot:
      return 2;
    case QueryKind::kIn:
      return 3;
    case QueryKind::kStartsWith:
      return 4;
    case QueryKind::kEndsWith:
      return 5;
    case QueryKind::kContains:
      return 6;
    case QueryKind::kAnd:
      return 7;
    case QueryKind::kOr:
      return 8;
    case QueryKind::kLt:
      return 9;
    case QueryKind::kLe:
      return 10;
    case QueryKind::kGt:
      return 11;
    case QueryKind::kGe:
      return 12;
    case QueryKind::kBt:
      return 13;
    case QueryKind::kHas:
      return 14;
  }
  return 15;
}

// `whole`: `universe` is every id of the index, and every id in its posting
// lists is in it (no narrowing is withdrawing ids meanwhile), so a posting
// list needs no intersection with it.
Bitmap evaluate_in(const QueryExpr& query, const AttributeTable& table, const Bitmap& universe,
                   bool whole);

std::shared_ptr<ValueIndex> value_index(const AttributeTable& table, std::string_view head) {
  const uint32_t id = interner().intern(head);
  return id < table.size() ? table[id] : nullptr;
}

// The nested index whose read locks this thread holds while it evaluates a
// dotted path: every value index of a root, and of its nested index, leads
// to the same nested index, so it is locked once per query and deeper steps
// of a path reuse it (taking a read lock twice could wait behind a writer).
struct NestedScope {
  const IndexState* state;
  const AttributeTable* table;
  const Bitmap* ids;
};
thread_local const NestedScope* t_nested_scope = nullptr;

// Runs `f(table, ids)` with the nested index's table and ids read-locked,
// or with those this thread already holds.
template <typename F>
Bitmap with_nested_scope(IndexState& nested, F&& f) {
  if (t_nested_scope != nullptr && t_nested_scope->state == &nested) {
    return f(*t_nested_scope->table, *t_nested_scope->ids);
  }
  ReadGuard table_guard(nested.attributes->lock());
  ReadGuard ids_guard(nested.all_ids->lock());
  const NestedScope scope{&nested, &nested.attributes->get(table_guard),
                          &nested.all_ids->get(ids_guard)};
  const NestedScope* outer = std::exchange(t_nested_scope, &scope);
  struct Restore {
    const NestedScope* outer;
    ~Restore() { t_nested_scope = outer; }
  } restore{outer};
  return f(*scope.table, *scope.ids);
}

// The holders, among `universe`, of the objects in `found` through the
// pairs of `index` (container members mapped to their holders).
Bitmap holders_in(ValueIndex& index, const Bitmap& found, const Bitmap& universe) {
  Bitmap holders;
  {
    ReadGuard guard(index.parents.lock());
    holders = index.parents.get(guard).holders_of(found);
  }
  Bitmap result = rewrite_proxies(index, std::move(holders));
  result.and_inplace(universe);
  return result;
}

// A dotted path. Every step after the first reads the same nested index, so
// the path is followed in a loop rather than by recursion (a path of any
// length needs no more stack): the steps' value indexes are looked up going
// down, the last name is looked up among the nested objects, and each
// step's pairs then map what was found back to its holders.
Bitmap nested_leaf(const QueryExpr& query, ValueIndex& first, std::string_view rest,
                   const Bitmap& universe) {
  std::shared_ptr<IndexState> nested = first.nested();
  if (nested == nullptr) return Bitmap();
  const Bitmap found =
      with_nested_scope(*nested, [&](const AttributeTable& table, const Bitmap& ids) {
        std::vector<std::shared_ptr<ValueIndex>> steps;
        for (size_t dot = rest.find('.'); dot != std::string_view::npos; dot = rest.find('.')) {
          std::shared_ptr<ValueIndex> step = value_index(table, rest.substr(0, dot));
          if (step == nullptr) return Bitmap();
          steps.push_back(std::move(step));
          rest = rest.substr(dot + 1);
        }
        Bitmap current = evaluate(query.with_attribute(rest), table, ids);
        for (auto step = steps.rbegin(); step != steps.rend(); ++step) {
          current = holders_in(**step, current, ids);
        }
        return current;
      });
  return holders_in(first, found, universe);
}

Bitmap leaf(const QueryExpr& query, const AttributeTable& table, const Bitmap& universe,
            bool whole = false) {
  const std::string_view path = query.attribute.view();
  const size_t dot = path.find('.');
  const std::string_view head = path.substr(0, dot);
  std::shared_ptr<ValueIndex> index = value_index(table, head);
  if (index == nullptr) return Bitmap();
  if (dot != std::string_view::npos) {
    return nested_leaf(query, *index, path.substr(dot + 1), universe);
  }
  if (query.kind == QueryKind::kHas) return presence_lookup(*index, universe);
  if (whole && query.kind == QueryKind::kEq) {
    if (auto all = narrow_equal(*index, query.value(), nullptr)) return std::move(*all);
  }
  return lookup_leaf(query, *index, universe);
}

bool plain_path(const QueryExpr& query) {
  return query.attribute.view().find('.') == std::string_view::npos;
}

// running −= the ids whose value equals the value of `query` (an `Eq` or a
// `Ne` leaf, read as an equality).
void subtract_equal_leaf(const QueryExpr& query, const AttributeTable& table, Bitmap& running) {
  if (plain_path(query)) {
    std::shared_ptr<ValueIndex> index = value_index(table, query.attribute.view());
    if (index == nullptr) return;  // no object has the attribute
    if (subtract_equal(*index, query.value(), running)) return;
  }
  QueryExpr equal = query;
  equal.kind = QueryKind::kEq;
  running.andnot_inplace(leaf(equal, table, running));
}

// running −= the ids of `running` that satisfy `query`. A negation is never
// materialised: an equality takes its posting list out in place, `or`
// children are taken out one after another (each reads what the previous
// ones left), and a double negation keeps what its child selects.
void subtract(const QueryExpr& query, const AttributeTable& table, Bitmap& running) {
  switch (query.kind) {
    case QueryKind::kEq:
      subtract_equal_leaf(query, table, running);
      return;
    case QueryKind::kNe: {
      QueryExpr equal = query;
      equal.kind = QueryKind::kEq;
      running = leaf(equal, table, running);
      return;
    }
    case QueryKind::kNot:
      running = evaluate_in(query.children.front(), table, running, false);
      return;
    case QueryKind::kOr:
      for (const QueryExpr& child : query.children) {
        if (running.empty()) return;
        subtract(child, table, running);
      }
      return;
    default:
      running.andnot_inplace(evaluate_in(query, table, running, false));
  }
}

// running ∩= `negation` (a `Ne` leaf or a `Not`), without building the
// complement: what the negated query selects is taken out.
void keep_negation(const QueryExpr& negation, const AttributeTable& table, Bitmap& running) {
  if (negation.kind == QueryKind::kNe) {
    subtract_equal_leaf(negation, table, running);
  } else {
    subtract(negation.children.front(), table, running);
  }
}

Bitmap negation_within(const QueryExpr& negation, const AttributeTable& table,
                       const Bitmap& universe) {
  Bitmap result = universe.clone();
  keep_negation(negation, table, result);
  return result;
}

// Equalities on plain attributes go first, smallest posting list first: the
// conjunction's result does not depend on the order of its children, and each
// later child then only looks at the few ids left.
// One child of a conjunction with its sort key. `index` is the value index
// of a plain-attribute equality (null otherwise, or when no object has the
// attribute), looked up once here and reused by `leading_equalities`; the
// table's read lock keeps it alive for the whole query.
struct OrderedChild {
  std::pair<int, uint64_t> key;
  const QueryExpr* child;
  ValueIndex* index = nullptr;
};
// Conjunctions have a few children: their bookkeeping stays on the stack.
constexpr size_t kFewChildren = 8;
using Ordered = absl::InlinedVector<OrderedChild, kFewChildren>;

OrderedChild order_entry(const QueryExpr& child, const AttributeTable& table) {
  OrderedChild entry{{priority(child.kind), 0}, &child};
  if (child.kind != QueryKind::kEq) return entry;
  const std::string_view path = child.attribute.view();
  if (path.find('.') != std::string_view::npos) {
    entry.key.second = UINT64_MAX;
    return entry;
  }
  entry.index = value_index(table, path).get();
  if (entry.index != nullptr) entry.key.second = equal_size_hint(*entry.index, child.value());
  return entry;
}

// How many children lead `order` as equalities on plain attributes.
size_t plain_equalities(const Ordered& order) {
  size_t count = 0;
  while (count < order.size() && order[count].child->kind == QueryKind::kEq &&
         order[count].child->attribute.view().find('.') == std::string_view::npos) {
    ++count;
  }
  return count;
}

// The intersection of `intersect_in_place`, with the posting lists read-locked.
template <typename Lists>
std::optional<Bitmap> intersect_locked(const Ordered& order, const Lists& lists,
                                       CombinationUse& combination) {
  Lists locking = lists;
  std::sort(locking.begin(), locking.end());
  absl::InlinedVector<ReadGuard, kFewChildren> guards;
  for (const auto& postings : locking) {
    if (guards.empty() || !guards.back().holds(*postings.lock)) guards.emplace_back(*postings.lock);
  }
  absl::InlinedVector<const Bitmap*, kFewChildren> sets;
  for (size_t i = 0; i < lists.size(); ++i) {
    const auto guard = std::find_if(guards.begin(), guards.end(), [&](const ReadGuard& held) {
      return held.holds(*lists[i].lock);
    });
    const EqualPostings found = equal_postings(*lists[i].index, order[i].child->value(), *guard);
    if (!found.found) return Bitmap();
    if (found.set == nullptr) return std::nullopt;
    sets.push_back(found.set);
  }
  // A combination's candidates hold the whole answer: only they are probed.
  if (const auto candidates = combination.candidates()) {
    return Bitmap::sorted_within(*candidates, sets);
  }
  // The children come smallest posting list first: the first set's chunks
  // are the fewest to walk.
  return Bitmap::intersection_of(sets);
}

// The first `count` children of `order` (plain equalities on attributes some
// object holds) intersected in one pass over their posting lists, read in
// place: nothing when one of them is not a roaring bitmap or the attribute
// holds container members.
//
// The posting lists' read locks are held together, which no other reader
// does. They are taken in one fixed order, by value index and then numbers,
// strings, booleans: the bulk insertion, the only other path that holds
// several of these locks, holds those of one attribute in that same order
// and takes nothing else of this level after them but a hashed-map shard or
// the valueless set, which are never held here; every other holder of one
// of these locks holds it alone. Every thread that waits for one of them
// while holding another thus waits in the same order, and no cycle of waits
// can form. Nothing is locked while they are held: the combination over the
// attributes (query/equality_combination.hpp), which may narrow the probes to
// a few candidates, takes its registry's mutex before and after, and is
// checked against the locks' write counts while they are held.
std::optional<Bitmap> intersect_in_place(const Ordered& order, size_t count,
                                         const Bitmap* universe) {
  struct Postings {
    ValueIndex* index;
    int component;  // 0 numbers, 1 strings, 2 booleans: the locking order
    RwLock* lock;
    bool operator<(const Postings& other) const {
      if (index != other.index) return std::less<>()(index, other.index);
      return component < other.component;
    }
  };
  absl::InlinedVector<Postings, kFewChildren> lists;
  absl::InlinedVector<ValueIndex*, kFewChildren> indexes;
  absl::InlinedVector<const PyValue*, kFewChildren> values;
  for (size_t i = 0; i < count; ++i) {
    ValueIndex& index = *order[i].index;
    if (holds_members(index)) return std::nullopt;
    RwLock* lock = equal_postings_lock(index, order[i].child->value());
    if (lock == nullptr) return std::nullopt;
    const int component = lock == &index.numbers.lock() ? 0 : lock == &index.strings.lock() ? 1 : 2;
    lists.push_back({&index, component, lock});
    indexes.push_back(&index);
    values.push_back(&order[i].child->value());
  }
  // The children come smallest posting list first.
  CombinationUse combination(indexes, values, order[0].key.second, universe);
  std::optional<Bitmap> result = intersect_locked(order, lists, combination);
  combination.finish();
  return result;
}

// The leading equalities on plain attributes without container members are
// intersected with one another first, smallest posting list first, and with
// the universe (the largest set of all) last: each step then probes only
// the few ids left. Returns how many children this took (0: none could be
// taken); `running` holds their result within `universe`.
size_t leading_equalities(const Ordered& order, const Bitmap& universe, bool whole,
                          Bitmap& running) {
  const size_t plain = plain_equalities(order);
  size_t taken = 0;
  for (; taken < plain; ++taken) {
    if (order[taken].index == nullptr) {
      running = Bitmap();  // no object has the attribute
      return taken + 1;
    }
  }
  taken = 0;
  if (plain >= 2) {
    if (auto all = intersect_in_place(order, plain, whole ? &universe : nullptr)) {
      running = std::move(*all);
      taken = plain;
    }
  }
  for (; taken < plain; ++taken) {
    const QueryExpr& child = *order[taken].child;
    ValueIndex* index = order[taken].index;
    auto step = narrow_equal(*index, child.value(), taken == 0 ? nullptr : &running);
    if (!step) break;
    running = std::move(*step);
    if (running.empty()) return taken + 1;
  }
  if (taken != 0 && !whole) running.and_inplace(universe);
  return taken;
}

Bitmap evaluate_and(const QueryExpr& query, const AttributeTable& table, const Bitmap& universe,
                    bool whole) {
  Ordered order;
  for (const QueryExpr& child : query.children) order.push_back(order_entry(child, table));
  std::stable_sort(order.begin(), order.end(),
                   [](const auto& a, const auto& b) { return a.key < b.key; });
  // The first child reads the universe itself; only its result is owned.
  Bitmap running;
  const size_t taken = leading_equalities(order, universe, whole, running);
  const Bitmap* current = taken == 0 ? &universe : &running;
  for (size_t i = taken; i < order.size(); ++i) {
    if (current->empty()) break;  // nothing can come back
    const QueryExpr& child = *order[i].child;
    if (child.kind == QueryKind::kNe || child.kind == QueryKind::kNot) {
      // A negated child takes its ids out of the running set in place.
      if (current == &universe) running = universe.clone();
      keep_negation(child, table, running);
    } else {
      running = evaluate_in(child, table, *current, whole && current == &universe);
    }
    current = &running;
  }
  return current == &universe ? universe.clone() : std::move(running);
}

Bitmap evaluate_or(const QueryExpr& query, const AttributeTable& table, const Bitmap& universe,
                   bool whole) {
  Bitmap result;
  for (const QueryExpr& child : query.children) {
    result.or_inplace(evaluate_in(child, table, universe, whole));
  }
  return result;
}

Bitmap evaluate_in(const QueryExpr& query, const AttributeTable& table, const Bitmap& universe,
                   bool whole) {
  switch (query.kind) {
    case QueryKind::kNe:
    case QueryKind::kNot:
      return negation_within(query, table, universe);
    case QueryKind::kAnd:
      return evaluate_and(query, table, universe, whole);
    case QueryKind::kOr:
      return evaluate_or(query, table, universe, whole);
    default:
      return leaf(query, table, universe, whole);
  }
}

}  // namespace

void validate_query(const QueryExpr& query) {
  if (query.kind == QueryKind::kBt) {
    for (const PyValue& bound : query.values) {
      if (!bound.is_number()) panic("not yet implemented");
    }
  }
  for (const QueryExpr& child : query.children) validate_query(child);
}

Bitmap evaluate(const QueryExpr& query, const AttributeTable& table, const Bitmap& universe) {
  return evaluate_in(query, table, universe, false);
}

Bitmap index_query(IndexState& state, const QueryExpr& query) {
  validate_query(query);
  ReadGuard table_guard(state.attributes->lock());
  ReadGuard ids_guard(state.all_ids->lock());
  // Read under the ids' read lock: no narrowing can start withdrawing ids
  // while it is held, and none that did is still narrowing the lists.
  const bool whole = !narrowing_in_progress();
  return evaluate_in(query, state.attributes->get(table_guard), state.all_ids->get(ids_guard),
                     whole);
}

Bitmap filtered_query(IndexState& state, const QueryExpr& query, const Bitmap& ids) {
  validate_query(query);
  ReadGuard table_guard(state.attributes->lock());
  Bitmap result = evaluate(query, state.attributes->get(table_guard), ids);
  result.and_inplace(ids);
  return result;
}

QueryExpr keyword_query(std::vector<std::pair<std::string, PyValue>> keywords) {
  std::vector<QueryExpr> children;
  children.reserve(keywords.size());
  for (auto& [name, value] : keywords) {
    children.push_back(QueryExpr::leaf(QueryKind::kEq, name, std::move(value)));
  }
  return QueryExpr::group(QueryKind::kAnd, std::move(children));
}

}  // namespace qdx
