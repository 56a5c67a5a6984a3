#include "query/order_by.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "core/private_values.hpp"
#include "core/value_index.hpp"
#include "structures/string_interner/interner.hpp"
#include "values/gil.hpp"
#include "values/value_visit.hpp"

namespace qdx {
namespace {

enum Group : uint8_t { kNumbers, kNan, kStrings, kFalse, kTrue, kRest };

constexpr std::array<Group, 6> kAscending = {kNumbers, kNan, kStrings, kFalse, kTrue, kRest};
constexpr std::array<Group, 6> kDescending = {kStrings, kNumbers, kNan, kFalse, kTrue, kRest};

const std::array<Group, 6>& sequence(bool descending) {
  return descending ? kDescending : kAscending;
}

int rank(Group group, bool descending) {
  const auto& order = sequence(descending);
  return static_cast<int>(std::find(order.begin(), order.end(), group) - order.begin());
}

Group group_of(const std::optional<PyValue>& value) {
  if (!value) return kRest;
  return visit_value(
      *value, Overloaded{
                  [](const NumberValue& number) {
                    const bool nan = number.value.kind() == ValueKind::kFloat &&
                                     std::isnan(number.value.as_float());
                    return nan ? kNan : kNumbers;
                  },
                  [](const StringValue&) { return kStrings; },
                  [](const BoolValue& boolean) { return boolean.truth ? kTrue : kFalse; },
                  [](const OneOf<ContainerValue, NestedValue, HashedValue> auto&) { return kRest; },
              });
}

using Records = std::vector<std::pair<uint32_t, StoredIndexable>>;

// The records of the selected ids, read out so that no index lock is held
// while the objects' own mutexes are taken. The slots are borrowed: the
// caller holds a ReleaseHold from before the call until it is done with them.
Records selected_records(IndexState& state, const Bitmap& ids) {
  Records records;
  records.reserve(ids.cardinality());
  ReadGuard guard(state.store->lock());
  const ObjectStore& store = state.store->get(guard);
  ids.for_each([&](uint32_t id) {
    if (store.holds(id)) records.emplace_back(id, store.borrow(id));
  });
  return records;
}

Bitmap selection(IndexState& state, const Bitmap* view) {
  ReadGuard guard(state.all_ids->lock());
  Bitmap ids = state.all_ids->get(guard).clone();
  if (view != nullptr) ids.and_inplace(*view);
  return ids;
}

// The attribute ids of a dotted path, or nothing when a name was never used.
std::optional<std::vector<uint32_t>> path_attributes(std::string_view path) {
  std::vector<uint32_t> ids;
  for (;;) {
    const size_t dot = path.find('.');
    const auto id = interner().get(path.substr(0, dot));
    if (!id) return std::nullopt;
    ids.push_back(*id);
    if (dot == std::string_view::npos) return ids;
    path.remove_prefix(dot + 1);
  }
}

// The value at the end of the path; a path through anything but a nested
// object leads nowhere.
std::optional<PyValue> read_path(const IndexAPI& record, std::span<const uint32_t> attributes) {
  std::optional<PyValue> value;
  {
    ObjectGuard guard(record.lock(), kAttributesPart);
    if (const PyValue* found = record.attributes(guard).map.get(attributes.front())) {
      value = *found;
    }
  }
  if (!value || attributes.size() == 1) return value;
  if (value->kind() != ValueKind::kInd) return std::nullopt;
  return read_path(value->as_ind(), attributes.subspan(1));
}

// ---- gather: read every selected value, then sort ----

struct Item {
  uint32_t id;
  Group group;
  OrderKey number;
  std::optional<PyValue> text;  // kept for strings only
};

bool before(const Item& a, const Item& b, bool descending) {
  if (a.group != b.group) return rank(a.group, descending) < rank(b.group, descending);
  if (a.group == kNumbers && a.number != b.number) {
    return descending ? b.number < a.number : a.number < b.number;
  }
  if (a.group == kStrings) {
    // char_traits<char> compares as unsigned bytes: UTF-8 byte order.
    const std::string_view x = a.text->as_str();
    const std::string_view y = b.text->as_str();
    if (x != y) return descending ? y < x : x < y;
  }
  return a.id < b.id;
}

std::vector<uint32_t> gather(IndexState& state, const Bitmap* view, const OrderRequest& request) {
  const Bitmap ids = selection(state, view);
  const auto attributes = path_attributes(request.path);
  std::vector<uint32_t> result;
  if (!attributes) {  // nobody holds it: ascending ids
    ids.for_each([&](uint32_t id) {
      if (result.size() < request.limit) result.push_back(id);
    });
    return result;
  }
  std::vector<Item> items;
  {
    const ReleaseHold hold;
    const Records records = selected_records(state, ids);
    items.reserve(records.size());
    for (const auto& [id, record] : records) {
      Item item{id, kRest, {}, read_path(record.record(), *attributes)};
      item.group = group_of(item.text);
      if (item.group == kNumbers) item.number = *numeric_key(*item.text);
      if (item.group != kStrings) item.text.reset();
      items.push_back(std::move(item));
    }
  }
  const auto less = [&](const Item& a, const Item& b) { return before(a, b, request.descending); };
  const size_t count = static_cast<size_t>(std::min<uint64_t>(request.limit, items.size()));
  if (count < items.size()) {
    std::partial_sort(items.begin(), items.begin() + static_cast<ptrdiff_t>(count), items.end(),
                      less);
  } else {
    std::sort(items.begin(), items.end(), less);
  }
  result.reserve(count);
  for (size_t i = 0; i < count; ++i) result.push_back(items[i].id);
  return result;
}

// ---- walk: read the ordered posting lists key by key ----

struct Walk {
  const Bitmap& all;
  const Bitmap* view;
  // The selection as one bit per id, when a whole view is walked: a test is
  // then one load instead of two bitmap probes.
  const std::vector<uint64_t>* dense = nullptr;
  bool accepts(uint32_t id) const {
    if (dense != nullptr) {
      const size_t word = id >> 6;
      return word < dense->size() && (((*dense)[word] >> (id & 63)) & 1u) != 0;
    }
    return all.contains(id) && (view == nullptr || view->contains(id));
  }
};

std::vector<uint64_t> dense_bits(const Bitmap& ids) {
  std::vector<uint64_t> bits(ids.empty() ? 0 : (static_cast<size_t>(ids.maximum()) >> 6) + 1);
  ids.for_each([&](uint32_t id) { bits[id >> 6] |= uint64_t{1} << (id & 63); });
  return bits;
}

// Appends the ids of `ids` that the walk accepts, up to `budget` in all.
void walk_bitmap(const Bitmap& ids, const Walk& walk, uint64_t budget, std::vector<uint32_t>& out) {
  struct Context {
    const Walk* walk;
    uint64_t budget;
    std::vector<uint32_t>* out;
  } context{&walk, budget, &out};
  roaring_iterate(
      ids.raw(),
      [](uint32_t id, void* raw) {
        auto* c = static_cast<Context*>(raw);
        if (c->out->size() >= c->budget) return false;
        if (c->walk->accepts(id)) c->out->push_back(id);
        return true;
      },
      &context);
}

// Appends the accepted ids of `set` in ascending order; false once `out`
// holds `budget` ids.
bool append_set(const HybridSet& set, const Walk& walk, uint64_t budget,
                std::vector<uint32_t>& out) {
  if (const CenteredArray* small = set.small()) {
    for (uint32_t id : small->run()) {
      if (out.size() >= budget) return false;
      if (walk.accepts(id)) out.push_back(id);
    }
  } else if (const Bitmap* large = set.large()) {
    walk_bitmap(*large, walk, budget, out);
  }
  return out.size() < budget;
}

// The same for the ascending ids of one key of the numeric column.
bool append_set(std::span<const uint32_t> ids, const Walk& walk, uint64_t budget,
                std::vector<uint32_t>& out) {
  for (const uint32_t id : ids) {
    if (out.size() >= budget) return false;
    if (walk.accepts(id)) out.push_back(id);
  }
  return out.size() < budget;
}

// Counts the keys a walk visits; past `limit` the walk gives up, because
// reading and sorting the selection would have been cheaper.
struct KeyBudget {
  uint64_t limit = UINT64_MAX;
  uint64_t visited = 0;
  bool exceeded() const { return visited > limit; }
};

template <typename Exact, typename Key>
void walk_keys(const Exact& exact, bool descending, const Walk& walk, uint64_t budget,
               std::vector<uint32_t>& out, KeyBudget& keys, const std::optional<Key>& lower,
               const std::optional<Key>& upper) {
  if (budget == 0) return;
  exact.walk(
      descending,
      [&](const auto&, const auto& set) {
        if (++keys.visited > keys.limit) return false;
        return append_set(set, walk, budget, out);
      },
      lower, upper);
}

// Whether walking the keys is expected to cost less than reading and sorting
// the selection. An object read plus its share of the sort costs about as
// much as visiting eight keys (measured on the benchmark records); the same
// factor bounds the keys a view's walk may visit.
bool walk_is_cheaper(uint64_t selected, uint64_t total, uint64_t keys, uint64_t limit) {
  if (selected == 0) return false;
  const double walk_cost =
      limit == UINT64_MAX ? static_cast<double>(keys + selected)
                          : std::min(static_cast<double>(keys), (static_cast<double>(limit) + 1.0) *
                                                                    static_cast<double>(total) /
                                                                    static_cast<double>(selected));
  return walk_cost <= 8.0 * static_cast<double>(selected);
}

struct Pieces {
  std::array<std::vector<uint32_t>, kRest> groups;  // kNan: NaN or valueless, sorted out later
  std::optional<Bitmap> rest;                       // ids with no number, string or boolean
};

// The selected ids outside the walked groups. Reached only when every group
// before it was walked to its end, so those groups hold all their ids.
// The groups' ids come in value order: they are struck from the selection as
// bits (no sort), and what is left is read back in ascending order.
Bitmap rest_ids(const Walk& walk, const Bitmap* selected, const Pieces& pieces) {
  std::vector<uint64_t> bits = dense_bits(selected != nullptr ? *selected : walk.all);
  for (const Group group : {kNumbers, kStrings, kFalse, kTrue}) {
    for (const uint32_t id : pieces.groups[group]) {
      const size_t word = id >> 6;
      if (word < bits.size()) bits[word] &= ~(uint64_t{1} << (id & 63));
    }
  }
  std::vector<uint32_t> left;
  for (size_t word = 0; word < bits.size(); ++word) {
    for (uint64_t rest = bits[word]; rest != 0; rest &= rest - 1) {
      left.push_back(static_cast<uint32_t>(word * 64 + static_cast<size_t>(__builtin_ctzll(rest))));
    }
  }
  return Bitmap::of(left);  // NaN ids are taken out once they are told apart
}

// How a view is walked: from the first key, for a limit that is small next
// to the view (the first keys usually hold enough of it), or between the
// view's least and greatest number.
enum class Span : uint8_t { kFromFirstKey, kViewBounds };

std::optional<Pieces> walk(IndexState& state, const Bitmap* view, ValueIndex& index,
                           const OrderRequest& request, Span span) {
  ReadGuard ids_guard(state.all_ids->lock());
  Walk walk{state.all_ids->get(ids_guard), view};
  std::vector<uint64_t> dense;
  const uint64_t total = walk.all.cardinality();
  KeyBudget keys;
  // A view's numbers lie between its least and greatest key: only those keys
  // are walked, and strings only when the view holds any. A view may still
  // spread over every key; the walk then gives up for the gather.
  std::optional<Bitmap> selected;
  std::optional<OrderKey> lowest, highest;
  bool strings_selected = true;
  if (view != nullptr) {
    // The view holds at least the ids it selects: a limit that is large next
    // to the whole view is large next to them too.
    if (span == Span::kFromFirstKey && request.limit >= view->cardinality() / 16) {
      return std::nullopt;
    }
    selected = view->clone();
    selected->and_inplace(walk.all);
    const uint64_t count = selected->cardinality();
    keys.limit = 8 * count + 64;
    if (span == Span::kFromFirstKey) {
      if (request.limit >= count / 16) return std::nullopt;
      keys.limit = std::min(keys.limit, 64 * (request.limit + 1));
    } else {
      ReadGuard guard(index.numbers.lock());
      const OrderedBitmap& ordered = index.numbers.get(guard).ordered;
      if (const auto extremes = ordered.extremes_within(*selected)) {
        lowest = extremes->first;
        highest = extremes->second;
      }
    }
    if (span == Span::kViewBounds) {
      dense = dense_bits(*selected);
      walk.dense = &dense;
    }
    ReadGuard guard(index.strings.lock());
    strings_selected = !index.strings.get(guard).positions.ids_within(*selected).empty();
  } else {
    uint64_t distinct = 0;
    {
      ReadGuard guard(index.numbers.lock());
      distinct += index.numbers.get(guard).exact.size();
    }
    {
      ReadGuard guard(index.strings.lock());
      distinct += index.strings.get(guard).exact.size();
    }
    if (!walk_is_cheaper(total, total, distinct, request.limit)) return std::nullopt;
  }
  const std::optional<std::string> no_text;

  Pieces pieces;
  uint64_t found = 0;  // NaN not counted: it is only told apart later
  for (const Group group : sequence(request.descending)) {
    if (found >= request.limit) break;
    const uint64_t budget = request.limit - found;
    std::vector<uint32_t>* out = group == kRest ? nullptr : &pieces.groups[group];
    switch (group) {
      case kNumbers: {
        if (span == Span::kViewBounds && !lowest) break;
        ReadGuard guard(index.numbers.lock());
        walk_keys(index.numbers.get(guard).exact, request.descending, walk, budget, *out, keys,
                  lowest, highest);
        break;
      }
      case kStrings: {
        if (!strings_selected) break;
        ReadGuard guard(index.strings.lock());
        walk_keys(index.strings.get(guard).exact, request.descending, walk, budget, *out, keys,
                  no_text, no_text);
        break;
      }
      case kNan: {
        ReadGuard guard(index.valueless.lock());
        walk_bitmap(index.valueless.get(guard), walk, UINT64_MAX, *out);
        continue;
      }
      case kFalse:
      case kTrue: {
        ReadGuard guard(index.booleans.lock());
        walk_bitmap(index.booleans.get(guard).set(group == kTrue), walk, budget, *out);
        break;
      }
      case kRest:
        pieces.rest = rest_ids(walk, selected ? &*selected : nullptr, pieces);
        continue;
    }
    if (keys.exceeded()) return std::nullopt;
    found += out->size();
  }
  return pieces;
}

// Keeps the NaN ids among the valueless ones (the others hold empty containers).
void keep_nan(IndexState& state, uint32_t attribute, std::vector<uint32_t>& ids) {
  if (ids.empty()) return;
  const Records records = selected_records(state, Bitmap::of(ids));
  ids.clear();
  const std::array<uint32_t, 1> path = {attribute};
  for (const auto& [id, record] : records) {
    if (group_of(read_path(record.record(), path)) == kNan) ids.push_back(id);
  }
}

std::vector<uint32_t> assemble(IndexState& state, uint32_t attribute, Pieces& pieces,
                               const OrderRequest& request) {
  keep_nan(state, attribute, pieces.groups[kNan]);
  std::vector<uint32_t> result;
  for (const Group group : sequence(request.descending)) {
    if (group == kRest) {
      if (!pieces.rest) break;
      const Bitmap nan = Bitmap::of(pieces.groups[kNan]);
      pieces.rest->andnot_inplace(nan);
      pieces.rest->for_each([&](uint32_t id) {
        if (result.size() < request.limit) result.push_back(id);
      });
      break;
    }
    for (uint32_t id : pieces.groups[group]) {
      if (result.size() >= request.limit) return result;
      result.push_back(id);
    }
  }
  return result;
}

}  // namespace

std::vector<uint32_t> order_ids(IndexState& state, const Bitmap* view,
                                const OrderRequest& request) {
  if (request.limit == 0) return {};
  if (request.path.find('.') == std::string_view::npos) {
    const auto attribute = interner().get(request.path);
    if (attribute && !is_private_attribute(*attribute)) {
      if (auto index = find_value_index(state, *attribute)) {
        for (const Span span : {Span::kFromFirstKey, Span::kViewBounds}) {
          if (view == nullptr && span == Span::kViewBounds) break;
          if (auto pieces = walk(state, view, *index, request, span)) {
            return assemble(state, *attribute, *pieces, request);
          }
        }
      }
    }
  }
  return gather(state, view, request);
}

}  // namespace qdx
