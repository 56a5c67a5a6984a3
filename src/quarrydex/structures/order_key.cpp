#include "structures/order_key.hpp"

#include <bit>

namespace qdx {

namespace {

constexpr OrderKey kZeroKey{0, OrderKey::kSignBit};

// Builds the key of a non-zero number from the magnitude's mantissa word and
// its biased exponent `e` (0 <= e < 0x800).
OrderKey signed_key(bool negative, uint64_t mantissa, uint16_t e) noexcept {
  const uint16_t positive_exponent = (e | OrderKey::kSignBit) & OrderKey::kExponentMask;
  if (!negative) return {mantissa, positive_exponent};
  return {~mantissa, static_cast<uint16_t>(~positive_exponent & OrderKey::kExponentMask)};
}

}  // namespace

OrderKey OrderKey::from_int(int64_t v) noexcept {
  if (v == 0) return kZeroKey;
  // Unsigned negation gives |INT64_MIN| = 2^63 without overflow.
  const uint64_t magnitude = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
  const int leading_zeros = std::countl_zero(magnitude);
  const auto e = static_cast<uint16_t>(1086 - leading_zeros);
  return signed_key(v < 0, magnitude << leading_zeros, e);
}

OrderKey OrderKey::from_double(double d) noexcept {
  if (d == 0.0) return kZeroKey;  // both signed zeros
  const auto bits = std::bit_cast<uint64_t>(d);
  const bool negative = (bits >> 63) != 0;
  const auto biased_exponent = static_cast<uint16_t>((bits >> 52) & 0x7FF);
  constexpr uint64_t kFractionMask = (uint64_t{1} << 52) - 1;
  if (biased_exponent != 0) {
    // Normal, infinite or NaN: the implicit leading one in bit 63, then the
    // 52 fraction bits.
    return signed_key(negative, (bits << 11) | (uint64_t{1} << 63), biased_exponent);
  }
  // Subnormal: no implicit one. Keep the fraction as a fixed-point number
  // whose bit 63 is worth 2^-1023, under exponent 0. Such keys sit above
  // zero's key (mantissa 0), below the smallest normal double (exponent 1),
  // and grow with the fraction, so numeric order holds across the gap.
  return signed_key(negative, (bits & kFractionMask) << 12, 0);
}

}  // namespace qdx
