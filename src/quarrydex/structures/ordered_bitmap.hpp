// `OrderedBitmap`: the numeric value structure of one attribute, a bit-sliced
// index over the 76-bit `OrderKey` that integers and doubles share.
//
// Design
//
// Layout. 76 planes, plane 0 for the least significant key bit and plane 75
// for the sign bit; each plane holds two `BufferedBitmap<64>` cells, cell 0
// and cell 1. All 152 cells live in one heap block that is allocated on the
// first insert (or union), so an attribute that never held a number costs one
// null pointer.
//
// Invariant. For every id whose attribute holds a number v, and for every
// plane i, the id is in exactly one cell of plane i: the cell numbered by key
// bit i of v. Ids without a numeric value are in no cell. Consequently every
// plane's two cells together hold the same id set, and when one cell of a
// plane is empty the other holds every id. Buffers are empty whenever no bulk
// insertion holds the write lock, and readers look at the bitmaps alone.
//
// Operations and cost. Insert and remove touch each plane once (76 bitmap
// updates). Equal intersects one cell per plane; it skips planes whose other
// cell is empty (they cannot narrow), intersects smallest first and stops at
// the first empty intersection. The four comparisons are the bit-sliced range
// scan: walking from plane 75 down, E holds the candidates that agree with the
// probe on every plane above; at a plane where the probe bit is 0 (greater) or
// 1 (less), the part of E in the opposite cell differs first there in the
// wanted direction and joins the result. A scan stops as soon as E is empty.
// Every operation is at most 76 bitmap steps, independent of the number of
// distinct values; no stored value is ever decoded.
//
// The comparison scan is built for several instruction-set levels; the build
// that serves the process is chosen once, on first use, from the processor's
// features. Each thread owns one scratch bitmap that its scans borrow.
//
// Locking. The structure has no lock of its own: it sits behind the attribute
// record's reader-writer lock. insert, buffered_insert, remove, flush, narrow
// and union_with need the write lock; equal, equal_within, the comparisons,
// ids, empty and memory_bytes need at least the read lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <utility>

#include "structures/bitmap.hpp"
#include "structures/order_key.hpp"

namespace qdx {

// Instruction-set levels the comparison scan is built for.
enum class IsaLevel : uint8_t {
  kBaseline,  // any x86-64 (or any processor on other architectures)
  kSse42,     // SSE4.2 and POPCNT
  kAvx2,      // AVX2, BMI1/2, FMA
};
inline constexpr IsaLevel kIsaLevels[] = {IsaLevel::kBaseline, IsaLevel::kSse42, IsaLevel::kAvx2};

enum class Comparison : uint8_t { kGreater, kGreaterOrEqual, kLess, kLessOrEqual };

class OrderedBitmap {
 public:
  static constexpr unsigned kPlanes = OrderKey::kBits;
  // The 152 cells; defined in ordered_bitmap_scan.hpp, which only this
  // structure's own sources include.
  struct Planes;

  OrderedBitmap() noexcept;
  ~OrderedBitmap();
  OrderedBitmap(OrderedBitmap&&) noexcept;
  OrderedBitmap& operator=(OrderedBitmap&&) noexcept;
  OrderedBitmap(const OrderedBitmap&) = delete;
  OrderedBitmap& operator=(const OrderedBitmap&) = delete;

  // Adds id under key. Precondition: id holds no numeric value here yet.
  void insert(uint32_t id, OrderKey key);
  // Same, through the cells' append buffers; only for a bulk insertion, which
  // must call flush before it releases the write lock.
  void buffered_insert(uint32_t id, OrderKey key);
  // key must be the key id was inserted with. Removing an absent id is a no-op.
  void remove(uint32_t id, OrderKey key);
  // remove(id, old_key) then insert(id, new_key), touching only the planes
  // where the two keys differ. The id must hold old_key.
  void replace(uint32_t id, OrderKey old_key, OrderKey new_key);
  // Moves every buffered id into its bitmap, plane by plane, 0-cell first.
  void flush();
  // insert for every (key, id) of a batch whose ids ascend (equal ids must
  // carry equal keys). Each 2^16-id chunk the batch fills densely is built
  // plane by plane as plain words; a plane on which every key of the batch
  // agrees gets the batch's id set once. Sparse chunks go in id by id.
  // Precondition as for insert; no buffered ids may be pending.
  void insert_id_sorted(std::span<const std::pair<OrderKey, uint32_t>> items);

  // Ids whose key equals key (a new bitmap).
  Bitmap equal(OrderKey key) const;
  // equal(key) ∩ candidates; costs about as much as intersecting candidates
  // with the few narrowing cells, so it is cheap when candidates is small.
  Bitmap equal_within(OrderKey key, const Bitmap& candidates) const;

  // result ∪= {c ∈ candidates : c holds a number and key(c) OP key}.
  // candidates is only read; result must be a different bitmap. Empty
  // candidates (or an empty structure) leave result unchanged.
  void greater(OrderKey key, const Bitmap& candidates, Bitmap& result) const;
  void greater_or_equal(OrderKey key, const Bitmap& candidates, Bitmap& result) const;
  void less(OrderKey key, const Bitmap& candidates, Bitmap& result) const;
  void less_or_equal(OrderKey key, const Bitmap& candidates, Bitmap& result) const;
  // Dispatches to one of the four above.
  void compare(Comparison op, OrderKey key, const Bitmap& candidates, Bitmap& result) const;

  // Every id holding a numeric value (a new bitmap).
  Bitmap ids() const;
  // The least and the greatest key held by ids of `candidates`, or nothing
  // when none of them holds a number. One counting pass per plane while the
  // candidates agree, then intersections with sets that only shrink
  // (ordered_bitmap_extremes.cpp).
  std::optional<std::pair<OrderKey, OrderKey>> extremes_within(const Bitmap& candidates) const;
  // Keeps only ids in filter (flushes first). Frees the cells if nothing is left.
  void narrow(const Bitmap& filter);
  // Adds every id of other, cell by cell. Ids must not be in both structures
  // under different keys; other's buffers must be empty. Self-union is a no-op.
  void union_with(const OrderedBitmap& other);

  // No cells allocated (nothing was ever inserted, or narrowing emptied it).
  bool empty() const noexcept { return planes_ == nullptr; }
  // Rough footprint in bytes, for benchmarks.
  size_t memory_bytes() const;

  // Checks the invariant (no buffered ids, each plane's cells disjoint, all
  // planes covering one id set); a violation is an internal fatal error.
  // Costs a pass over every cell: for tests and fuzzing.
  void validate() const;

  // The build chosen for this process, and whether this processor can run a
  // given build.
  static IsaLevel selected_isa_level() noexcept;
  static bool isa_level_supported(IsaLevel level) noexcept;
  // Test hook: runs one comparison with an explicit build, so that tests can
  // check that every build computes the same result. An unsupported level is
  // an internal fatal error.
  void compare_with_isa(IsaLevel level, Comparison op, OrderKey key, const Bitmap& candidates,
                        Bitmap& result) const;

 private:
  Planes& planes();  // allocates on first use

  std::unique_ptr<Planes> planes_;
};

}  // namespace qdx
