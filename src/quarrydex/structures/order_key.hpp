// `OrderKey`: the 76-bit order key that integers and doubles share.
//
// A key is two words compared as (exponent, mantissa): the 12 low bits of
// `exponent` are key bits 64..75 and `mantissa` is key bits 0..63. The upper
// four bits of `exponent` are ignored by every comparison and by `bit`; the
// constructors leave them zero.
//
// Invariants the numeric structure relies on:
//   - key order is numeric order for every integer and every non-NaN double;
//   - an integer and a double of the same value get the same key (integers
//     keep all 64 significant bits, so values above 2^53 stay exact);
//   - +0.0, -0.0 and the integer 0 share one key;
//   - key bit 75 is 1 for zero and positive numbers, 0 for negative ones.
// NaN gets a key too (above +inf with the sign bit clear, below -inf with it
// set), so a stray NaN never crashes, though it equals nothing numeric.
//
// Layout of a positive key: exponent = 0x800 | e with e the IEEE-754 biased
// exponent of the value's leading one bit, mantissa = the significant bits
// with the leading one in bit 63. A negative key is the bitwise NOT of the
// positive key of its magnitude, which reverses the order.
//
// A plain value; no locking.
#pragma once

#include <compare>
#include <cstdint>

namespace qdx {

struct OrderKey {
  static constexpr uint16_t kExponentMask = 0xFFF;
  static constexpr uint16_t kSignBit = 0x800;
  static constexpr unsigned kBits = 76;

  uint64_t mantissa = 0;
  uint16_t exponent = 0;  // 12 bits used

  static OrderKey from_int(int64_t v) noexcept;
  // Never fails; NaN gets the key described above.
  static OrderKey from_double(double d) noexcept;

  // Key bit i, for i in [0, 76).
  bool bit(unsigned i) const noexcept {
    return i < 64 ? (mantissa >> i) & 1u : (exponent >> ((i - 64) & 15u)) & 1u;
  }

  // Written by hand so that the ignored upper exponent bits never take part.
  friend constexpr std::strong_ordering operator<=>(const OrderKey& a, const OrderKey& b) noexcept {
    const uint16_t ea = a.exponent & kExponentMask;
    const uint16_t eb = b.exponent & kExponentMask;
    if (ea != eb) return ea <=> eb;
    return a.mantissa <=> b.mantissa;
  }
  friend constexpr bool operator==(const OrderKey& a, const OrderKey& b) noexcept {
    return (a <=> b) == 0;
  }
};

}  // namespace qdx
