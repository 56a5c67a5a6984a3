// The module's two hash primitives.
//
// Word hash: h starts at 0; each 64-bit word w gives h = (h + w) * kWordHashK
// (mod 2^64); the result is h rotated left by 26. Values, attribute names and
// the shard choice of the hashed value map all use it.
//
// Byte digest: a fixed, seedless digest of a byte string (little-endian loads,
// folded 128-bit multiplies); strings enter the word hash through it. Both are
// part of the observable hash of a value and must not change.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace qdx {

inline constexpr uint64_t kWordHashK = 0xf1357aea2e62a9c5ULL;

class WordHasher {
 public:
  constexpr void write(uint64_t word) noexcept { state_ = (state_ + word) * kWordHashK; }
  constexpr uint64_t finish() const noexcept { return std::rotl(state_, 26); }

 private:
  uint64_t state_ = 0;
};

constexpr uint64_t word_hash1(uint64_t word) noexcept {
  WordHasher h;
  h.write(word);
  return h.finish();
}

namespace detail {
inline uint64_t load64(const unsigned char* p) noexcept {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;  // x86-64 and aarch64 Linux are little-endian
}
inline uint64_t load32(const unsigned char* p) noexcept {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
inline uint64_t mix(uint64_t x, uint64_t y) noexcept {
  unsigned __int128 p = static_cast<unsigned __int128>(x) * y;
  return static_cast<uint64_t>(p >> 64) ^ static_cast<uint64_t>(p);
}
}  // namespace detail

inline uint64_t byte_digest(std::string_view bytes) noexcept {
  using detail::load32;
  using detail::load64;
  using detail::mix;
  constexpr uint64_t kP = 0xa4093822299f31d0ULL;
  const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t n = bytes.size();
  uint64_t s0 = 0x243f6a8885a308d3ULL;
  uint64_t s1 = 0x13198a2e03707344ULL;
  if (n <= 16) {
    if (n >= 8) {
      s0 ^= load64(b);
      s1 ^= load64(b + n - 8);
    } else if (n >= 4) {
      s0 ^= load32(b);
      s1 ^= load32(b + n - 4);
    } else if (n > 0) {
      s0 ^= b[0];
      s1 ^= (static_cast<uint64_t>(b[n - 1]) << 8) | b[n / 2];
    }
  } else {
    for (size_t off = 0; off < n - 16; off += 16) {
      const uint64_t t = mix(s0 ^ load64(b + off), kP ^ load64(b + off + 8));
      s0 = s1;
      s1 = t;
    }
    s0 ^= load64(b + n - 16);
    s1 ^= load64(b + n - 8);
  }
  return mix(s0, s1) ^ n;
}

}  // namespace qdx
