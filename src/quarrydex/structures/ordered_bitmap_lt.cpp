// Less and less-or-equal scans, one entry per instruction-set level.
#include "structures/ordered_bitmap_scan.hpp"

namespace qdx::ordered_scan {

namespace {

using Planes = OrderedBitmap::Planes;

void less_baseline(const Planes& p, OrderKey k, const Bitmap& c, Bitmap& r) {
  scan<false, false>(p, k, c, r);
}
void less_or_equal_baseline(const Planes& p, OrderKey k, const Bitmap& c, Bitmap& r) {
  scan<false, true>(p, k, c, r);
}
QDX_TARGET_SSE42 void less_sse42(const Planes& p, OrderKey k, const Bitmap& c, Bitmap& r) {
  scan<false, false>(p, k, c, r);
}
QDX_TARGET_SSE42 void less_or_equal_sse42(const Planes& p, OrderKey k, const Bitmap& c, Bitmap& r) {
  scan<false, true>(p, k, c, r);
}
QDX_TARGET_AVX2 void less_avx2(const Planes& p, OrderKey k, const Bitmap& c, Bitmap& r) {
  scan<false, false>(p, k, c, r);
}
QDX_TARGET_AVX2 void less_or_equal_avx2(const Planes& p, OrderKey k, const Bitmap& c, Bitmap& r) {
  scan<false, true>(p, k, c, r);
}

}  // namespace

ScanBuild less_build(IsaLevel level) noexcept {
  switch (level) {
    case IsaLevel::kAvx2:
      return {less_avx2, less_or_equal_avx2};
    case IsaLevel::kSse42:
      return {less_sse42, less_or_equal_sse42};
    case IsaLevel::kBaseline:
      break;
  }
  return {less_baseline, less_or_equal_baseline};
}

}  // namespace qdx::ordered_scan
