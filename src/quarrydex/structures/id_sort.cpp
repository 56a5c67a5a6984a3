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
// Ids a touched chunk must average for the words to pay: clearing and
// reading a chunk's 8 KiB of words costs about what sorting this many ids
// costs.
constexpr size_t kIdsPerChunkForWords = 256;

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

Bitmap bitmap_of_ids(std::vector<uint32_t>& ids) {
  Bitmap result;
  if (ids.size() >= kCountingMinimum) {
    const auto [low, high] = std::minmax_element(ids.begin(), ids.end());
    const uint32_t first_chunk = *low >> kDigitBits;
    const size_t chunks = (*high >> kDigitBits) - first_chunk + 1;
    if (ids.size() >= chunks * kIdsPerChunkForWords) {
      std::vector<uint64_t> words(chunks * Bitmap::kChunkWords);
      const uint32_t base = first_chunk << kDigitBits;
      for (const uint32_t id : ids) words[(id - base) >> 6] |= uint64_t{1} << (id & 63);
      for (size_t c = 0; c < chunks; ++c) {
        result.append_chunk(static_cast<uint16_t>(first_chunk + c),
                            words.data() + c * Bitmap::kChunkWords);
      }
      return result;
    }
  }
  sort_ids(ids);
  result.add_many(ids.data(), ids.size());
  return result;
}

}  // namespace qdx
