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

// Orders `items` by the reversed bytes of arena.get(ref(item)).
template <typename T, typename Ref>
void sort_reversed(std::vector<T>& items, const StringArena& arena, Ref ref) {
  const ScratchVector<uint32_t> order = order_by_bytes(
      items.size(), [&](size_t at) { return arena.get(ref(items[at])); }, true);
  std::vector<T> sorted;
  sorted.reserve(items.size());
  for (const uint32_t at : order) sorted.push_back(items[at]);
  items.swap(sorted);
}

}  // namespace

bool StringPostings::reversed_less(std::string_view a, std::string_view b) {
  return bytes_less(a, b, true);
}

// Appends groups in ascending byte order to a fresh structure; the forward
// trees are filled in order as they come, the reversed ones sorted at the end.
class StringPostings::Builder {
 public:
  explicit Builder(const StringPostings& like) : out_(like.heavy_at_, like.compact_from_) {}

  void add_set(std::string_view s, HybridSet set) {
    if (set.cardinality() < out_.heavy_at_) {
      std::vector<uint32_t> ids;
      if (const CenteredArray* small = set.small()) {
        ids.assign(small->run().begin(), small->run().end());
      } else if (const Bitmap* large = set.large()) {
        ids = large->to_vector();
      }
      add_ids(s, ids);
      return;
    }
    const uint32_t ref = out_.arena_->add(s);
    out_.heavy_.insert(out_.heavy_.end(), {ref, std::move(set)});
    heavy_refs_.push_back(ref);
  }
  // ids ascend without repeats.
  void add_ids(std::string_view s, std::span<const uint32_t> ids) {
    if (ids.empty()) return;
    if (ids.size() >= out_.heavy_at_) {
      add_set(s, HybridSet::of_sorted(ids.data(), ids.size()));
      return;
    }
    const uint32_t ref = out_.arena_->add(s);
    runs_.push_back({ref, static_cast<uint32_t>(ids.size()), entries_.size()});
    for (const uint32_t id : ids) {
      entries_.push_back({ref, id});
      out_.column_.insert(out_.column_.end(), Entry{ref, id});
    }
    ++out_.column_strings_;
  }
  StringPostings finish() {
    const StringArena& arena = *out_.arena_;
    sort_reversed(heavy_refs_, arena, [](uint32_t ref) { return ref; });
    for (const uint32_t ref : heavy_refs_) {
      out_.reversed_heavy_.insert(out_.reversed_heavy_.end(), ref);
    }
    sort_reversed(runs_, arena, [](const Run& run) { return run.ref; });
    for (const Run& run : runs_) {
      for (size_t i = run.first; i < run.first + run.count; ++i) {
        out_.reversed_column_.insert(out_.reversed_column_.end(), entries_[i]);
      }
    }
    return std::move(out_);
  }

 private:
  struct Run {
    uint32_t ref;
    uint32_t count;
    size_t first;  // in entries_
  };
  StringPostings out_;
  ScratchVector<Entry> entries_;
  std::vector<Run> runs_;
  std::vector<uint32_t> heavy_refs_;
};

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

void StringPostings::insert_sorted(std::span<const std::pair<std::string_view, uint32_t>> sorted) {
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

void StringPostings::rebuild(const Bitmap* filter,
                             std::span<const std::pair<std::string_view, uint32_t>> sorted) {
  Builder builder(*this);
  auto h = heavy_.begin();
  auto c = column_.cbegin();
  size_t i = 0;
  std::vector<uint32_t> ids;
  std::vector<uint32_t> extra;
  std::vector<uint32_t> merged;
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
    for (; i < sorted.size() && sorted[i].first == s; ++i) {
      if (extra.empty() || extra.back() != sorted[i].second) extra.push_back(sorted[i].second);
    }
    if (h != heavy_.end() && arena().get(h->first) == s) {
      HybridSet set = std::move(h->second);
      ++h;
      if (filter != nullptr) set.retain(*filter);
      if (extra.size() >= kUnionFrom) {
        set.union_with(HybridSet::of_sorted(extra.data(), extra.size()));
      } else {
        for (const uint32_t id : extra) set.insert(id);
      }
      if (!set.empty()) builder.add_set(s, std::move(set));
      continue;
    }
    ids.clear();
    if (c != column_.cend() && arena().get(c->ref) == s) {
      run_ids(c, ids);
      if (filter != nullptr) std::erase_if(ids, [&](uint32_t id) { return !filter->contains(id); });
    }
    merged.clear();
    std::set_union(ids.begin(), ids.end(), extra.begin(), extra.end(), std::back_inserter(merged));
    builder.add_ids(s, merged);
  }
  // The old arena backs the strings read above until here.
  *this = builder.finish();
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
