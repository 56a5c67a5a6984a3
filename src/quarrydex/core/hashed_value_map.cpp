#include "core/hashed_value_map.hpp"

#include <bit>

#include "base/word_hash.hpp"
#include "structures/id_alloc.hpp"

namespace qdx {

HashedValueMap::~HashedValueMap() {
  delete shards_.load(std::memory_order_acquire);
}

size_t HashedValueMap::shard_index(uint64_t hash) noexcept {
  return static_cast<size_t>(std::rotl(hash * kWordHashK, 26) & kMask);
}

HashedValueMap::Shards& HashedValueMap::shards_for_write() {
  Shards* current = shards_.load(std::memory_order_acquire);
  if (current != nullptr) return *current;
  auto fresh = std::make_unique<Shards>();
  if (shards_.compare_exchange_strong(current, fresh.get(), std::memory_order_acq_rel)) {
    return *fresh.release();
  }
  return *current;  // another thread published first
}

void HashedValueMap::retain_in_shard(Shard& shard, const Bitmap& keep) {
  for (auto it = shard.table.begin(); it != shard.table.end();) {
    it->second.retain(keep);
    if (it->second.empty()) {
      shard.table.erase(it++);
    } else {
      ++it;
    }
  }
}

void HashedValueMap::insert(const PyValue& value, uint32_t id) {
  Shard& shard = shards_for_write()[shard_index(value.hash())];
  WriteGuard guard(shard.lock);
  auto it = shard.table.find(value);
  if (it != shard.table.end()) {
    it->second.insert(id);
  } else {
    shard.table.emplace(value, HybridSet::with_one(id));
  }
}

void HashedValueMap::remove(const PyValue& value, uint32_t id) {
  Shards* all = shards_.load(std::memory_order_acquire);
  if (all == nullptr) return;
  Shard& shard = (*all)[shard_index(value.hash())];
  WriteGuard guard(shard.lock);
  auto it = shard.table.find(value);
  if (it == shard.table.end() || it->second.variant() == HybridSet::Variant::kEmpty) return;
  it->second.remove(id);
  // An emptied key is dropped so that objects that come and go (identity
  // keys) do not pile up keys.
  if (it->second.empty()) shard.table.erase(it);
}

std::optional<HybridSet> HashedValueMap::lookup(const PyValue& value) const {
  const Shards* all = shards();
  if (all == nullptr) return std::nullopt;
  auto& shard = const_cast<Shard&>((*all)[shard_index(value.hash())]);
  ReadGuard guard(shard.lock);
  const auto it = shard.table.find(value);
  if (it == shard.table.end()) return std::nullopt;
  return it->second.clone();
}

uint64_t HashedValueMap::cardinality(const PyValue& value) const {
  const Shards* all = shards();
  if (all == nullptr) return 0;
  auto& shard = const_cast<Shard&>((*all)[shard_index(value.hash())]);
  ReadGuard guard(shard.lock);
  const auto it = shard.table.find(value);
  return it == shard.table.end() ? 0 : it->second.cardinality();
}

void HashedValueMap::or_into(const PyValue& value, Bitmap& out) const {
  const Shards* all = shards();
  if (all == nullptr) return;
  auto& shard = const_cast<Shard&>((*all)[shard_index(value.hash())]);
  ReadGuard guard(shard.lock);
  const auto it = shard.table.find(value);
  if (it != shard.table.end()) it->second.or_into(out);
}

void HashedValueMap::narrow_except(const Bitmap& removed) {
  Shards* all = shards_.load(std::memory_order_acquire);
  if (all == nullptr) return;
  for (Shard& shard : *all) {
    WriteGuard guard(shard.lock);
    // Read under the shard's lock: every id in the shard was handed out
    // before, so the range covers it; later ids cannot be in the shard yet.
    Bitmap filter = Bitmap::range(0, id_high_water());
    filter.andnot_inplace(removed);
    retain_in_shard(shard, filter);
  }
}

void HashedValueMap::narrow(const Bitmap& filter) {
  Shards* all = shards_.load(std::memory_order_acquire);
  if (all == nullptr) return;
  for (Shard& shard : *all) {
    WriteGuard guard(shard.lock);
    retain_in_shard(shard, filter);
  }
}

void HashedValueMap::union_with(const HashedValueMap& other) {
  const Shards* theirs = other.shards();
  if (theirs == nullptr || theirs == shards()) return;
  Shards& ours = shards_for_write();
  for (size_t i = 0; i < kShards; ++i) {
    auto& source = const_cast<Shard&>((*theirs)[i]);
    WriteGuard target_guard(ours[i].lock);
    ReadGuard source_guard(source.lock);
    for (const auto& [value, set] : source.table) {
      auto it = ours[i].table.find(value);
      if (it != ours[i].table.end()) {
        it->second.union_with(set);
      } else {
        ours[i].table.emplace(value, set.clone());
      }
    }
  }
}

Bitmap HashedValueMap::ids() const {
  Bitmap result;
  const Shards* all = shards();
  if (all == nullptr) return result;
  for (const Shard& shard : *all) {
    ReadGuard guard(const_cast<Shard&>(shard).lock);
    for (const auto& [value, set] : shard.table) set.or_into(result);
  }
  return result;
}

}  // namespace qdx
