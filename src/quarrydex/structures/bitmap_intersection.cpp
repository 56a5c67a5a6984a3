// Bitmap::intersection_of: the ids common to several bitmaps in one pass.
//
// The sets are walked chunk by chunk (2^16 ids, one container per set). For
// each chunk every set holds, the container with the fewest ids drives:
//   - at most 4096 ids (an array, or a small run or bitset read out): its ids
//     are tested against the words of each bitset container of the chunk in
//     turn, branch-free, most selective first, and the few survivors against
//     the array and run containers; the result is an array container;
//   - more (then every container of the chunk is a bitset or a run): the
//     chunk's words are ANDed together.
// No intermediate set is built and no posting list is copied: a conjunction
// of equalities costs one probe per id of its smallest list and one per id
// still left for each further list, with no container made in between.
// First: roaring.h declares the container functions with C linkage.
#include "structures/bitmap.hpp"

#include <roaring/array_util.h>
#include <roaring/bitset_util.h>
#include <roaring/containers/containers.h>
#include <roaring/roaring_array.h>

#include <absl/container/inlined_vector.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "base/panic.hpp"

namespace qdx {
namespace {

constexpr int32_t kArrayMax = DEFAULT_MAX_SIZE;  // ids an array container holds at most

struct Chunk {
  const void* container;
  uint8_t type;
  int32_t cardinality;
};

// Per-set bookkeeping of one call, on the stack for the usual few sets.
constexpr size_t kInlineSets = 8;
using Chunks = absl::InlinedVector<Chunk, kInlineSets>;

// The container of `ra` for `key`, looked for after position `pos` (keys
// are asked for in ascending order, so each set is walked once); false when
// `ra` has no ids there.
// `with_cardinality` false leaves chunk.cardinality unset (a probe needs
// none; an empty container then just holds nothing).
bool find_chunk(const roaring_array_t* ra, uint16_t key, int32_t& pos, Chunk& chunk,
                bool with_cardinality = true) {
  const int32_t found = ra_advance_until(ra, key, pos);
  if (found >= ra->size || ra->keys[found] != key) {
    pos = found - 1;  // the key found may be the next one asked for
    return false;
  }
  pos = found;
  chunk.type = ra->typecodes[pos];
  chunk.container = container_unwrap_shared(ra->containers[pos], &chunk.type);
  if (!with_cardinality) return true;
  chunk.cardinality = container_get_cardinality(chunk.container, chunk.type);
  return chunk.cardinality != 0;
}

const uint64_t* words_of(const Chunk& chunk) {
  return static_cast<const bitset_container_t*>(chunk.container)->array;
}

// kept += bit `id` of `word` (id < 64 taken modulo 64).
inline void add_bit(size_t& kept, uint64_t word, uint64_t id) {
#if defined(__x86_64__)
  // bt + adc: two instructions where the compiler emits shift, mask and add;
  // this loop is the whole cost of a narrow conjunction.
  asm("bt %2, %1\n\tadc $0, %0" : "+r"(kept) : "r"(word), "r"(id) : "cc");
#else
  kept += (word >> (id & 63)) & 1;
#endif
}

// Keeps the ids of `ids` (n of them) whose bit is set in `words`, in order,
// in `out` (room for n; `out` may be `ids`); returns how many. Every id is
// written and the count advanced by its bit, so no branch depends on the
// data: a set holding one id in five would mispredict one test in five.
// Four ids are read as one word and their bitset words loaded before any
// is tested, so the loads overlap.
size_t keep_in_words(const uint16_t* ids, size_t n, const uint64_t* words, uint16_t* out) {
  size_t kept = 0;
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    uint64_t four;
    std::memcpy(&four, ids + i, sizeof(four));
    const uint64_t a = four & 0xffff, b = (four >> 16) & 0xffff, c = (four >> 32) & 0xffff,
                   d = four >> 48;
    const uint64_t wa = words[a >> 6], wb = words[b >> 6], wc = words[c >> 6], wd = words[d >> 6];
    out[kept] = static_cast<uint16_t>(a);
    add_bit(kept, wa, a);
    out[kept] = static_cast<uint16_t>(b);
    add_bit(kept, wb, b);
    out[kept] = static_cast<uint16_t>(c);
    add_bit(kept, wc, c);
    out[kept] = static_cast<uint16_t>(d);
    add_bit(kept, wd, d);
  }
  for (; i < n; ++i) {
    const uint16_t id = ids[i];
    out[kept] = id;
    add_bit(kept, words[id >> 6], id);
  }
  return kept;
}

// The ids of a container of at most kArrayMax ids, into `buffer`; returns a
// pointer to them (the array itself for an array container).
const uint16_t* ids_of(const Chunk& chunk, uint16_t* buffer) {
  if (chunk.type == ARRAY_CONTAINER_TYPE_CODE) {
    return static_cast<const array_container_t*>(chunk.container)->array;
  }
  if (chunk.type == BITSET_CONTAINER_TYPE_CODE) {
    bitset_extract_setbits_uint16(words_of(chunk), BITSET_CONTAINER_SIZE_IN_WORDS, buffer, 0);
    return buffer;
  }
  const auto* run = static_cast<const run_container_t*>(chunk.container);
  uint16_t* out = buffer;
  for (int32_t r = 0; r < run->n_runs; ++r) {
    const uint32_t start = run->runs[r].value;
    for (uint32_t id = start; id <= start + run->runs[r].length; ++id) {
      *out++ = static_cast<uint16_t>(id);
    }
  }
  return buffer;
}

// Sets the bits of a run container in `words` (cleared first).
void run_words(const run_container_t* run, uint64_t* words) {
  std::memset(words, 0, Bitmap::kChunkWords * sizeof(uint64_t));
  for (int32_t r = 0; r < run->n_runs; ++r) {
    const uint32_t start = run->runs[r].value;
    bitset_set_range(words, start, start + run->runs[r].length + 1);
  }
}

// Appends `n` ids (ascending, distinct, all of chunk `key`) to `result`: an
// array container, or a bitset past an array's size.
void append_ids(uint16_t key, const uint16_t* ids, size_t n, roaring_array_t* result) {
  if (n <= static_cast<size_t>(kArrayMax)) {
    array_container_t* array = array_container_create_given_capacity(static_cast<int32_t>(n));
    if (array == nullptr) panic("Memory allocation failure building roaring bitmap");
    std::memcpy(array->array, ids, n * sizeof(uint16_t));
    array->cardinality = static_cast<int32_t>(n);
    ra_append(result, key, array, ARRAY_CONTAINER_TYPE_CODE);
    return;
  }
  bitset_container_t* bitset = bitset_container_create();
  if (bitset == nullptr) panic("Memory allocation failure building roaring bitmap");
  for (size_t i = 0; i < n; ++i) bitset->array[ids[i] >> 6] |= uint64_t{1} << (ids[i] & 63);
  bitset->cardinality = static_cast<int32_t>(n);
  ra_append(result, key, bitset, BITSET_CONTAINER_TYPE_CODE);
}

// Appends to `result` the chunk `key` as the ids common to `chunks`, driven
// by chunks[driver] (the one with the fewest ids, at most kArrayMax).
void intersect_sparse_chunk(uint16_t key, const Chunks& chunks, size_t driver,
                            roaring_array_t* result) {
  // The bitsets filter one after another, fewest ids first: each pass
  // probes only what the more selective ones left, and reads one bitset.
  absl::InlinedVector<const Chunk*, kInlineSets> bitsets;
  for (size_t i = 0; i < chunks.size(); ++i) {
    if (i != driver && chunks[i].type == BITSET_CONTAINER_TYPE_CODE) bitsets.push_back(&chunks[i]);
  }
  std::sort(bitsets.begin(), bitsets.end(),
            [](const Chunk* a, const Chunk* b) { return a->cardinality < b->cardinality; });
  std::array<uint16_t, kArrayMax> buffer;
  std::array<uint16_t, kArrayMax> kept_ids;
  const uint16_t* ids = ids_of(chunks[driver], buffer.data());
  size_t kept = static_cast<size_t>(chunks[driver].cardinality);
  if (bitsets.empty()) std::memcpy(kept_ids.data(), ids, kept * sizeof(uint16_t));
  for (const Chunk* bitset : bitsets) {
    kept = keep_in_words(ids, kept, words_of(*bitset), kept_ids.data());
    ids = kept_ids.data();
  }
  for (size_t i = 0; i < chunks.size() && kept != 0; ++i) {
    if (i == driver || chunks[i].type == BITSET_CONTAINER_TYPE_CODE) continue;
    size_t left = 0;
    for (size_t j = 0; j < kept; ++j) {
      kept_ids[left] = kept_ids[j];
      left += container_contains(chunks[i].container, kept_ids[j], chunks[i].type) ? 1 : 0;
    }
    kept = left;
  }
  if (kept != 0) append_ids(key, kept_ids.data(), kept, result);
}

// The chunk `key` as the AND of `chunks`' words (each a bitset or a run).
void intersect_dense_chunk(uint16_t key, const Chunks& chunks, Bitmap& result) {
  std::array<uint64_t, Bitmap::kChunkWords> words;
  std::array<uint64_t, Bitmap::kChunkWords> run;
  bool first = true;
  for (const Chunk& chunk : chunks) {
    const uint64_t* source = nullptr;
    if (chunk.type == BITSET_CONTAINER_TYPE_CODE) {
      source = words_of(chunk);
    } else {
      run_words(static_cast<const run_container_t*>(chunk.container), run.data());
      source = run.data();
    }
    if (first) {
      std::memcpy(words.data(), source, sizeof(words));
      first = false;
    } else {
      for (size_t w = 0; w < Bitmap::kChunkWords; ++w) words[w] &= source[w];
    }
  }
  result.append_chunk(key, words.data());
}

// Tests ascending ids of one chunk against one container: a bitset by its
// word, an array by galloping forward from the last id asked for, a run
// container by search.
class ChunkProbe {
 public:
  explicit ChunkProbe(const Chunk& chunk) : chunk_(chunk) {}
  bool holds(uint16_t low) {
    switch (chunk_.type) {
      case BITSET_CONTAINER_TYPE_CODE:
        return ((words_of(chunk_)[low >> 6] >> (low & 63)) & 1) != 0;
      case ARRAY_CONTAINER_TYPE_CODE: {
        const auto* array = static_cast<const array_container_t*>(chunk_.container);
        cursor_ = advanceUntil(array->array, cursor_, array->cardinality, low);
        const bool held = cursor_ < array->cardinality && array->array[cursor_] == low;
        --cursor_;  // the next id may be this one's successor in the array
        return held;
      }
      default:
        return container_contains(chunk_.container, low, chunk_.type);
    }
  }

