// Greater and greater-or-equal scans, one entry per instruction-set level.
#include "structures/ordered_bitmap_scan.hpp"

namespace qdx::ordered_scan {

namespace {

using Planes = OrderedBitmap::Planes;

void greater_baseline(const Planes& p, OrderKey k, const Bitmap& c, Bitmap& r) {
  scan<true, false>(p, k, c, r);
}
void greater_or_equal_baseline(const Planes& p, OrderKey k, const Bitmap& c, Bitmap& r) {
  scan<true, true>(p, k, c, r);
}
QDX_TARGET_SSE42 void greater_sse42(const Planes& p, OrderKey k, const Bitmap& c, Bitmap& r) {
  scan<true, false>(p, k, c, r);
}
QDX_TARGET_SSE42 void greater_or_equal_sse42(const Planes& p, OrderKey k, const Bitmap& c,
                                             Bitmap& r) {
  scan<true, true>(p, k, c, r);
}
QDX_TARGET_AVX2 void greater_avx2(const Planes& p, OrderKey k, const Bitmap& c, Bitmap& r) {
  scan<true, false>(p, k, c, r);
}
QDX_TARGET_AVX2 void greater_or_equal_avx2(const Planes& p, OrderKey k, const Bitmap& c,
                                           Bitmap& r) {
  scan<true, true>(p, k, c, r);
}

}  // namespace

ScanBuild greater_build(IsaLevel level) noexcept {
  switch (level) {
    case IsaLevel::kAvx2:
      return {greater_avx2, greater_or_equal_avx2};
    case IsaLevel::kSse42:
      return {greater_sse42, greater_or_equal_sse42};
    case IsaLevel::kBaseline:
      break;
  }
  return {greater_baseline, greater_or_equal_baseline};
}

}  // namespace qdx::ordered_scan
