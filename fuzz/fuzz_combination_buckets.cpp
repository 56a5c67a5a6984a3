// libFuzzer target: ids filed by sum (CombinationBuckets), candidate ids
// probed against several bitmaps (Bitmap::sorted_within) and several bitmaps
// walked chunk by chunk (Bitmap::for_each_chunk_across), against plain
// models. Any mismatch or unexpected panic aborts.
//
// Input: a few bytes choose the shape (how many sets, how dense each chunk
// of each set is, how many distinct sums); the rest seed the ids.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <vector>

#include "structures/bitmap.hpp"
#include "structures/combination_buckets.hpp"

namespace {

using qdx::Bitmap;
using qdx::CombinationBuckets;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "combination mismatch: %s\n", what);
  std::abort();
}

constexpr uint32_t kChunks = 4;

// A set over kChunks chunks, each absent, sparse, dense or a run, by `shape`.
Bitmap make_set(uint32_t shape, std::mt19937& rng) {
  Bitmap set;
  for (uint32_t chunk = 0; chunk < kChunks; ++chunk, shape /= 4) {
    const uint32_t base = chunk << 16;
    switch (shape % 4) {
      case 0:
        break;
      case 1:
        for (int i = 0; i < 200; ++i) set.add(base + rng() % 65536);
        break;
      case 2: {
        std::vector<uint64_t> words(Bitmap::kChunkWords);
        for (uint64_t& word : words) word = uint64_t{rng()} << 32 | rng();
        set.append_chunk(static_cast<uint16_t>(chunk), words.data());
        break;
      }
      default:
        set.or_inplace(Bitmap::range(base + rng() % 30000, base + 30000 + rng() % 35000));
        set.run_optimize();
    }
  }
  return set;
}

void check_sorted_within(const uint8_t* data, size_t size, std::mt19937& rng) {
  const size_t count = 1 + data[0] % 4;
  std::vector<Bitmap> sets;
  for (size_t i = 0; i < count; ++i)
    sets.push_back(make_set(data[1 + i % (size - 1)] * 7u + i, rng));
  std::vector<const Bitmap*> pointers;
  for (const Bitmap& set : sets) pointers.push_back(&set);
  std::vector<uint32_t> ids;
  for (size_t i = 1; i + 1 < size; i += 2) {
    ids.push_back((uint32_t{data[i]} << 10 | uint32_t{data[i + 1]} << 2) % (kChunks << 16));
  }
  if (data[0] & 0x80) {  // a whole chunk: more ids than an array holds
    for (uint32_t id = 1u << 16; id < 2u << 16; ++id) ids.push_back(id);
  }
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  Bitmap expected = Bitmap::of(ids);
  for (const Bitmap& set : sets) expected.and_inplace(set);
  if (Bitmap::sorted_within(ids, pointers).to_vector() != expected.to_vector()) {
    fail("sorted_within");
  }
  std::vector<std::vector<uint32_t>> visited(pointers.size());
  uint32_t last_chunk = 0;
  Bitmap::for_each_chunk_across(pointers, [&](size_t i, const uint32_t* block, size_t n) {
    if ((block[0] >> 16) < last_chunk || (block[n - 1] >> 16) != (block[0] >> 16))
      fail("chunk order");
    last_chunk = block[0] >> 16;
    visited[i].insert(visited[i].end(), block, block + n);
  });
  for (size_t i = 0; i < pointers.size(); ++i) {
    if (visited[i] != pointers[i]->to_vector()) fail("for_each_chunk_across");
  }
}

void check_buckets(const uint8_t* data, size_t size, std::mt19937& rng) {
  const uint32_t ids = static_cast<uint32_t>(size) * 97;
  const uint32_t distinct = 1 + data[0] * 13u;
  std::vector<uint32_t> sums(ids);
  std::vector<uint64_t> present((ids + 63) / 64);
  std::map<uint32_t, std::vector<uint32_t>> by_sum;
  for (uint32_t id = 0; id < ids; ++id) {
    sums[id] = qdx::combination_term(rng() % distinct, data[id % size] % 3);
    if (data[(id * 7) % size] % 3 == 0) continue;
    present[id / 64] |= uint64_t{1} << (id % 64);
    by_sum[sums[id]].push_back(id);
  }
  const CombinationBuckets buckets = CombinationBuckets::build(sums, present);
  size_t held = 0;
  for (const auto& [sum, members] : by_sum) {
    const auto found = buckets.candidates(sum);
    if (!std::is_sorted(found.begin(), found.end())) fail("bucket order");
    if (!std::includes(found.begin(), found.end(), members.begin(), members.end())) fail("bucket");
    held += members.size();
  }
  if (buckets.size() != held) fail("size");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  std::mt19937 rng(data[size - 1] | data[size - 2] << 8);
  check_sorted_within(data, size, rng);
  check_buckets(data, size, rng);
  return 0;
}
