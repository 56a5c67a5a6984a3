#include "structures/rank_sample.hpp"

namespace qdx {

namespace {

uint64_t size_of(const HybridSet& set) {
  return set.cardinality();
}
uint64_t size_of(std::span<const uint32_t> ids) {
  return ids.size();
}

}  // namespace

void RankSample::rebuild(const NumericPostings& postings) {
  keys_.clear();
  uint64_t position = 0;
  uint64_t next_mark = 0;
  postings.walk(false, [&](const OrderKey& key, const auto& ids) {
    position += size_of(ids);
    for (; next_mark < position; next_mark += kStride) keys_.push_back(key);
    return true;
  });
  keys_.shrink_to_fit();
  total_ = position;
  writes_ = 0;
}

uint64_t RankSample::estimate(const std::optional<OrderKey>& lower, bool lower_inclusive,
                              const std::optional<OrderKey>& upper, bool upper_inclusive) const {
  const auto first = !lower
                         ? keys_.begin()
                         : (lower_inclusive ? std::lower_bound(keys_.begin(), keys_.end(), *lower)
                                            : std::upper_bound(keys_.begin(), keys_.end(), *lower));
  const auto last = !upper
                        ? keys_.end()
                        : (upper_inclusive ? std::upper_bound(keys_.begin(), keys_.end(), *upper)
                                           : std::lower_bound(keys_.begin(), keys_.end(), *upper));
  if (last <= first) return 0;
  return static_cast<uint64_t>(last - first) * kStride;
}

}  // namespace qdx