 private:
  const Chunk& chunk_;
  int32_t cursor_ = -1;
};

}  // namespace

Bitmap Bitmap::sorted_within(std::span<const uint32_t> ids, std::span<const Bitmap* const> sets) {
  // The chunks spanned by `ids` bound the result's containers.
  Bitmap result(ids.empty() ? 0u : (ids.back() >> 16) - (ids.front() >> 16) + 1);
  absl::InlinedVector<int32_t, kInlineSets> positions(sets.size(), -1);
  Chunks chunks(sets.size());
  absl::InlinedVector<uint16_t, 1024> kept;
  for (size_t at = 0, end = 0; at < ids.size(); at = end) {
    const uint32_t key = ids[at] >> 16;
    for (end = at; end < ids.size() && (ids[end] >> 16) == key; ++end) {
    }
    bool everywhere = true;
    for (size_t i = 0; i < sets.size() && everywhere; ++i) {
      everywhere = find_chunk(&sets[i]->raw()->high_low_container, static_cast<uint16_t>(key),
                              positions[i], chunks[i], false);
    }
    if (!everywhere) continue;
    absl::InlinedVector<ChunkProbe, kInlineSets> probes(chunks.begin(), chunks.end());
    kept.resize(end - at);
    size_t n = 0;
    for (size_t j = at; j < end; ++j) {
      const auto low = static_cast<uint16_t>(ids[j]);
      bool held = true;
      for (ChunkProbe& probe : probes) held &= probe.holds(low);
      kept[n] = low;
      n += held ? 1 : 0;
    }
    if (n != 0)
      append_ids(static_cast<uint16_t>(key), kept.data(), n, &result.bitmap_.high_low_container);
  }
  return result;
}

