// The least and the greatest key within a candidate set, read off the planes
// from the top: key order is the order of the key bits read from bit 75 down,
// so at each plane the candidates that agree with the extreme so far and have
// the wanted bit (0 for the least, 1 for the greatest) decide that bit, and
// only they go on; when none has it, the bit is the other one and nobody drops.
#include "structures/ordered_bitmap.hpp"
#include "structures/ordered_bitmap_scan.hpp"

namespace qdx {
namespace {

void set_bit(OrderKey& key, unsigned plane) {
  if (plane < 64) {
    key.mantissa |= uint64_t{1} << plane;
  } else {
    key.exponent = static_cast<uint16_t>(key.exponent | (1u << (plane - 64)));
  }
}

std::optional<OrderKey> extreme(const OrderedBitmap::Planes& planes, const Bitmap& candidates,
                                bool greatest) {
  constexpr unsigned kTop = OrderedBitmap::kPlanes - 1;
  Bitmap remaining = candidates.clone();
  OrderKey key;
  for (unsigned plane = OrderedBitmap::kPlanes; plane-- > 0;) {
    const Bitmap& wanted = planes.cell(plane, greatest);
    if (remaining.intersects(wanted)) {
      remaining.and_inplace(wanted);
      if (greatest) set_bit(key, plane);
      continue;
    }
    // Every id holding a number is in one cell of each plane: at the top,
    // the other cell also drops the candidates that hold no number.
    if (plane == kTop) {
      remaining.and_inplace(planes.cell(plane, !greatest));
      if (remaining.empty()) return std::nullopt;
    }
    if (!greatest) set_bit(key, plane);
  }
  return key;
}

}  // namespace

std::optional<OrderKey> OrderedBitmap::min_within(const Bitmap& candidates) const {
  if (!planes_) return std::nullopt;
  return extreme(*planes_, candidates, false);
}

std::optional<OrderKey> OrderedBitmap::max_within(const Bitmap& candidates) const {
  if (!planes_) return std::nullopt;
  return extreme(*planes_, candidates, true);
}

}  // namespace qdx
