// `BufferedBitmap<N>`: a roaring bitmap with a fixed append buffer of N ids.
//
// The set a cell stands for is bitmap ∪ buffer[0, len). Readers look at the
// bitmap alone; that is sound because the buffer is only written by a bulk
// insertion that holds the owning structure's write lock and flushes every
// cell before it lets the lock go (the bulk-insertion discipline). So whenever
// a reader holds a read lock, len == 0 for every cell.
//
// Buffered add empties a full buffer into the bitmap first, so after an add
// the buffer may hold exactly N ids. Remove works on the bitmap only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "base/panic.hpp"
#include "structures/bitmap.hpp"

namespace qdx {

template <size_t N>
class BufferedBitmap {
 public:
  static constexpr size_t kCapacity = N;

  void buffered_add(uint32_t id) {
    if (len_ == N) {
      bitmap_.add_many(buffer_.data(), N);
      len_ = 0;
    }
    buffer_[len_++] = id;
  }
  void add(uint32_t id) { bitmap_.add(id); }
  void remove(uint32_t id) { bitmap_.remove(id); }
  void flush() {
    if (len_ == 0) return;
    if (len_ > N) check_index(len_, N + 1);
    bitmap_.add_many(buffer_.data(), len_);
    len_ = 0;
  }

  const Bitmap& bitmap() const noexcept { return bitmap_; }
  Bitmap& bitmap() noexcept { return bitmap_; }
  size_t buffered() const noexcept { return len_; }

 private:
  std::array<uint32_t, N> buffer_;
  Bitmap bitmap_;
  size_t len_ = 0;
};

}  // namespace qdx
