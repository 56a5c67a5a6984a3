// `order_by_bytes`: sorts many strings by their bytes, forwards or read back
// to front, as bulk builds of the string structures need.
//
// The first eight bytes in reading order, taken as one big-endian word padded
// with zeros, settle most comparisons: a smaller word means smaller bytes.
// Only ties on that word compare the strings in full. Bytes compare unsigned;
// a string that is a prefix (suffix, read backwards) of another sorts first.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "structures/scratch_allocator.hpp"

namespace qdx {

// Byte i of s in reading order: from the front, or from the back when reversed.
inline unsigned char byte_in_order(std::string_view s, size_t i, bool reversed) {
  return static_cast<unsigned char>(reversed ? s[s.size() - 1 - i] : s[i]);
}

// Whether a sorts before b, reading both from the front or from the back.
inline bool bytes_less(std::string_view a, std::string_view b, bool reversed) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const unsigned char x = byte_in_order(a, i, reversed);
    const unsigned char y = byte_in_order(b, i, reversed);
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

// The positions 0..n-1 ordered by the bytes of string_at(position), read
// back to front when `reversed`; equal strings keep no particular order.
template <typename StringAt>
ScratchVector<uint32_t> order_by_bytes(size_t n, StringAt string_at, bool reversed) {
  struct Keyed {
    uint64_t head;
    uint32_t at;
  };
  ScratchVector<Keyed> keyed;
  keyed.reserve(n);
  for (size_t at = 0; at < n; ++at) {
    const std::string_view s = string_at(at);
    uint64_t head = 0;
    for (size_t i = 0; i < 8; ++i) {
      head = head << 8 | (i < s.size() ? byte_in_order(s, i, reversed) : 0);
    }
    keyed.push_back({head, static_cast<uint32_t>(at)});
  }
  std::sort(keyed.begin(), keyed.end(), [&](const Keyed& a, const Keyed& b) {
    if (a.head != b.head) return a.head < b.head;
    return bytes_less(string_at(a.at), string_at(b.at), reversed);
  });
  ScratchVector<uint32_t> order(keyed.size());
  for (size_t r = 0; r < keyed.size(); ++r) order[r] = keyed[r].at;
  return order;
}

}  // namespace qdx
