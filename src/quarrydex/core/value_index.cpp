#include "core/value_index.hpp"

#include <algorithm>
#include <functional>
#include <string>

#include <absl/container/flat_hash_map.h>
#include <absl/hash/hash.h>

#include "core/index_state.hpp"
#include "structures/byte_order.hpp"
#include "structures/id_alloc.hpp"
#include "structures/scratch_allocator.hpp"

namespace qdx {

ValueIndex::ValueIndex(std::weak_ptr<IndexState> owner_link) : owner(std::move(owner_link)) {}

// Proxy ids come from the process-wide allocator; an index that goes away
// must give them back, or every dropped index would push new ids (and with
// them the length of every object store) ever higher.
ValueIndex::~ValueIndex() {
  const Proxies& remaining = proxies.unguarded();
  remaining.set.for_each([](uint32_t proxy) { release_id(proxy); });
}

namespace {

using StringItems = std::span<std::pair<std::string_view, uint32_t>>;

// The distinct strings of a batch, each with the ids that hold it.
struct Groups {
  ScratchVector<std::string_view> distinct;
  ScratchVector<uint32_t> starts;    // the ids of group g are ids[starts[g], starts[g + 1])
  ScratchVector<uint32_t> ids;       // ascending within each group
  ScratchVector<uint32_t> group_of;  // the group of each item
};

Groups group_items(StringItems items) {
  using Entry = std::pair<const std::string_view, uint32_t>;
  absl::flat_hash_map<std::string_view, uint32_t, absl::Hash<std::string_view>,
                      std::equal_to<std::string_view>, ScratchAllocator<Entry>>
      number_of;
  Groups groups;
  ScratchVector<uint32_t>& group_of = groups.group_of;
  group_of.resize(items.size());
  for (size_t i = 0; i < items.size(); ++i) {
    const auto [it, fresh] =
        number_of.try_emplace(items[i].first, static_cast<uint32_t>(groups.distinct.size()));
    if (fresh) groups.distinct.push_back(items[i].first);
    group_of[i] = it->second;
  }
  groups.starts.assign(groups.distinct.size() + 1, 0);
  for (const uint32_t g : group_of) ++groups.starts[g + 1];
  for (size_t g = 1; g < groups.starts.size(); ++g) groups.starts[g] += groups.starts[g - 1];
  ScratchVector<uint32_t> next(groups.starts.begin(), groups.starts.end() - 1);
  groups.ids.resize(items.size());
  for (size_t i = 0; i < items.size(); ++i) groups.ids[next[group_of[i]]++] = items[i].second;
  for (size_t g = 0; g + 1 < groups.starts.size(); ++g) {
    const auto first = groups.ids.begin() + groups.starts[g];
    const auto last = groups.ids.begin() + groups.starts[g + 1];
    if (!std::is_sorted(first, last)) std::sort(first, last);
  }
  return groups;
}

using NumberItems = std::span<std::pair<OrderKey, uint32_t>>;

// Sorts items that are in id order by (key, id). A batch usually repeats
// keys: then the distinct keys are counted in a hash map, sorted alone, and
// the ids dealt out to their keys in one stable pass, which keeps each key's
// ids ascending. Mostly distinct keys take a comparison sort.
void sort_by_key(NumberItems items) {
  using Key = std::pair<uint16_t, uint64_t>;  // (exponent, mantissa): key order
  auto key_of = [](const OrderKey& k) {
    return Key{static_cast<uint16_t>(k.exponent & OrderKey::kExponentMask), k.mantissa};
  };
  using Entry = std::pair<const Key, uint32_t>;
  absl::flat_hash_map<Key, uint32_t, absl::Hash<Key>, std::equal_to<Key>, ScratchAllocator<Entry>>
      count_of;
  const size_t limit = items.size() / 4;
  for (const auto& item : items) {
    ++count_of[key_of(item.first)];
    if (count_of.size() > limit) {
      std::sort(items.begin(), items.end());
      return;
    }
  }
  ScratchVector<std::pair<Key, uint32_t>> keys(count_of.begin(), count_of.end());
  std::sort(keys.begin(), keys.end());
  uint32_t start = 0;
  for (auto& [key, count] : keys) {
    const uint32_t next = start + count;
    count_of[key] = start;
    count = next;  // the end of the key's ids
    start = next;
  }
  ScratchVector<uint32_t> ids(items.size());
  for (const auto& [key, id] : items) ids[count_of[key_of(key)]++] = id;
  size_t k = 0;
  for (const auto& [key, end] : keys) {
    const OrderKey order_key{key.second, key.first};
    for (; k < end; ++k) items[k] = {order_key, ids[k]};
  }
}

}  // namespace

void NumericValues::insert_many(NumberItems items) {
  const auto by_id = [](const auto& a, const auto& b) { return a.second < b.second; };
  // A batch of new objects comes in id order already.
  if (!std::is_sorted(items.begin(), items.end(), by_id)) {
    std::sort(items.begin(), items.end(), by_id);
  }
  ordered.insert_id_sorted(items);
  sort_by_key(items);
  exact.insert_sorted(items);
  note_writes(items.size());
}

// Equal strings are grouped by hashing first, so only distinct strings are
// sorted (a batch often holds a few values many times over).
void StringValues::insert_many(StringItems items) {
  const Groups groups = group_items(items);
  // A string held by many ids goes into the positional and n-gram cells as
  // one bitmap union per cell; the others go in id by id.
  constexpr uint32_t kShared = 64;
  ScratchVector<bool> shared(groups.distinct.size());
  for (size_t g = 0; g < groups.distinct.size(); ++g) {
    shared[g] = groups.starts[g + 1] - groups.starts[g] >= kShared;
    if (!shared[g]) continue;
    Bitmap ids;
    ids.add_many(groups.ids.data() + groups.starts[g], groups.starts[g + 1] - groups.starts[g]);
    positions.insert_all(ids, groups.distinct[g]);
    grams.insert_all(ids, groups.distinct[g]);
  }
  ScratchVector<std::pair<std::string_view, uint32_t>> rare;
  for (size_t i = 0; i < items.size(); ++i) {
    if (shared[groups.group_of[i]]) continue;
    positions.buffered_insert(items[i].second, items[i].first);
    rare.push_back(items[i]);
  }
  positions.flush();
  grams.insert_many(rare);
  size_t k = 0;
  for (const uint32_t g : order_by_bytes(
           groups.distinct.size(), [&](size_t g) { return groups.distinct[g]; }, false)) {
    for (uint32_t i = groups.starts[g]; i < groups.starts[g + 1]; ++i) {
      items[k++] = {groups.distinct[g], groups.ids[i]};
    }
  }
  exact.insert_sorted(items);
}

std::shared_ptr<IndexState> ValueIndex::nested() const {
  const std::shared_ptr<IndexState> state = owner.lock();
  return state == nullptr ? nullptr : state->nested_index(false);
}

std::shared_ptr<IndexState> ValueIndex::nested_or_make() const {
  const std::shared_ptr<IndexState> state = owner.lock();
  return state == nullptr ? nullptr : state->nested_index(true);
}

}  // namespace qdx
