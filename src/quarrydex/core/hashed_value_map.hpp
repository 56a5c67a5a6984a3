// `HashedValueMap`: value -> id set for the values that are matched by
// identity or Python hash (nested objects and every other hashable object).
//
// Sixteen shards, each a reader-writer lock around a Swiss table keyed by
// PyValue. A value with stored hash h lives in shard
// rotate_left(h * 0xf1357aea2e62a9c5, 26) & 15; inside the shard the table
// mixes h with the process's random hashing seed. Keys compare with PyValue
// equality, so no Python code runs under a shard lock. A shard lock is never
// held while another lock is taken.
//
// The shard array is made on first insert (an attribute that never holds
// such values pays one pointer), published with a compare-and-swap, and lives
// as long as the map.
#pragma once

#include <array>
#include <atomic>
#include <memory>
#include <optional>

#include <absl/container/flat_hash_map.h>
#include <absl/hash/hash.h>

#include "base/locks.hpp"
#include "structures/bitmap.hpp"
#include "structures/hybrid_set.hpp"
#include "values/value.hpp"

namespace qdx {

class HashedValueMap {
 public:
  static constexpr size_t kShards = 16;
  static constexpr size_t kMask = kShards - 1;

  HashedValueMap() = default;
  ~HashedValueMap();
  HashedValueMap(const HashedValueMap&) = delete;
  HashedValueMap& operator=(const HashedValueMap&) = delete;

  static size_t shard_index(uint64_t hash) noexcept;

  void insert(const PyValue& value, uint32_t id);
  // Removes id from the value's set; an absent value or id changes nothing.
  void remove(const PyValue& value, uint32_t id);
  // A copy of the set stored for an equal value.
  std::optional<HybridSet> lookup(const PyValue& value) const;
  // How many ids are stored for an equal value (no copy is made).
  uint64_t cardinality(const PyValue& value) const;
  // out ∪= the ids stored for an equal value.
  void or_into(const PyValue& value, Bitmap& out) const;
  // Keeps only ids in `filter`, in every set.
  void narrow(const Bitmap& filter);
  // Removes the ids of `removed` from every set, and nothing else: ids
  // inserted meanwhile by other threads stay.
  void narrow_except(const Bitmap& removed);
  // Unites other's sets into this map, copying keys this map lacks.
  void union_with(const HashedValueMap& other);
  // Every id of every set.
  Bitmap ids() const;
  bool empty() const noexcept { return shards_.load(std::memory_order_acquire) == nullptr; }

 private:
  struct KeyHash {
    size_t operator()(const PyValue& v) const noexcept { return absl::HashOf(v.hash()); }
  };
  struct Shard {
    RwLock lock;
    absl::flat_hash_map<PyValue, HybridSet, KeyHash> table;
  };
  using Shards = std::array<Shard, kShards>;

  Shards& shards_for_write();
  // Keeps in each set of `shard` only the ids in `keep`; drops emptied sets.
  // The caller holds the shard's write lock.
  static void retain_in_shard(Shard& shard, const Bitmap& keep);
  const Shards* shards() const noexcept { return shards_.load(std::memory_order_acquire); }

  std::atomic<Shards*> shards_{nullptr};
};

}  // namespace qdx
