#include "structures/numeric_postings.hpp"

#include <algorithm>
#include <functional>

#include "base/panic.hpp"
#include "structures/id_sort.hpp"

namespace qdx {

namespace {

using IdVector = std::vector<uint32_t>;

}  // namespace

NumericPostings::Heavy NumericPostings::heavy_of(std::vector<uint32_t> ids) const {
  if (ids.size() <= vector_max_) {
    ids.shrink_to_fit();
    return Heavy(std::in_place_type<IdVector>, std::move(ids));
  }
  return Heavy(std::in_place_type<HybridSet>, HybridSet::of_sorted(ids.data(), ids.size()));
}

void NumericPostings::heavy_insert(Heavy& heavy, uint32_t id) const {
  auto* ids = std::get_if<IdVector>(&heavy);
  if (ids == nullptr) {
    std::get<HybridSet>(heavy).insert(id);
    return;
  }
  const auto at = std::lower_bound(ids->begin(), ids->end(), id);
  if (at != ids->end() && *at == id) return;
  ids->insert(at, id);
  if (ids->size() > vector_max_) heavy = heavy_of(std::move(*ids));
}

void NumericPostings::heavy_remove(Heavy& heavy, uint32_t id) {
  auto* ids = std::get_if<IdVector>(&heavy);
  if (ids == nullptr) {
    std::get<HybridSet>(heavy).remove(id);
    return;
  }
  const auto at = std::lower_bound(ids->begin(), ids->end(), id);
  if (at != ids->end() && *at == id) ids->erase(at);
}

void NumericPostings::heavy_retain(Heavy& heavy, const Bitmap& filter) {
  if (auto* ids = std::get_if<IdVector>(&heavy)) {
    std::erase_if(*ids, [&](uint32_t id) { return !filter.contains(id); });
  } else {
    std::get<HybridSet>(heavy).retain(filter);
  }
}

uint64_t NumericPostings::heavy_count(const Heavy& heavy) {
  if (const auto* ids = std::get_if<IdVector>(&heavy)) return ids->size();
  return std::get<HybridSet>(heavy).cardinality();
}

bool NumericPostings::heavy_holds(const Heavy& heavy, uint32_t id) {
  if (const auto* ids = std::get_if<IdVector>(&heavy)) {
    return std::binary_search(ids->begin(), ids->end(), id);
  }
  return std::get<HybridSet>(heavy).contains(id);
}

void NumericPostings::promote_if_heavy(OrderKey key) {
  auto it = first_of(key);
  uint64_t held = 0;
  for (auto c = it; key_at(c, key) && held < heavy_at_; ++c) ++held;
  if (held < heavy_at_) return;
  std::vector<uint32_t> ids;
  auto end = it;
  for (; key_at(end, key); ++end) ids.push_back(uint32_t{end->id});
  column_.erase(it, end);
  --column_keys_;
  heavy_.emplace(key, heavy_of(std::move(ids)));
}

void NumericPostings::insert(OrderKey key, uint32_t id) {
  if (const auto h = heavy_.find(key); h != heavy_.end()) {
    heavy_insert(h->second, id);
    return;
  }
  if (!key_at(first_of(key), key)) ++column_keys_;
  column_.insert(Entry::of(key, id));
  promote_if_heavy(key);
}

void NumericPostings::remove(OrderKey key, uint32_t id) {
  if (const auto h = heavy_.find(key); h != heavy_.end()) {
    heavy_remove(h->second, id);
    if (heavy_empty(h->second)) heavy_.erase(h);
    return;
  }
  if (column_.erase(Entry::of(key, id)) == 0) return;
  if (!key_at(first_of(key), key)) --column_keys_;
}

void NumericPostings::insert_sorted(std::span<const std::pair<OrderKey, uint32_t>> sorted) {
  std::vector<uint32_t> ids;
  for (size_t i = 0; i < sorted.size();) {
    const OrderKey key = sorted[i].first;
    ids.clear();
    for (; i < sorted.size() && sorted[i].first == key; ++i) {
      if (ids.empty() || ids.back() != sorted[i].second) ids.push_back(sorted[i].second);
    }
    if (const auto h = heavy_.find(key); h != heavy_.end()) {
      for (const uint32_t id : ids) heavy_insert(h->second, id);
      continue;
    }
    const auto existing = first_of(key);
    if (!key_at(existing, key) && ids.size() >= heavy_at_) {
      heavy_.emplace(key, heavy_of(ids));
      continue;
    }
    if (!key_at(existing, key)) ++column_keys_;
    // Entries come in ascending order: each goes just before the hint's
    // successor, so a build into an empty column appends at the end.
    auto hint = existing;
    for (const uint32_t id : ids) hint = std::next(column_.insert(hint, Entry::of(key, id)));
    promote_if_heavy(key);
  }
}

void NumericPostings::narrow(const Bitmap& filter) {
  for (auto h = heavy_.begin(); h != heavy_.end();) {
    heavy_retain(h->second, filter);
    // A B-tree erase invalidates every iterator but the one it returns.
    h = heavy_empty(h->second) ? heavy_.erase(h) : std::next(h);
  }
  for (auto c = column_.begin(); c != column_.end();) {
    c = filter.contains(c->id) ? std::next(c) : column_.erase(c);
  }
  column_keys_ = 0;
  for (auto c = column_.begin(); c != column_.end(); ++c) {
    if (c == column_.begin() || !(std::prev(c)->key() == c->key())) ++column_keys_;
  }
}

uint64_t NumericPostings::count(OrderKey key) const {
  if (const auto h = heavy_.find(key); h != heavy_.end()) return heavy_count(h->second);
  uint64_t held = 0;
  for (auto c = first_of(key); key_at(c, key); ++c) ++held;
  return held;
}

bool NumericPostings::holds(OrderKey key, uint32_t id) const {
  if (const auto h = heavy_.find(key); h != heavy_.end()) return heavy_holds(h->second, id);
  return column_.contains(Entry::of(key, id));
}

const Bitmap* NumericPostings::heavy_bitmap(OrderKey key) const {
  const auto h = heavy_.find(key);
  if (h == heavy_.end()) return nullptr;
  const auto* set = std::get_if<HybridSet>(&h->second);
  return set == nullptr ? nullptr : set->large();
}

Bitmap NumericPostings::equal_within(OrderKey key, const Bitmap& candidates) const {
  Bitmap result;
  const auto h = heavy_.find(key);
  if (h != heavy_.end() && std::holds_alternative<HybridSet>(h->second)) {
    const HybridSet& set = std::get<HybridSet>(h->second);
    if (const Bitmap* large = set.large()) {
      const bool set_smaller = large->cardinality() < candidates.cardinality();
      result = set_smaller ? large->clone() : candidates.clone();
      result.and_inplace(set_smaller ? candidates : *large);
      return result;
    }
    set.or_into(result);
    result.and_inplace(candidates);
    return result;
  }
  std::vector<uint32_t> ids;
  if (h != heavy_.end()) {
    for (const uint32_t id : std::get<IdVector>(h->second)) {
      if (candidates.contains(id)) ids.push_back(id);
    }
    result.add_many(ids.data(), ids.size());
    return result;
  }
  for (auto c = first_of(key); key_at(c, key); ++c) {
    if (candidates.contains(c->id)) ids.push_back(uint32_t{c->id});
  }
  result.add_many(ids.data(), ids.size());
  return result;
}

// The heavy set is copied as it is and the column run already ascends by id,
// so neither needs the sort a range collection pays for.
Bitmap NumericPostings::equal_all(OrderKey key) const {
  Bitmap result;
  if (const auto h = heavy_.find(key); h != heavy_.end()) {
    if (const auto* sorted = std::get_if<IdVector>(&h->second)) {
      result.add_many(sorted->data(), sorted->size());
      return result;
    }
    const HybridSet& set = std::get<HybridSet>(h->second);
    if (const Bitmap* large = set.large()) return large->clone();
    set.or_into(result);
    return result;
  }
  std::vector<uint32_t> ids;
  for (auto c = first_of(key); key_at(c, key); ++c) ids.push_back(uint32_t{c->id});
  result.add_many(ids.data(), ids.size());
  return result;
}

std::optional<Bitmap> NumericPostings::collect_range(const std::optional<OrderKey>& lower,
                                                     bool lower_inclusive,
                                                     const std::optional<OrderKey>& upper,
                                                     bool upper_inclusive, uint64_t limit) const {
  auto h = !lower ? heavy_.begin()
                  : (lower_inclusive ? heavy_.lower_bound(*lower) : heavy_.upper_bound(*lower));
  const auto h_end =
      !upper ? heavy_.end()
             : (upper_inclusive ? heavy_.upper_bound(*upper) : heavy_.lower_bound(*upper));
  if (lower && upper &&
      (*upper < *lower || (*upper == *lower && !(lower_inclusive && upper_inclusive)))) {
    return Bitmap();
  }
  IdCollector collector(limit);
  for (; h != h_end; ++h) {
    const auto* sorted = std::get_if<IdVector>(&h->second);
    const bool within = sorted != nullptr ? collector.add_run(sorted->begin(), sorted->end(),
                                                              [](uint32_t id) { return id; })
                                          : collector.add(std::get<HybridSet>(h->second));
    if (!within) return std::nullopt;
  }
  auto c = !lower ? column_.begin() : column_.lower_bound(Entry::of(*lower, 0));
  if (lower && !lower_inclusive) {
    while (key_at(c, *lower)) ++c;
  }
  const auto c_end = !upper ? column_.end() : column_.lower_bound(Entry::of(*upper, 0));
  auto last = c_end;
  if (upper && upper_inclusive) {
    while (key_at(last, *upper)) ++last;
  }
  if (!collector.add_run(c, last, [](const Entry& e) { return e.id; })) return std::nullopt;
  return collector.finish();
}

size_t NumericPostings::memory_bytes() const {
  // Leaves of 256-byte nodes, about full after a bulk build.
  size_t total = sizeof(*this) + column_.size() * (sizeof(Entry) + 1);
  for (const auto& [key, heavy] : heavy_) {
    total += sizeof(OrderKey) + sizeof(Heavy);
    if (const auto* sorted = std::get_if<IdVector>(&heavy)) {
      total += sorted->capacity() * sizeof(uint32_t);
    } else if (const Bitmap* large = std::get<HybridSet>(heavy).large()) {
      total += large->size_in_bytes();
    }
  }
  return total;
}

void NumericPostings::validate() const {
  size_t keys = 0;
  for (auto c = column_.begin(); c != column_.end(); ++c) {
    if (c == column_.begin() || !(std::prev(c)->key() == c->key())) {
      ++keys;
      if (heavy_.contains(c->key())) panic("numeric postings: a key in both tiers");
    }
  }
  if (keys != column_keys_) panic("numeric postings: stale count of column keys");
  for (const auto& [key, heavy] : heavy_) {
    if (heavy_empty(heavy)) panic("numeric postings: an empty heavy set was kept");
    if (const auto* sorted = std::get_if<IdVector>(&heavy)) {
      if (sorted->size() > vector_max_) panic("numeric postings: an oversized heavy vector");
      if (std::adjacent_find(sorted->begin(), sorted->end(), std::greater_equal<>()) !=
          sorted->end()) {
        panic("numeric postings: a heavy vector out of order");
      }
    }
  }
}

}  // namespace qdx