void Bitmap::for_each_chunk_across(std::span<const Bitmap* const> sets,
                                   absl::FunctionRef<void(size_t, const uint32_t*, size_t)> f) {
  std::vector<uint32_t> ids(size_t{1} << 16);
  absl::InlinedVector<int32_t, kInlineSets> positions(sets.size(), 0);
  for (;;) {
    int32_t key = -1;  // the least chunk not visited yet, over every set
    for (size_t i = 0; i < sets.size(); ++i) {
      const roaring_array_t& ra = sets[i]->raw()->high_low_container;
      if (positions[i] < ra.size && (key < 0 || ra.keys[positions[i]] < key)) {
        key = ra.keys[positions[i]];
      }
    }
    if (key < 0) return;
    for (size_t i = 0; i < sets.size(); ++i) {
      const roaring_array_t& ra = sets[i]->raw()->high_low_container;
      int32_t& at = positions[i];
      if (at >= ra.size || ra.keys[at] != key) continue;
      const int n = container_to_uint32_array(ids.data(), ra.containers[at], ra.typecodes[at],
                                              static_cast<uint32_t>(key) << 16);
      ++at;
      if (n != 0) f(i, ids.data(), static_cast<size_t>(n));
    }
  }
}

Bitmap Bitmap::intersection_of(std::span<const Bitmap* const> sets) {
  if (sets.empty()) return Bitmap();
  if (sets.size() == 1) return sets[0]->clone();
  const roaring_array_t* lead = &sets[0]->raw()->high_low_container;
  // At most one container per chunk of the first set: the result's arrays
  // never grow.
  Bitmap result(static_cast<uint32_t>(lead->size));
  absl::InlinedVector<int32_t, kInlineSets> positions(sets.size(), -1);
  Chunks chunks(sets.size());
  for (int32_t at = 0; at < lead->size; ++at) {
    const uint16_t key = lead->keys[at];
    positions[0] = at - 1;
    bool everywhere = true;
    size_t driver = 0;
    for (size_t i = 0; i < sets.size() && everywhere; ++i) {
      everywhere = find_chunk(&sets[i]->raw()->high_low_container, key, positions[i], chunks[i]);
      if (everywhere && chunks[i].cardinality < chunks[driver].cardinality) driver = i;
    }
    if (!everywhere) continue;
    if (chunks[driver].cardinality <= kArrayMax) {
      intersect_sparse_chunk(key, chunks, driver, &result.bitmap_.high_low_container);
    } else {
      intersect_dense_chunk(key, chunks, result);
    }
  }
  return result;
}

}  // namespace qdx
