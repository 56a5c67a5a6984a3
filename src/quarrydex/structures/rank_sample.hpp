// `RankSample`: how many ids hold a number within a range, estimated without
// walking the posting lists.
//
// A range leaf either walks the posting lists of the keys inside the range
// (cost grows with the ids found) or runs the bit-sliced scan (cost grows
// with the candidates). Choosing needs the number of ids in the range before
// either is paid for. The sample keeps the key of every kStride-th id in key
// order (the ids of one key counted one by one): the sample keys inside a
// range, times kStride, estimate the ids inside it within kStride per bound,
// plus whatever the writes since the last rebuild moved.
//
// Invariant: keys_ ascends. The owner rebuilds it after a bulk insertion, a
// narrowing or a union, and when note_writes says the writes since the last
// rebuild exceed an eighth of the ids (the rebuild walks every key, so its
// cost spread over those writes stays a few tens of nanoseconds each).
// Guarded by the owner's lock: rebuild and note_writes need the write lock,
// estimate the read lock.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "structures/numeric_postings.hpp"
#include "structures/order_key.hpp"

namespace qdx {

class RankSample {
 public:
  static constexpr uint64_t kStride = 256;

  void rebuild(const NumericPostings& postings);
  // Counts `count` single-id inserts or removals; true when the sample
  // should be rebuilt.
  bool note_writes(uint64_t count) {
    writes_ += count;
    return writes_ > std::max<uint64_t>(4096, total_ / 8);
  }
  // About how many ids hold a key between the bounds (an absent bound is
  // open).
  uint64_t estimate(const std::optional<OrderKey>& lower, bool lower_inclusive,
                    const std::optional<OrderKey>& upper, bool upper_inclusive) const;
  // Ids counted at the last rebuild.
  uint64_t total() const noexcept { return total_; }
  size_t memory_bytes() const noexcept { return keys_.capacity() * sizeof(OrderKey); }

 private:
  std::vector<OrderKey> keys_;
  uint64_t total_ = 0;
  uint64_t writes_ = 0;
};

}  // namespace qdx
