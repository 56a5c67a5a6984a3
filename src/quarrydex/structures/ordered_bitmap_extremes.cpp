// The least and the greatest key within a candidate set, read off the planes
// from the top: key order is the order of the key bits read from bit 75 down.
// While all remaining candidates share a bit, both extremes have it and a
// plane costs one counting pass; at the first plane where they differ, the
// candidates split into the 0-side (the least goes on there) and the 1-side
// (the greatest), and each side then keeps, plane by plane, the members with
// the wanted bit when there are any.
#include "structures/ordered_bitmap.hpp"
#include "structures/ordered_bitmap_scan.hpp"

namespace qdx {
namespace {

constexpr unsigned kTop = OrderedBitmap::kPlanes - 1;

void set_bit(OrderKey& key, unsigned plane) {
  if (plane < 64) {
    key.mantissa |= uint64_t{1} << plane;
  } else {
    key.exponent = static_cast<uint16_t>(key.exponent | (1u << (plane - 64)));
  }
}

// Continues one extreme below `plane` with the candidates that reached it.
OrderKey finish(const OrderedBitmap::Planes& planes, Bitmap remaining, unsigned plane,
                bool greatest, OrderKey key) {
  while (plane-- > 0) {
    const Bitmap& wanted = planes.cell(plane, greatest);
    if (remaining.intersects(wanted)) {
      remaining.and_inplace(wanted);
      if (greatest) set_bit(key, plane);
    } else if (!greatest) {
      set_bit(key, plane);
    }
  }
  return key;
}

}  // namespace

std::optional<std::pair<OrderKey, OrderKey>> OrderedBitmap::extremes_within(
    const Bitmap& candidates) const {
  if (!planes_) return std::nullopt;
  Bitmap remaining = candidates.clone();
  OrderKey shared;
  for (unsigned plane = kPlanes; plane-- > 0;) {
    const Bitmap& zero = planes_->cell(plane, false);
    const Bitmap& one = planes_->cell(plane, true);
    const uint64_t zeros = remaining.and_cardinality(zero);
    // Every id holding a number is in one cell of each plane; at the top the
    // candidates holding none are dropped.
    const uint64_t ones =
        plane == kTop ? remaining.and_cardinality(one) : remaining.cardinality() - zeros;
    if (zeros == 0 && ones == 0) return std::nullopt;
    if (zeros != 0 && ones != 0) {
      Bitmap low = remaining.clone();
      low.and_inplace(zero);
      remaining.and_inplace(one);
      OrderKey high = shared;
      set_bit(high, plane);
      return std::pair{finish(*planes_, std::move(low), plane, false, shared),
                       finish(*planes_, std::move(remaining), plane, true, high)};
    }
    if (plane == kTop) remaining.and_inplace(zeros != 0 ? zero : one);
    if (ones != 0) set_bit(shared, plane);
  }
  return std::pair{shared, shared};
}

}  // namespace qdx
