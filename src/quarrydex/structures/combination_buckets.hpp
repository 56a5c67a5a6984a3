// `CombinationBuckets`: ids grouped by a 64-bit sum, so that the ids with a
// given sum are found among a few candidates without a scan.
//
// A conjunction of equalities over several attributes is answered through it
// by giving each id the sum of one term per attribute (`combination_term` of
// its value's hash and the attribute's position): ids with the same values
// have the same sum, and a query's values give the sum to look up.
//
// Sums are taken modulo 2^32: they only choose buckets, and half the width
// halves a build's scratch.
//
// Invariants: built once, immutable after. The top `bits_` bits of a sum
// choose its bucket; the ids of bucket b are ids_[offsets_[b] .. offsets_[b+1]),
// ascending, and every id given to `build` is in the bucket of its sum. So the
// candidates of a sum hold every id with that sum, plus the ids of other
// sums that share the bucket; callers filter those out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace qdx {

// A bijective mix of 64 bits (the splitmix64 finalizer).
inline uint64_t combination_mix(uint64_t x) noexcept {
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}
// The term of a value (by its hash) at a position of the attribute list: the
// top half of a mix, so different (hash, position) pairs collide only by
// chance.
inline uint32_t combination_term(uint64_t value_hash, size_t position) noexcept {
  return static_cast<uint32_t>(
      combination_mix(value_hash + (position + 1) * 0x9e3779b97f4a7c15ULL) >> 32);
}

class CombinationBuckets {
 public:
  CombinationBuckets() = default;
  // Groups the ids whose bit is set in `present` (64 ids a word, id 0 the
  // lowest bit of the first word) by sums[id]; `sums` covers every such id.
  static CombinationBuckets build(std::span<const uint32_t> sums,
                                  std::span<const uint64_t> present);

  // The ids that may have `sum`, ascending: all of those that do.
  std::span<const uint32_t> candidates(uint32_t sum) const noexcept;
  size_t size() const noexcept { return ids_.size(); }
  size_t memory_bytes() const noexcept {
    return (ids_.capacity() + offsets_.capacity()) * sizeof(uint32_t);
  }

 private:
  uint32_t bucket(uint32_t sum) const noexcept { return bits_ == 0 ? 0 : sum >> (32 - bits_); }

  int bits_ = 0;
  std::vector<uint32_t> offsets_{0, 0};
  std::vector<uint32_t> ids_;
};

}  // namespace qdx
