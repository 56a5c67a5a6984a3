// `BooleanSets`: the boolean structure of one attribute, the ids whose value
// is True and the ids whose value is False.
//
// Two `BufferedBitmap<64>` cells, the first for True and the second for False.
// An id sits in at most one cell as long as the attribute value map removes
// the old value before inserting a new one; this type does not check that.
//
// The structure sits behind the attribute record's reader-writer lock for
// booleans: `equal`, `set`, `ids` and `empty` under the read lock, everything
// else under the write lock. `buffered_insert` is only for a bulk insertion,
// which holds the write lock for the whole batch and calls `flush` before it
// lets the lock go, so readers always find both buffers empty and may look at
// the bitmaps alone.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "structures/bitmap.hpp"
#include "structures/buffered_bitmap.hpp"

namespace qdx {

class BooleanSets {
 public:
  static constexpr size_t kBufferSize = 64;

  // Adds `id` to the bitmap of `value`'s cell directly (single-object paths).
  void insert(uint32_t id, bool value) { cell(value).add(id); }
  // Appends `id` to the buffer of `value`'s cell (bulk insertion only).
  void buffered_insert(uint32_t id, bool value) { cell(value).buffered_add(id); }
  // Removes `id` from the bitmap of `value`'s cell; the buffer is not searched.
  void remove(uint32_t id, bool value) { cell(value).remove(id); }
  // Empties both buffers into their bitmaps, the True cell first.
  void flush();

  // A copy of `value`'s bitmap; a failed copy panics
  // "Memory allocation failure cloning roaring bitmap".
  Bitmap equal(bool value) const { return set(value).clone(); }
  const Bitmap& set(bool value) const noexcept {
    return cells_ ? (*cells_)[index(value)].bitmap() : empty_bitmap();
  }
  // Number of ids waiting in `value`'s buffer.
  size_t buffered(bool value) const noexcept {
    return cells_ ? (*cells_)[index(value)].buffered() : 0;
  }

  // Intersects both bitmaps with `filter` in place.
  void narrow(const Bitmap& filter);
  // Adds the other structure's bitmaps cell by cell; `other` may be `*this`.
  void union_with(const BooleanSets& other);

  // Every id that holds a boolean value (the union of both bitmaps).
  Bitmap ids() const;
  // No id in either bitmap.
  bool empty() const { return set(true).empty() && set(false).empty(); }

 private:
  using Cell = BufferedBitmap<kBufferSize>;

  static constexpr size_t index(bool value) noexcept { return value ? 0 : 1; }
  Cell& cell(bool value) {
    if (!cells_) cells_ = std::make_unique<std::array<Cell, 2>>();
    return (*cells_)[index(value)];
  }
  static const Bitmap& empty_bitmap() noexcept;

  // Made on first use: an attribute that never holds a boolean pays one pointer.
  std::unique_ptr<std::array<Cell, 2>> cells_;
};

}  // namespace qdx
