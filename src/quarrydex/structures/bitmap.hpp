// `Bitmap`: the one owning handle for a CRoaring bitmap of 32-bit ids.
//
// The roaring_bitmap_t record lives inline in the handle (no separate heap
// record), initialised with ra_init_with_capacity and released with ra_clear.
// Moves are noexcept and leave the source empty and valid. Copies are explicit
// (`clone`) because they allocate; a failed copy is the internal fatal error
// "Memory allocation failure cloning roaring bitmap".
//
// Thread safety is CRoaring's: any number of concurrent readers, or one
// writer. The owners' locks provide that.
#pragma once

#include <roaring/roaring.h>

#include <absl/functional/function_ref.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace qdx {

class Bitmap {
 public:
  Bitmap();
  ~Bitmap();
  Bitmap(Bitmap&& other) noexcept;
  Bitmap& operator=(Bitmap&& other) noexcept;
  Bitmap(const Bitmap&) = delete;
  Bitmap& operator=(const Bitmap&) = delete;

  static Bitmap of(const std::vector<uint32_t>& ids);
  static Bitmap range(uint32_t first, uint64_t end_exclusive);

  Bitmap clone() const;
  // Replaces this bitmap's contents by a copy of `source` (reuses storage).
  void overwrite(const Bitmap& source);

  roaring_bitmap_t* raw() noexcept { return &bitmap_; }
  const roaring_bitmap_t* raw() const noexcept { return &bitmap_; }

  void add(uint32_t id) { roaring_bitmap_add(&bitmap_, id); }
  void add_many(const uint32_t* ids, size_t count) {
    if (count != 0) roaring_bitmap_add_many(&bitmap_, count, ids);
  }
  void remove(uint32_t id) { roaring_bitmap_remove(&bitmap_, id); }
  bool contains(uint32_t id) const { return roaring_bitmap_contains(&bitmap_, id); }
  uint64_t cardinality() const { return roaring_bitmap_get_cardinality(&bitmap_); }
  bool empty() const { return roaring_bitmap_is_empty(&bitmap_); }
  // Largest id; 0 for an empty bitmap.
  uint32_t maximum() const { return roaring_bitmap_maximum(&bitmap_); }
  uint32_t minimum() const { return roaring_bitmap_minimum(&bitmap_); }
  void clear() { roaring_bitmap_clear(&bitmap_); }

  void or_inplace(const Bitmap& other) { roaring_bitmap_or_inplace(&bitmap_, &other.bitmap_); }
  void and_inplace(const Bitmap& other) { roaring_bitmap_and_inplace(&bitmap_, &other.bitmap_); }
  void andnot_inplace(const Bitmap& other) {
    roaring_bitmap_andnot_inplace(&bitmap_, &other.bitmap_);
  }
  uint64_t and_cardinality(const Bitmap& other) const {
    return roaring_bitmap_and_cardinality(&bitmap_, &other.bitmap_);
  }
  bool intersects(const Bitmap& other) const {
    return roaring_bitmap_intersect(&bitmap_, &other.bitmap_);
  }
  bool operator==(const Bitmap& other) const {
    return roaring_bitmap_equals(&bitmap_, &other.bitmap_);
  }
  bool run_optimize() { return roaring_bitmap_run_optimize(&bitmap_); }
  size_t size_in_bytes() const { return roaring_bitmap_size_in_bytes(&bitmap_); }
  // Gives back the capacity that growth left unused in the containers.
  void shrink_to_fit() { roaring_bitmap_shrink_to_fit(&bitmap_); }

  // Calls f(id) for every id in ascending order.
  template <typename F>
  void for_each(F&& f) const {
    roaring_uint32_iterator_t it;
    roaring_init_iterator(&bitmap_, &it);
    uint32_t buffer[256];
    for (;;) {
      const uint32_t n = roaring_read_uint32_iterator(&it, buffer, 256);
      for (uint32_t i = 0; i < n; ++i) f(buffer[i]);
      if (n < 256) break;
    }
  }
  // Calls f(ids, count) for consecutive blocks of at most `kBlock` ids, in
  // ascending order; the block is valid only during the call.
  static constexpr uint32_t kBlock = 256;
  template <typename F>
  void for_each_block(F&& f) const {
    roaring_uint32_iterator_t it;
    roaring_init_iterator(&bitmap_, &it);
    uint32_t buffer[kBlock];
    for (;;) {
      const uint32_t n = roaring_read_uint32_iterator(&it, buffer, kBlock);
      if (n != 0) f(static_cast<const uint32_t*>(buffer), n);
      if (n < kBlock) break;
    }
  }
  std::vector<uint32_t> to_vector() const;

  // The ids held by every bitmap of `sets` (none: the empty set), built in
  // one pass without intermediate sets: each id of the smallest container
  // of a chunk is tested against that chunk of every other set. Reads the
  // sets only; any of them may be the same bitmap.
  static Bitmap intersection_of(std::span<const Bitmap* const> sets);
  // The ids of `ids` (ascending, distinct) held by every bitmap of `sets`:
  // intersection_of with a set given as a few ids, each probed in place.
  static Bitmap sorted_within(std::span<const uint32_t> ids, std::span<const Bitmap* const> sets);
  // Calls f(i, ids, n) with the ids (ascending) of sets[i] within one 2^16-id
  // chunk, chunk after chunk: every set's ids of a chunk come before any id
  // of a later chunk, so per-id work over several sets stays within one
  // chunk's stretch of memory. The ids are valid only during the call.
  static void for_each_chunk_across(std::span<const Bitmap* const> sets,
                                    absl::FunctionRef<void(size_t, const uint32_t*, size_t)> f);

  // One 2^16-id chunk as plain words: bit j of words[w] stands for id
  // high << 16 | w * 64 + j.
  static constexpr size_t kChunkWords = 1024;
  // Adds the ids of `words` (kChunkWords of them) as the chunk `high`, made
  // straight from the words: an array container when the chunk is sparse, a
  // copy of the words otherwise. Precondition: every id already held lies
  // below the chunk (chunks are appended in ascending order); breaking it is
  // an internal fatal error. An empty chunk adds nothing.
  void append_chunk(uint16_t high, const uint64_t* words);

 private:
  // An empty bitmap with room for `chunks` containers.
  explicit Bitmap(uint32_t chunks);

  roaring_bitmap_t bitmap_;
};

}  // namespace qdx
