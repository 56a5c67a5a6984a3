#include "structures/combination_buckets.hpp"

#include <algorithm>
#include <bit>

namespace qdx {
namespace {

// Calls f(id) for each id whose bit is set in `words`, ascending.
template <typename F>
void for_each_present(std::span<const uint64_t> words, F&& f) {
  for (size_t w = 0; w < words.size(); ++w) {
    for (uint64_t word = words[w]; word != 0; word &= word - 1) {
      f(static_cast<uint32_t>(w * 64 + static_cast<unsigned>(std::countr_zero(word))));
    }
  }
}

}  // namespace

CombinationBuckets CombinationBuckets::build(std::span<const uint32_t> sums,
                                             std::span<const uint64_t> present) {
  size_t count = 0;
  for (uint64_t word : present) count += static_cast<size_t>(std::popcount(word));
  CombinationBuckets out;
  // About 32 ids a bucket when every id has a sum of its own (ids that share
  // values share a bucket anyway): the counts stay in cache while the ids
  // are placed, the offsets cost an eighth of a byte an id, and a lookup
  // probes a few dozen strangers at most on average.
  out.bits_ = std::clamp(static_cast<int>(std::bit_width(count / 32)), 0, 28);
  out.offsets_.assign((size_t{1} << out.bits_) + 1, 0);
  for_each_present(present, [&](uint32_t id) { ++out.offsets_[out.bucket(sums[id]) + 1]; });
  for (size_t b = 1; b < out.offsets_.size(); ++b) out.offsets_[b] += out.offsets_[b - 1];
  out.ids_.resize(count);
  // Placed in ascending id order through a moving cursor per bucket, so each
  // bucket comes out ascending; the cursors end where the next bucket starts.
  std::vector<uint32_t> cursor(out.offsets_.begin(), out.offsets_.end() - 1);
  for_each_present(present, [&](uint32_t id) { out.ids_[cursor[out.bucket(sums[id])]++] = id; });
  return out;
}

std::span<const uint32_t> CombinationBuckets::candidates(uint32_t sum) const noexcept {
  const uint32_t b = bucket(sum);
  return std::span<const uint32_t>(ids_).subspan(offsets_[b], offsets_[b + 1] - offsets_[b]);
}

}  // namespace qdx
