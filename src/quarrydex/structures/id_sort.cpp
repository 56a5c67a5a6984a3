#include "structures/id_sort.hpp"

#include <algorithm>
#include <array>
#include <utility>

namespace qdx {
namespace {

// Below this many ids the comparison sort is as quick as the two passes
// with their 512 KiB of counters and a second buffer.
constexpr size_t kCountingMinimum = 4096;
constexpr unsigned kDigitBits = 16;
constexpr size_t kDigits = size_t{1} << kDigitBits;

// Stable counting pass: orders `from` by the digit at `shift` into `to`.
void counting_pass(const std::vector<uint32_t>& from, std::vector<uint32_t>& to, unsigned shift,
                   std::vector<uint32_t>& counts) {
  std::fill(counts.begin(), counts.end(), 0);
  for (const uint32_t id : from) ++counts[(id >> shift) & (kDigits - 1)];
  uint32_t total = 0;
  for (uint32_t& c : counts) total += std::exchange(c, total);
  for (const uint32_t id : from) to[counts[(id >> shift) & (kDigits - 1)]++] = id;
}

}  // namespace

void sort_ids(std::vector<uint32_t>& ids) {
  if (ids.size() < kCountingMinimum) {
    std::sort(ids.begin(), ids.end());
    return;
  }
  std::vector<uint32_t> counts(kDigits);
  std::vector<uint32_t> scratch(ids.size());
  // Ids below 65536 need only the low pass.
  const bool high = *std::max_element(ids.begin(), ids.end()) >> kDigitBits != 0;
  counting_pass(ids, scratch, 0, counts);
  if (!high) {
    ids.swap(scratch);
    return;
  }
  counting_pass(scratch, ids, kDigitBits, counts);
}

}  // namespace qdx
