// Internals of `OrderedBitmap` shared by its own sources only: the cell
// layout, the per-thread scratch bitmap and the bit-sliced range scan that
// ordered_bitmap_gt.cpp and ordered_bitmap_lt.cpp build once per
// instruction-set level.
//
// The scan template is always inlined into each build's entry function, so
// every build compiles the whole scan with its own target features.
#pragma once

#include <array>
#include <cstdint>

#include "structures/buffered_bitmap.hpp"
#include "structures/ordered_bitmap.hpp"

#if defined(__x86_64__) || defined(__i386__)
#define QDX_TARGET_SSE42 __attribute__((target("sse4.2,popcnt")))
#define QDX_TARGET_AVX2 __attribute__((target("avx2,bmi,bmi2,fma,popcnt")))
#else
// One build serves every level where we do not know the instruction sets.
#define QDX_TARGET_SSE42
#define QDX_TARGET_AVX2
#endif
#define QDX_ALWAYS_INLINE __attribute__((always_inline)) inline

namespace qdx {

struct OrderedBitmap::Planes {
  using Cell = BufferedBitmap<64>;
  std::array<std::array<Cell, 2>, kPlanes> cells;

  const Bitmap& cell(unsigned plane, bool bit) const noexcept { return cells[plane][bit].bitmap(); }
};

namespace ordered_scan {

using ScanFn = void (*)(const OrderedBitmap::Planes&, OrderKey, const Bitmap&, Bitmap&);

// The strict and the or-equal scan of one direction, in one build.
struct ScanBuild {
  ScanFn strict;
  ScanFn or_equal;
};
ScanBuild greater_build(IsaLevel level) noexcept;  // ordered_bitmap_gt.cpp
ScanBuild less_build(IsaLevel level) noexcept;     // ordered_bitmap_lt.cpp

// Exclusive borrow of the calling thread's scratch bitmap for one scan. The
// bitmap is made on the thread's first scan and reused by every later one; a
// second borrow while one is live is an internal fatal error (the scan calls
// nothing that could come back to it, so it cannot happen).
class ScratchLease {
 public:
  ScratchLease();
  ~ScratchLease();
  ScratchLease(const ScratchLease&) = delete;
  ScratchLease& operator=(const ScratchLease&) = delete;

  Bitmap& bitmap() noexcept { return bitmap_; }

 private:
  Bitmap& bitmap_;
};

// out = a ∩ b. Copies the smaller operand and intersects it with the larger,
// so the work follows the small side.
QDX_ALWAYS_INLINE void intersect_into(Bitmap& out, const Bitmap& a, const Bitmap& b) {
  const bool a_smaller = a.cardinality() <= b.cardinality();
  out.overwrite(a_smaller ? a : b);
  out.and_inplace(a_smaller ? b : a);
}

// e ⊆ same ∪ other (disjoint): e ∩= same, done against the smaller cell.
QDX_ALWAYS_INLINE void keep_in(Bitmap& e, const Bitmap& same, const Bitmap& other) {
  if (other.cardinality() < same.cardinality()) {
    e.andnot_inplace(other);
  } else {
    e.and_inplace(same);
  }
}

// e ⊆ same ∪ other (disjoint): moves e ∩ other into result and keeps e ∩ same
// in e, touching only the smaller cell. t is scratch.
QDX_ALWAYS_INLINE void split_off(Bitmap& e, Bitmap& t, const Bitmap& same, const Bitmap& other,
                                 Bitmap& result) {
  if (other.cardinality() <= same.cardinality()) {
    intersect_into(t, e, other);
    e.andnot_inplace(t);
  } else {
    t.overwrite(e);
    e.and_inplace(same);
    t.andnot_inplace(e);
  }
  result.or_inplace(t);
}

// The bit-sliced range scan. kGreater picks the direction (cell 1 beyond the
// probe for greater, cell 0 for less); kOrEqual adds the ids equal to it.
//
// E starts as the candidates that hold a number and agree with the probe on
// the sign plane. Below that, E ⊆ every plane's cell union, which allows:
// skipping a plane whose other cell is empty (it cannot split E), ending the
// scan when the probe's own cell is empty (all of E differs there), and
// taking E ∩ other as E minus E ∩ same, whichever cell is smaller.
template <bool kGreater, bool kOrEqual>
QDX_ALWAYS_INLINE void scan(const OrderedBitmap::Planes& planes, OrderKey key,
                            const Bitmap& candidates, Bitmap& result) {
  if (candidates.empty()) return;
  constexpr unsigned kTop = OrderedBitmap::kPlanes - 1;
  ScratchLease lease;
  Bitmap& t = lease.bitmap();
  bool b = key.bit(kTop);
  if (b != kGreater) {
    intersect_into(t, candidates, planes.cell(kTop, kGreater));
    result.or_inplace(t);
  }
  Bitmap e;
  intersect_into(e, candidates, planes.cell(kTop, b));
  for (unsigned n = kTop; n-- > 0 && !e.empty();) {
    b = key.bit(n);
    const Bitmap& same = planes.cell(n, b);
    const Bitmap& other = planes.cell(n, !b);
    if (other.empty()) continue;
    if (same.empty()) {
      if (b != kGreater) result.or_inplace(e);
      e.clear();
      break;
    }
    if (b == kGreater) {
      keep_in(e, same, other);
    } else {
      split_off(e, t, same, other, result);
    }
  }
  if constexpr (kOrEqual) result.or_inplace(e);
}

}  // namespace ordered_scan
}  // namespace qdx
