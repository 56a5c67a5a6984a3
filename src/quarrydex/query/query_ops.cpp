#include "query/query_ops.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>
#include <span>
#include <type_traits>

#include "core/value_index.hpp"
#include "values/value_visit.hpp"

namespace qdx {
namespace {

// The universe plus the proxies whose holder is in it.
class Candidates {
 public:
  Candidates(ValueIndex& index, const Bitmap& universe) : universe_(universe) {
    ReadGuard guard(index.proxies.lock());
    const Proxies& proxies = index.proxies.get(guard);
    if (proxies.set.empty()) return;
    std::vector<uint32_t> members;
    proxies.set.for_each([&](uint32_t proxy) {
      const auto it = proxies.owner_of.find(proxy);
      if (it != proxies.owner_of.end() && universe.contains(it->second)) members.push_back(proxy);
    });
    if (members.empty()) return;
    widened_ = universe.clone();
    widened_->add_many(members.data(), members.size());
  }
  const Bitmap& get() const { return widened_ ? *widened_ : universe_; }

 private:
  const Bitmap& universe_;
  std::optional<Bitmap> widened_;
};

// running −= the ids of `set` (a posting list read in place).
void remove_ids(const HybridSet& set, Bitmap& running) {
  if (const Bitmap* large = set.large()) {
    running.andnot_inplace(*large);
  } else if (const CenteredArray* small = set.small()) {
    for (uint32_t id : small->run()) running.remove(id);
  }
}
void remove_ids(std::span<const uint32_t> ids, Bitmap& running) {
  for (uint32_t id : ids) running.remove(id);
}

// The ids whose value equals `value`: those in `candidates`, or every one
// when `candidates` is null.
Bitmap equal(ValueIndex& index, const PyValue& value, const Bitmap* candidates) {
  auto clip = [&](Bitmap ids) {
    if (candidates != nullptr) ids.and_inplace(*candidates);
    return ids;
  };
  return visit_value(
      value, Overloaded{
                 [&](const NumberValue& number) {
                   const auto key = numeric_key(number.value);
                   if (!key) return Bitmap();
                   ReadGuard guard(index.numbers.lock());
                   const NumericPostings& postings = index.numbers.get(guard).exact;
                   return candidates != nullptr ? postings.equal_within(*key, *candidates)
                                                : postings.equal_all(*key);
                 },
                 [&](const StringValue& string) {
                   ReadGuard guard(index.strings.lock());
                   const StringPostings& postings = index.strings.get(guard).exact;
                   return candidates != nullptr ? postings.equal_within(string.text, *candidates)
                                                : postings.equal_all(string.text);
                 },
                 [&](const BoolValue& boolean) {
                   ReadGuard guard(index.booleans.lock());
                   return clip(index.booleans.get(guard).set(boolean.truth).clone());
                 },
                 [&](const OneOf<ContainerValue, NestedValue, HashedValue> auto& other) {
                   Bitmap result;
                   index.hashed.or_into(other.value, result);
                   return clip(std::move(result));
                 },
             });
}

Bitmap equal(ValueIndex& index, const PyValue& value, const Bitmap& candidates) {
  return equal(index, value, &candidates);
}

// Walking the posting lists pays off while the matches are few next to the
// candidates; past this many the bit-sliced or positional scan is cheaper.
uint64_t walk_limit(const Bitmap& candidates) {
  return 256 + candidates.cardinality() / 16;
}

Bitmap clipped(Bitmap ids, const Bitmap& candidates) {
  ids.and_inplace(candidates);
  return ids;
}

// A numeric range: the bounds, an absent one open.
struct NumericRange {
  std::optional<OrderKey> lower;
  bool lower_inclusive = false;
  std::optional<OrderKey> upper;
  bool upper_inclusive = false;
};

// The bit-sliced scan over a million dense candidates costs about 1.4 ms
// whatever the range holds (1.4 ns a candidate). Walking the keys costs about
// 5 ns per id found for keys held by many ids (their sets are copied out) and
// 13 ns for keys held by a few (read off the column's entries); the ids then
// become a bitmap through plain words, unsorted. Measured on the benchmark's
// uniform prices (ten ids a key) and quantities (a hundred): the walk wins up
// to about one id in the range for five candidates, so the planner assumes
// the dearer 7 ns an id. The rank sample's estimate of the ids in the range
// picks the cheaper; a stale estimate cannot make the walk much dearer than
// planned, as it gives up at twice the planned ids and the scan answers.
template <typename Scan>
Bitmap numeric_range(const NumericValues& numbers, const NumericRange& range,
                     const Bitmap& candidates, Scan&& scan) {
  constexpr uint64_t kScanPicosPerCandidate = 1400;
  constexpr uint64_t kWalkPicosPerId = 7000;
  const uint64_t share = 256 + candidates.cardinality() * kScanPicosPerCandidate / kWalkPicosPerId;
  const uint64_t expected = numbers.sample.estimate(range.lower, range.lower_inclusive, range.upper,
                                                    range.upper_inclusive);
  if (expected <= share) {
    auto walked = numbers.exact.collect_range(range.lower, range.lower_inclusive, range.upper,
                                              range.upper_inclusive, 2 * share);
    if (walked) return clipped(std::move(*walked), candidates);
  }
  Bitmap result;
  scan(result);
  return result;
}

Bitmap compare(ValueIndex& index, QueryKind kind, const PyValue& value, const Bitmap& candidates) {
  const auto key = numeric_key(value);
  if (!key) return Bitmap();
  ReadGuard guard(index.numbers.lock());
  const NumericValues& numbers = index.numbers.get(guard);
  const bool above = kind == QueryKind::kGt || kind == QueryKind::kGe;
  const bool inclusive = kind == QueryKind::kGe || kind == QueryKind::kLe;
  NumericRange range;
  if (above) {
    range.lower = key;
    range.lower_inclusive = inclusive;
  } else {
    range.upper = key;
    range.upper_inclusive = inclusive;
  }
  static constexpr Comparison kOps[] = {Comparison::kGreater, Comparison::kGreaterOrEqual,
                                        Comparison::kLess, Comparison::kLessOrEqual};
  const auto op = kOps[static_cast<size_t>(kind) - static_cast<size_t>(QueryKind::kGt)];
  return numeric_range(numbers, range, candidates, [&](Bitmap& result) {
    numbers.ordered.compare(op, *key, candidates, result);
  });
}

Bitmap between(ValueIndex& index, const QueryExpr& query, const Bitmap& candidates) {
  const auto lower = numeric_key(query.values[0]);
  const auto upper = numeric_key(query.values[1]);
  if (!lower || !upper || *upper < *lower) return Bitmap();
  ReadGuard guard(index.numbers.lock());
  const NumericValues& numbers = index.numbers.get(guard);
  const NumericRange range{lower, true, upper, true};
  return numeric_range(numbers, range, candidates, [&](Bitmap& result) {
    Bitmap at_most;
    numbers.ordered.less_or_equal(*upper, candidates, at_most);
    numbers.ordered.greater_or_equal(*lower, at_most, result);
  });
}

Bitmap pattern(ValueIndex& index, QueryKind kind, const PyValue& value, const Bitmap& candidates) {
  if (value.kind() != ValueKind::kStr) return Bitmap();
  ReadGuard guard(index.strings.lock());
  const StringValues& strings = index.strings.get(guard);
  const std::string_view text = value.as_str();
  if (kind == QueryKind::kStartsWith) {
    if (auto walked = strings.exact.collect_prefix(text, walk_limit(candidates))) {
      return clipped(std::move(*walked), candidates);
    }
    return strings.positions.starts_with_within(text, candidates);
  }
  if (kind == QueryKind::kEndsWith) {
    if (auto walked = strings.exact.collect_suffix(text, walk_limit(candidates))) {
      return clipped(std::move(*walked), candidates);
    }
    return strings.positions.ends_with_within(text, candidates);
  }
  if (!NgramIndex::serves(text.size())) return strings.positions.contains_within(text, candidates);
  Bitmap found = strings.grams.candidates_within(text, candidates);
  if (NgramIndex::exact(text.size()) || found.empty()) return found;
  // Holding every trigram of the pattern does not place them side by side.
  return strings.positions.contains_within(text, found);
}

Bitmap membership(ValueIndex& index, const QueryExpr& query, const Bitmap& candidates) {
  Bitmap result;
  for (const PyValue& value : query.values) result.or_inplace(equal(index, value, candidates));
  return result;
}

Bitmap raw_lookup(const QueryExpr& query, ValueIndex& index, const Bitmap& candidates) {
  switch (query.kind) {
    case QueryKind::kEq:
    case QueryKind::kNe:
      return equal(index, query.value(), candidates);
    case QueryKind::kIn:
      return membership(index, query, candidates);
    case QueryKind::kGt:
    case QueryKind::kGe:
    case QueryKind::kLt:
    case QueryKind::kLe:
      return compare(index, query.kind, query.value(), candidates);
    case QueryKind::kBt:
      return between(index, query, candidates);
    case QueryKind::kStartsWith:
    case QueryKind::kEndsWith:
    case QueryKind::kContains:
      return pattern(index, query.kind, query.value(), candidates);
    default:
      return Bitmap();
  }
}

}  // namespace

bool holds_members(ValueIndex& index) {
  ReadGuard guard(index.proxies.lock());
  return !index.proxies.get(guard).set.empty();
}

RwLock* equal_postings_lock(ValueIndex& index, const PyValue& value) {
  return visit_value(value, Overloaded{
                                [&](const NumberValue&) { return &index.numbers.lock(); },
                                [&](const StringValue&) { return &index.strings.lock(); },
                                [&](const BoolValue&) { return &index.booleans.lock(); },
                                [](const auto&) -> RwLock* { return nullptr; },
                            });
}

namespace {

// The posting list of `key` in `postings` (numbers or strings), for reading
// in place: its bitmap when it is held as one.
template <typename Postings, typename Key>
EqualPostings postings_of(const Postings& postings, const Key& key) {
  if (const Bitmap* set = postings.heavy_bitmap(key)) return EqualPostings{true, set};
  // Held by few ids (not a bitmap to read in place), or by none.
  return EqualPostings{postings.count(key) > 0, nullptr};
}

}  // namespace

EqualPostings equal_postings(ValueIndex& index, const PyValue& value, const ReadGuard& guard) {
  return visit_value(
      value, Overloaded{
                 [&](const NumberValue& number) {
                   const auto key = numeric_key(number.value);
                   if (!key) return EqualPostings{};  // NaN equals nothing
                   return postings_of(index.numbers.get(guard).exact, *key);
                 },
                 [&](const StringValue& string) {
                   return postings_of(index.strings.get(guard).exact, string.text);
                 },
                 [&](const BoolValue& boolean) {
                   return EqualPostings{true, &index.booleans.get(guard).set(boolean.truth)};
                 },
                 [](const auto&) {
                   return EqualPostings{true, nullptr};
                 },
             });
}

uint64_t equal_size_hint(ValueIndex& index, const PyValue& value) {
  return visit_value(
      value,
      Overloaded{
          [&](const NumberValue& number) -> uint64_t {
            const auto key = numeric_key(number.value);
            if (!key) return 0;
            ReadGuard guard(index.numbers.lock());
            return index.numbers.get(guard).exact.count(*key);
          },
          [&](const StringValue& string) -> uint64_t {
            ReadGuard guard(index.strings.lock());
            return index.strings.get(guard).exact.count(string.text);
          },
          [&](const BoolValue& boolean) -> uint64_t {
            ReadGuard guard(index.booleans.lock());
            return index.booleans.get(guard).set(boolean.truth).cardinality();
          },
          [&](const OneOf<ContainerValue, NestedValue, HashedValue> auto& other) -> uint64_t {
            return index.hashed.cardinality(other.value);
          },
      });
}

namespace {

// `running` narrowed to the ids holding `key` in `postings`: in place when
// the key's list is a dense bitmap, else by walking the list.
template <typename Postings, typename Key>
Bitmap narrow_by(const Postings& postings, const Key& key, Bitmap& running) {
  const Bitmap* large = postings.heavy_bitmap(key);
  if (large == nullptr) return postings.equal_within(key, running);
  running.and_inplace(*large);
  return std::move(running);
}

}  // namespace

std::optional<Bitmap> narrow_equal(ValueIndex& index, const PyValue& value, Bitmap* running) {
  if (holds_members(index)) return std::nullopt;
  if (running == nullptr) return equal(index, value, nullptr);
  // `running` is the caller's to give up: a dense posting list narrows it
  // in place instead of through a copy of either set.
  return visit_value(value, Overloaded{
                                [&](const NumberValue& number) {
                                  const auto key = numeric_key(number.value);
                                  if (!key) return Bitmap();
                                  ReadGuard guard(index.numbers.lock());
                                  return narrow_by(index.numbers.get(guard).exact, *key, *running);
                                },
                                [&](const StringValue& string) {
                                  ReadGuard guard(index.strings.lock());
                                  return narrow_by(index.strings.get(guard).exact, string.text,
                                                   *running);
                                },
                                [&](const auto&) { return equal(index, value, running); },
                            });
}

bool subtract_equal(ValueIndex& index, const PyValue& value, Bitmap& running) {
  if (holds_members(index)) return false;
  visit_value(value, Overloaded{
                         [&](const NumberValue& number) {
                           const auto key = numeric_key(number.value);
                           if (!key) return;  // NaN equals nothing
                           ReadGuard guard(index.numbers.lock());
                           index.numbers.get(guard).exact.walk(
                               false,
                               [&](OrderKey, const auto& ids) {
                                 remove_ids(ids, running);
                                 return false;
                               },
                               key, key);
                         },
                         [&](const StringValue& string) {
                           ReadGuard guard(index.strings.lock());
                           const std::optional<std::string> key(string.text);
                           index.strings.get(guard).exact.walk(
                               false,
                               [&](std::string_view, const auto& ids) {
                                 remove_ids(ids, running);
                                 return false;
                               },
                               key, key);
                         },
                         [&](const BoolValue& boolean) {
                           ReadGuard guard(index.booleans.lock());
                           running.andnot_inplace(index.booleans.get(guard).set(boolean.truth));
                         },
                         [&](const OneOf<ContainerValue, NestedValue, HashedValue> auto& other) {
                           Bitmap found;
                           index.hashed.or_into(other.value, found);
                           running.andnot_inplace(found);
                         },
                     });
  return true;
}

Bitmap rewrite_proxies(ValueIndex& index, Bitmap ids) {
  ReadGuard guard(index.proxies.lock());
  const Proxies& proxies = index.proxies.get(guard);
  if (proxies.set.empty() || !ids.intersects(proxies.set)) return ids;
  Bitmap found = ids.clone();
  found.and_inplace(proxies.set);
  ids.andnot_inplace(found);
  std::array<uint32_t, 1024> batch;
  size_t used = 0;
  found.for_each([&](uint32_t proxy) {
    const auto it = proxies.owner_of.find(proxy);
    if (it == proxies.owner_of.end()) return;
    batch[used++] = it->second;
    if (used == batch.size()) {
      ids.add_many(batch.data(), used);
      used = 0;
    }
  });
  ids.add_many(batch.data(), used);
  return ids;
}

Bitmap lookup_leaf(const QueryExpr& query, ValueIndex& index, const Bitmap& universe) {
  const Candidates candidates(index, universe);
  Bitmap found = raw_lookup(query, index, candidates.get());
  if (&candidates.get() == &universe) return found;  // no members involved
  return rewrite_proxies(index, std::move(found));
}

}  // namespace qdx
