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
// A bulk build knows an upper bound of what it will add: `reserve` makes one
// block of that size, and `shrink_to_fit` gives back the pages the build did
// not reach. Blocks of kMapFrom bytes or more are mapped straight from the
// system rather than taken from the malloc heap: an arena copied out by a
// rebuild is then handed back whole, instead of leaving a hole in the heap
// below the structures allocated meanwhile, which the process would keep.
//
// Nothing is freed in place: `release` only counts the bytes as dead, and the
// owner copies the live strings into a fresh arena (`garbage_exceeds_live`)
// when the dead ones outweigh them. Invariants: every reference handed out and
// not released names the bytes it was made from; dead <= used; the windows
// are exactly those of the blocks, in order. Not thread-safe: guarded by the
// owner's lock.
#pragma once

#include <cstddef>
#include <cstdint>
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
  // Bytes that adding a string of `length` bytes takes.
  static size_t footprint(size_t length);
  // Makes room for at least `bytes` bytes of footprints in one block; call
  // on an empty arena.
  void reserve(size_t bytes);
  // Gives back the whole pages of the last block beyond what it holds.
  void shrink_to_fit();
  // Counts the bytes of s, stored under some reference, as dead.
  void release(std::string_view s) { dead_ += footprint(s.size()); }
  // Whether copying the live strings out would at least halve the bytes
  // held, and free at least `minimum` bytes.
  bool garbage_exceeds_live(size_t minimum) const {
    return dead_ >= minimum && dead_ > used_ - dead_;
  }
  // Bytes of the strings added and not released, padding included.
  size_t live_bytes() const { return used_ - dead_; }
  size_t memory_bytes() const;

 private:
  static constexpr size_t kAlign = 4;
  static constexpr unsigned kWindowBits = 16;
  static constexpr size_t kWindow = size_t{1} << kWindowBits;
  static constexpr size_t kFirstBlock = 256;
  // Chosen: well above the heap's own mapping threshold, so that only the
  // blocks of bulk builds and of long strings are mapped.
  static constexpr size_t kMapFrom = size_t{1} << 20;

  // One block of memory, from the heap or mapped, freed with it.
  class Block {
   public:
    explicit Block(size_t size);
    Block(Block&& other) noexcept;
    Block& operator=(Block&& other) noexcept;
    ~Block();
    char* data() const noexcept { return data_; }
    size_t size() const noexcept { return size_; }
    // Unmaps the whole pages past `keep` bytes of a mapped block.
    void shrink(size_t keep) noexcept;

   private:
    void free() noexcept;
    char* data_ = nullptr;
    size_t size_ = 0;
    bool mapped_ = false;
  };

  void new_block(size_t need);
  void push_block(size_t size);
  size_t windows_of(size_t size) const { return (size + kWindow - 1) / kWindow; }

  std::vector<Block> blocks_;
  std::vector<char*> windows_;  // window w starts at windows_[w]
  size_t fill_ = 0;             // bytes used in the last block
  size_t used_ = 0;             // bytes of all strings added, with padding
  size_t dead_ = 0;             // of which released
};

}  // namespace qdx
