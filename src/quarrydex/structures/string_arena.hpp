// `StringArena`: the bytes of many strings in a few large blocks, each string
// named by a 32-bit reference.
//
// A string is stored as its length (LEB128, one byte up to 127) followed by
// its bytes, starting on a 4-byte boundary; its reference is its address
// divided by 4, so 2^32 references reach 16 GiB of strings. Addresses are
// mapped through a table of 64 KiB windows: block b covers one or more
// consecutive windows, and a string never crosses the end of its block, so
// its bytes are contiguous. Blocks start small and double up to one window,
// so a structure holding a few strings pays for a few hundred bytes; a string
// longer than a window gets a block of its own.
//
// Nothing is freed in place: `release` only counts the bytes as dead, and the
// owner copies the live strings into a fresh arena (`garbage_exceeds_live`)
// when the dead ones outweigh them. Invariants: every reference handed out and
// not released names the bytes it was made from; dead <= used. Not
// thread-safe: guarded by the owner's lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace qdx {

class StringArena {
 public:
  StringArena() = default;
  StringArena(StringArena&&) noexcept = default;
  StringArena& operator=(StringArena&&) noexcept = default;

  // Copies s in and returns its reference. Past 16 GiB an internal fatal
  // error.
  uint32_t add(std::string_view s);
  std::string_view get(uint32_t ref) const {
    const uint64_t address = uint64_t{ref} * kAlign;
    const auto* p = reinterpret_cast<const unsigned char*>(windows_[address >> kWindowBits] +
                                                           (address & (kWindow - 1)));
    size_t length = 0;
    for (unsigned shift = 0;; shift += 7) {
      const unsigned char b = *p++;
      length |= size_t{b & 0x7fu} << shift;
      if ((b & 0x80u) == 0) break;
    }
    return {reinterpret_cast<const char*>(p), length};
  }
  // Counts the bytes of s, stored under some reference, as dead.
  void release(std::string_view s) { dead_ += footprint(s.size()); }
  // Whether copying the live strings out would at least halve the bytes
  // held, and free at least `minimum` bytes.
  bool garbage_exceeds_live(size_t minimum) const {
    return dead_ >= minimum && dead_ > used_ - dead_;
  }
  size_t memory_bytes() const;

 private:
  static constexpr size_t kAlign = 4;
  static constexpr unsigned kWindowBits = 16;
  static constexpr size_t kWindow = size_t{1} << kWindowBits;
  static constexpr size_t kFirstBlock = 256;

  static size_t footprint(size_t length);
  void new_block(size_t need);

  std::vector<std::unique_ptr<char[]>> blocks_;
  std::vector<size_t> block_sizes_;
  std::vector<char*> windows_;  // window w starts at windows_[w]
  size_t fill_ = 0;             // bytes used in the last block
  size_t used_ = 0;             // bytes of all strings added, with padding
  size_t dead_ = 0;             // of which released
};

}  // namespace qdx
