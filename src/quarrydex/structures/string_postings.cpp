#include "structures/string_postings.hpp"

#include <algorithm>
#include <iterator>

#include "base/panic.hpp"
#include "structures/byte_order.hpp"
#include "structures/exact_values.hpp"
#include "structures/scratch_allocator.hpp"

namespace qdx {

namespace {

// A batch adding this many ids to a heavy string is united in one step.
constexpr size_t kUnionFrom = 32;

bool starts_with(std::string_view s, std::string_view p) {
  return s.substr(0, p.size()) == p;
}
bool ends_with(std::string_view s, std::string_view p) {
  return s.size() >= p.size() && s.substr(s.size() - p.size()) == p;
}

// A distinct string of a rebuild, in the new arena: its ids are
// ids[first, first + count) of the rebuild's scratch, or, for a heavy string
// (count == 0), the set sets[first].
struct Merged {
  uint32_t ref;
  uint32_t first;
  uint32_t count;
};

}  // namespace

bool StringPostings::reversed_less(std::string_view a, std::string_view b) {
  return bytes_less(a, b, true);
}

StringPostings::StringPostings(uint64_t heavy, size_t compact_from)
    : heavy_at_(std::max<uint64_t>(heavy, 1)),
      compact_from_(compact_from),
      arena_(std::make_unique<StringArena>()),
      column_(ColumnLess{arena_.get()}),
      reversed_column_(ReversedColumnLess{arena_.get()}),
      heavy_(HeavyLess{arena_.get()}),
      reversed_heavy_(ReversedHeavyLess{arena_.get()}) {}

void StringPostings::run_ids(Column::const_iterator& it, std::vector<uint32_t>& out) const {
  out.clear();
  const uint32_t ref = it->ref;
  for (; it != column_.end() && it->ref == ref; ++it) out.push_back(it->id);
}

void StringPostings::promote_if_heavy(Column::const_iterator first) {
  const uint32_t ref = first->ref;
  auto last = first;
  uint64_t count = 0;
  for (; last != column_.end() && last->ref == ref && count < heavy_at_; ++last) ++count;
  if (count < heavy_at_) return;
  std::vector<uint32_t> ids;
  auto it = first;
  run_ids(it, ids);
  column_.erase(first, it);
  reversed_column_.erase(reversed_column_.lower_bound(Entry{ref, 0}),
                         reversed_column_.upper_bound(Entry{ref, UINT32_MAX}));
  heavy_.emplace(ref, HybridSet::of_sorted(ids.data(), ids.size()));
  reversed_heavy_.insert(ref);
  --column_strings_;
}

void StringPostings::insert(std::string_view s, uint32_t id) {
  if (const auto h = heavy_.find(s); h != heavy_.end()) {
    h->second.insert(id);
    return;
  }
  const auto it = first_of(s);
  uint32_t ref = 0;
  if (string_at(it, s)) {
    ref = it->ref;
  } else {
    ref = arena_->add(s);
    ++column_strings_;
  }
  if (!column_.insert(Entry{ref, id}).second) return;
  reversed_column_.insert(Entry{ref, id});
  promote_if_heavy(column_.lower_bound(Entry{ref, 0}));
}

void StringPostings::remove(std::string_view s, uint32_t id) {
  if (const auto h = heavy_.find(s); h != heavy_.end()) {
    h->second.remove(id);
    if (!h->second.empty()) return;
    const uint32_t ref = h->first;
    reversed_heavy_.erase(ref);
    heavy_.erase(h);
    release(ref);
    return;
  }
  auto it = column_.find(Probe{s, id});
  if (it == column_.end()) return;
  const Entry entry = *it;
  reversed_column_.erase(entry);
  it = column_.erase(it);
  const bool others = (it != column_.end() && it->ref == entry.ref) ||
                      (it != column_.begin() && std::prev(it)->ref == entry.ref);
  if (others) return;
  --column_strings_;
  release(entry.ref);
}

void StringPostings::release(uint32_t ref) {
  arena_->release(arena().get(ref));
  if (arena_->garbage_exceeds_live(compact_from_)) rebuild(nullptr);
}

void StringPostings::insert_sorted(Sorted sorted) {
  // A batch that is large next to what is held is merged in one ordered
  // pass, which also leaves every node full; a small one goes in pair by
  // pair.
  if (sorted.size() >= (column_.size() + heavy_.size()) / 8) {
    rebuild(nullptr, sorted);
    return;
  }
  for (const auto& [s, id] : sorted) insert(s, id);
}

void StringPostings::narrow(const Bitmap& filter) {
  rebuild(&filter);
}

// The structure is gathered first, in byte order, into scratch and a new
// arena of the size it needs; the old trees are freed before the new ones
// are built, so the new nodes take the places of the old ones in the heap
// rather than leaving them as holes below themselves.
void StringPostings::rebuild(const Bitmap* filter, Sorted sorted) {
  StringArena arena_out;
  size_t bound = arena_->live_bytes();
  for (size_t i = 0; i < sorted.size(); ++i) {
    if (i == 0 || sorted[i].first != sorted[i - 1].first) {
      bound += StringArena::footprint(sorted[i].first.size());
    }
  }
  arena_out.reserve(bound);
  // Sized up front from what the sources hold: pages never reached are never
  // mapped in, and the buffers never grow by copying.
  ScratchVector<Merged> merged;
  merged.reserve(column_strings_ + heavy_.size() + sorted.size());
  ScratchVector<uint32_t> ids;
  ids.reserve(column_.size() + sorted.size());
  ScratchVector<HybridSet> sets;
  sets.reserve(heavy_.size() + (column_.size() + sorted.size()) / heavy_at_ + 1);
  // A run of ids[first..] at least heavy_at long becomes a heavy set.
  auto add_run = [&](uint32_t ref, size_t first) {
    const size_t count = ids.size() - first;
    if (count == 0) return;
    if (count < heavy_at_) {
      merged.push_back({ref, static_cast<uint32_t>(first), static_cast<uint32_t>(count)});
      return;
    }
    sets.push_back(HybridSet::of_sorted(ids.data() + first, count));
    ids.resize(first);
    merged.push_back({ref, static_cast<uint32_t>(sets.size() - 1), 0});
  };

  auto h = heavy_.begin();
  auto c = column_.cbegin();
  size_t i = 0;
  std::vector<uint32_t> held;
  ScratchVector<uint32_t> extra;
  while (h != heavy_.end() || c != column_.cend() || i < sorted.size()) {
    // The least string of the three sources; they are disjoint but for the
    // batch, which may add to a string already held.
    std::string_view s;
    bool any = false;
    auto consider = [&](std::string_view t) {
      if (!any || t < s) s = t;
      any = true;
    };
    if (h != heavy_.end()) consider(arena().get(h->first));
    if (c != column_.cend()) consider(arena().get(c->ref));
    if (i < sorted.size()) consider(sorted[i].first);
    extra.clear();
    // Equal strings of a batch usually share their bytes: comparing the
    // addresses first saves most of the byte comparisons.
    auto same = [&](std::string_view t) {
      return (t.data() == s.data() && t.size() == s.size()) || t == s;
    };
    for (; i < sorted.size() && same(sorted[i].first); ++i) {
      if (extra.empty() || extra.back() != sorted[i].second) extra.push_back(sorted[i].second);
    }
    const size_t first = ids.size();
    if (h != heavy_.end() && arena().get(h->first) == s) {
      HybridSet set = std::move(h->second);
      ++h;
      if (filter != nullptr) set.retain(*filter);
      if (extra.size() >= kUnionFrom) {
        set.union_with(HybridSet::of_sorted(extra.data(), extra.size()));
      } else {
        for (const uint32_t id : extra) set.insert(id);
      }
      if (set.empty()) continue;
      const uint32_t ref = arena_out.add(s);
      if (set.cardinality() >= heavy_at_) {
        sets.push_back(std::move(set));
        merged.push_back({ref, static_cast<uint32_t>(sets.size() - 1), 0});
      } else {
        // Filtered below the threshold: back to the column.
        if (const CenteredArray* small = set.small()) {
          ids.insert(ids.end(), small->run().begin(), small->run().end());
        } else if (const Bitmap* large = set.large()) {
          large->for_each([&](uint32_t id) { ids.push_back(id); });
        }
        add_run(ref, first);
      }
      continue;
    }
    held.clear();
    if (c != column_.cend() && arena().get(c->ref) == s) {
      run_ids(c, held);
      if (filter != nullptr) {
        std::erase_if(held, [&](uint32_t id) { return !filter->contains(id); });
      }
    }
    std::set_union(held.begin(), held.end(), extra.begin(), extra.end(), std::back_inserter(ids));
    if (ids.size() != first) add_run(arena_out.add(s), first);
  }

  // Everything needed is in the scratch and the new arena now.
  column_.clear();
  reversed_column_.clear();
  heavy_.clear();
  reversed_heavy_.clear();
  arena_out.shrink_to_fit();
  *arena_ = std::move(arena_out);
  column_strings_ = 0;
  for (const Merged& m : merged) {
    if (m.count == 0) {
      heavy_.insert(heavy_.end(), {m.ref, std::move(sets[m.first])});
      continue;
    }
    for (uint32_t k = m.first; k < m.first + m.count; ++k) {
      column_.insert(column_.end(), Entry{m.ref, ids[k]});
    }
    ++column_strings_;
  }
  const ScratchVector<uint32_t> order = order_by_bytes(
      merged.size(), [&](size_t g) { return arena().get(merged[g].ref); }, true);
  for (const uint32_t g : order) {
    const Merged& m = merged[g];
    if (m.count == 0) {
      reversed_heavy_.insert(reversed_heavy_.end(), m.ref);
      continue;
    }
    for (uint32_t k = m.first; k < m.first + m.count; ++k) {
      reversed_column_.insert(reversed_column_.end(), Entry{m.ref, ids[k]});
    }
  }
}

uint64_t StringPostings::count(std::string_view s) const {
  if (const auto h = heavy_.find(s); h != heavy_.end()) return h->second.cardinality();
  uint64_t n = 0;
  auto it = first_of(s);
  if (!string_at(it, s)) return 0;
  for (const uint32_t ref = it->ref; it != column_.end() && it->ref == ref; ++it) ++n;
  return n;
}

bool StringPostings::holds(std::string_view s, uint32_t id) const {
  if (const auto h = heavy_.find(s); h != heavy_.end()) return h->second.contains(id);
  return column_.contains(Probe{s, id});
}

const Bitmap* StringPostings::heavy_bitmap(std::string_view s) const {
  const auto h = heavy_.find(s);
  return h == heavy_.end() ? nullptr : h->second.large();
}

Bitmap StringPostings::equal_within(std::string_view s, const Bitmap& candidates) const {
  Bitmap result;
  if (const auto h = heavy_.find(s); h != heavy_.end()) {
    if (const Bitmap* large = h->second.large()) {
      // Copy the smaller of the two and intersect it with the other.
      const bool set_smaller = large->cardinality() < candidates.cardinality();
      result = set_smaller ? large->clone() : candidates.clone();
      result.and_inplace(set_smaller ? candidates : *large);
      return result;
    }
    if (const CenteredArray* small = h->second.small()) {
      for (const uint32_t id : small->run()) {
        if (candidates.contains(id)) result.add(id);
      }
    }
    return result;
  }
  auto it = first_of(s);
  if (!string_at(it, s)) return result;
  std::vector<uint32_t> ids;
  run_ids(it, ids);
  std::erase_if(ids, [&](uint32_t id) { return !candidates.contains(id); });
  result.add_many(ids.data(), ids.size());
  return result;
}

Bitmap StringPostings::equal_all(std::string_view s) const {
  if (const auto h = heavy_.find(s); h != heavy_.end()) return h->second.to_bitmap();
  Bitmap result;
  auto it = first_of(s);
  if (!string_at(it, s)) return result;
  std::vector<uint32_t> ids;
  run_ids(it, ids);
  result.add_many(ids.data(), ids.size());
  return result;
}

std::optional<Bitmap> StringPostings::collect_prefix(std::string_view p, uint64_t limit) const {
  IdCollector collector(limit);
  for (auto h = heavy_.lower_bound(p); h != heavy_.end() && starts_with(arena().get(h->first), p);
       ++h) {
    if (!collector.add(h->second)) return std::nullopt;
  }
  uint32_t checked = 0;  // the last reference known to begin with p
  bool any = false;
  for (auto it = first_of(p); it != column_.end(); ++it) {
    if (!any || it->ref != checked) {
      if (!starts_with(arena().get(it->ref), p)) break;
      checked = it->ref;
      any = true;
    }
    if (!collector.add(it->id)) return std::nullopt;
  }
  return collector.finish();
}

std::optional<Bitmap> StringPostings::collect_suffix(std::string_view p, uint64_t limit) const {
  IdCollector collector(limit);
  for (auto r = reversed_heavy_.lower_bound(Suffix{p});
       r != reversed_heavy_.end() && ends_with(arena().get(*r), p); ++r) {
    if (!collector.add(heavy_.find(*r)->second)) return std::nullopt;
  }
  uint32_t checked = 0;
  bool any = false;
  for (auto it = reversed_column_.lower_bound(Suffix{p}); it != reversed_column_.end(); ++it) {
    if (!any || it->ref != checked) {
      if (!ends_with(arena().get(it->ref), p)) break;
      checked = it->ref;
      any = true;
    }
    if (!collector.add(it->id)) return std::nullopt;
  }
  return collector.finish();
}

size_t StringPostings::memory_bytes() const {
  // B-tree nodes hold the entries plus a small header; counted at the
  // entries' own size, which a bulk build comes close to.
  size_t total = sizeof(*this) + arena_->memory_bytes();
  total += (column_.size() + reversed_column_.size()) * sizeof(Entry);
  total += heavy_.size() * (sizeof(uint32_t) + sizeof(HybridSet)) +
           reversed_heavy_.size() * sizeof(uint32_t);
  for (const auto& [ref, set] : heavy_) {
    if (const Bitmap* large = set.large()) total += large->size_in_bytes();
  }
  return total;
}

void StringPostings::validate() const {
  if (reversed_column_.size() != column_.size() || reversed_heavy_.size() != heavy_.size()) {
    panic("string postings: the reversed trees disagree with the forward ones");
  }
  size_t strings = 0;
  for (auto it = column_.begin(); it != column_.end(); ++it) {
    if (!reversed_column_.contains(*it)) panic("string postings: entry missing from reversed tree");
    if (it != column_.begin() && std::prev(it)->ref == it->ref) continue;
    ++strings;
    // Runs of different references hold different strings, ascending.
    if (it != column_.begin() && !(arena().get(std::prev(it)->ref) < arena().get(it->ref))) {
      panic("string postings: one string under two references");
    }
    if (heavy_.contains(arena().get(it->ref))) panic("string postings: string in both tiers");
  }
  if (strings != column_strings_) panic("string postings: stale count of column strings");
  for (const auto& [ref, set] : heavy_) {
    if (set.empty()) panic("string postings: an empty heavy set was kept");
    if (!reversed_heavy_.contains(ref)) panic("string postings: heavy string missing reversed");
  }
}

}  // namespace qdx
