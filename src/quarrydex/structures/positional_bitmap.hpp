// `PositionalBitmap`: the string value structure of one attribute.
//
// For every byte position of a common frame it records which ids' strings
// have which byte there, and where each string starts and ends. Equality,
// prefix, suffix and substring queries intersect and unite these per-position
// bitmaps; no stored string is ever compared. Strings are raw bytes (UTF-8 in
// practice); every length and position counts bytes.
//
// Each id holds at most one string at a time: the owner removes the old
// string (passing the same bytes) before it inserts a new one.
//
// Locking: the owner keeps the structure behind a reader-writer lock. Inserts,
// buffered inserts, flush, remove, narrow and union_with need the write lock;
// the queries are const, keep all scratch state local, and may run in
// parallel under the read lock. Queries read the cells' bitmaps only, so a
// bulk insertion must flush() before it releases the write lock.
//
// Design
// ------
// Layout. The frame has an even width P (0 at first). A string of L >= 1
// bytes sits at positions start .. start + L - 1 with
//     start(L) = P / 2 - L / 2 - 1,
// so strings are stacked around the middle: byte L / 2 lands on P / 2 - 1.
// The rule needs L < P, and we keep it that way: the frame is always
// strictly wider than the longest string stored. Storing a string with
// L >= P grows the frame to P' = 2 * (L / 2 + 1), the smallest even width
// above L. Allowing L == P would need start = -1; giving such strings a
// special start instead breaks at the next growth. With L < P for every
// string, start(L) only depends on P through P / 2, so growing by adding
// (P' - P) / 2 positions at each end moves every stored string exactly to
// the start the rule gives for P'. Nothing is ever re-laid out. The cost is
// that position P - 1 is never used (no string ends past P - 2); it is an
// empty slot in `positions_`, a null pointer.
//
// Cells. A position has 258 cells: one per byte value (0 .. 255), a start
// cell (ids whose first byte is here) and an end cell (ids whose last byte is
// here). Separate start and end cells keep prefix and suffix queries exact:
// one shared boundary cell would let 'ax' match starts_with("x").
// Cells are made on first use. A position is a 258-bit presence mask plus
// one contiguous vector holding only the cells in use (found by rank), so a
// letters-only attribute pays for a few dozen cells per position, not 258;
// positions no string reaches are null, and an empty structure has none.
//
// Candidate positions (1 <= L < P; patterns with L >= P match nothing, since
// every stored string is shorter than P):
//   starts_with  f in [0, P/2 - L/2 - 1]: start cell of f and p[j] at f + j;
//                these are the starts of all strings with at least L bytes.
//   ends_with    g in [P/2 + ceil(L/2) - 2, P - 2]: end cell of g and
//                p[L - 1 - i] at g - i; these are the ends of all such strings.
//   contains     g in [0, P - 1 - L]: p[j] at g + j (bytes only).
//   equal        the single start(L): start cell, end cell and the bytes.
// An id has bytes only at the positions its string covers, so an id in every
// byte cell of a candidate really has the pattern there; the boundary cells
// pin the occurrence to the string's start or end. That gives exactly the
// semantics of bytes ==, startswith, endswith and `in`. The empty pattern
// selects every id with a string: the union of the start cells (all starts
// are below P / 2) and the empty-string bitmap.
//
// Cost. A query over a pattern of L bytes does at most L + 2 bitmap
// intersections per candidate position, independent of the number of ids.
// Each candidate intersects its cells smallest first and stops at the first
// empty intermediate; a candidate with an absent or empty cell costs no
// bitmap work at all. The *_within variants treat the candidate set as one
// more operand, so a small running universe keeps every intermediate small.
// Insert is one roaring add per byte plus two; growth moves P pointers.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "structures/bitmap.hpp"
#include "structures/buffered_bitmap.hpp"

namespace qdx {

class PositionalBitmap {
 public:
  using Cell = BufferedBitmap<32>;

  // Cell numbers within a position: byte values, then the two boundaries.
  static constexpr unsigned kStartCell = 256;
  static constexpr unsigned kEndCell = 257;
  static constexpr unsigned kCellCount = 258;

  // Direct adds to the cells of s (and growth if s is at least as long as
  // the frame). The empty string goes to the empty-string bitmap.
  void insert(uint32_t id, std::string_view s);
  // Same cells as insert, through the cells' append buffers; for bulk
  // insertion, which holds the write lock until it has called flush(). The
  // empty-string bitmap still gets a direct add.
  void buffered_insert(uint32_t id, std::string_view s);
  // insert(id, s) for every id of `ids`, uniting `ids` into each cell once:
  // the cheap way to add a string that many ids hold.
  void insert_all(const Bitmap& ids, std::string_view s);
  // s must be the string id was inserted with. A string that cannot be in the
  // frame (at least P bytes) is an internal fatal error. Buffers are not
  // searched: flush before removing ids added by a bulk insertion.
  void remove(uint32_t id, std::string_view s);
  // remove(id, old_s) then insert(id, new_s). Strings of one length share
  // their positions, so only the cells of the bytes that differ change.
  void replace(uint32_t id, std::string_view old_s, std::string_view new_s);
  // Moves every cell's buffer into its bitmap.
  void flush();

  // Ids whose string is exactly s / starts with p / ends with p / contains p.
  // An empty p selects ids() for the last three. Each returns a new bitmap.
  Bitmap equal(std::string_view s) const;
  Bitmap starts_with(std::string_view p) const;
  Bitmap ends_with(std::string_view p) const;
  Bitmap contains(std::string_view p) const;

  // The same answers intersected with `candidates`, computed inside it: the
  // work shrinks with the candidate set, so call these when it is small.
  Bitmap equal_within(std::string_view s, const Bitmap& candidates) const;
  Bitmap starts_with_within(std::string_view p, const Bitmap& candidates) const;
  Bitmap ends_with_within(std::string_view p, const Bitmap& candidates) const;
  Bitmap contains_within(std::string_view p, const Bitmap& candidates) const;

  // Every id that holds a string value, including the empty string.
  Bitmap ids() const;
  Bitmap ids_within(const Bitmap& candidates) const;

  // Intersects every cell and the empty-string bitmap with filter (buffers
  // are flushed first so that no buffered id escapes the filter).
  void narrow(const Bitmap& filter);
  // Afterwards the queries answer as if every (id, string) pair of other had
  // been inserted here. other must be flushed (its read lock held); the two
  // frames may differ in width and are realigned. Uniting with itself does
  // nothing.
  void union_with(const PositionalBitmap& other);

  // Frame width P; always even, and above the longest string stored.
  size_t width() const noexcept { return positions_.size(); }
  // True when no id holds a string value (buffered ids count as held).
  bool empty() const noexcept;
  // Heap and inline bytes owned by the structure, roaring containers included.
  size_t memory_bytes() const;
  // Checks the layout invariants; an internal fatal error if one is broken.
  void validate() const;

 private:
  // The cells of one position that have been used, in cell order. Bit k of
  // present_ says whether cell k exists; its index in cells_ is its rank, the
  // number of present cells below k. A position with c cells costs the c
  // cells plus 80 bytes.
  class Position {
   public:
    const Cell* find(unsigned k) const { return has(k) ? &cells_[rank(k)] : nullptr; }
    Cell* find(unsigned k) { return has(k) ? &cells_[rank(k)] : nullptr; }
    // Cell k, made empty on first use.
    Cell& get(unsigned k);
    // Calls f(k, cell) for every present cell in ascending k.
    template <typename F>
    void for_each(F&& f) const {
      for_each_index([&](unsigned k, size_t i) { f(k, cells_[i]); });
    }
    template <typename F>
    void for_each(F&& f) {
      for_each_index([&](unsigned k, size_t i) { f(k, cells_[i]); });
    }
    size_t memory_bytes() const;
    void validate() const;

   private:
    static constexpr size_t kWords = (kCellCount + 63) / 64;

    bool has(unsigned k) const { return (present_[k / 64] >> (k % 64)) & 1; }
    size_t rank(unsigned k) const {
      const uint64_t below = present_[k / 64] & ((uint64_t{1} << (k % 64)) - 1);
      return before_[k / 64] + static_cast<size_t>(std::popcount(below));
    }
    template <typename F>
    void for_each_index(F&& f) const {
      size_t i = 0;
      for (size_t w = 0; w < kWords; ++w) {
        for (uint64_t bits = present_[w]; bits != 0; bits &= bits - 1) {
          f(static_cast<unsigned>(w * 64 + std::countr_zero(bits)), i++);
        }
      }
    }

    std::array<uint64_t, kWords> present_{};
    std::array<uint16_t, kWords> before_{};  // present cells in the earlier words
    std::vector<Cell> cells_;
  };

  // Bitmap of cell k at position pos, or null when it was never made.
  const Bitmap* cell(size_t pos, unsigned k) const;
  Cell& cell_for_write(size_t pos, unsigned k);
  // First position of a string of `length` bytes; needs 1 <= length < P.
  size_t start_of(size_t length) const { return width() / 2 - length / 2 - 1; }
  // Widens the frame symmetrically to new_width (even, above the old width).
  void grow_to(size_t new_width);
  void grow_for(size_t length);

  template <typename Add>
  void insert_with(uint32_t id, std::string_view s, Add add);
  Bitmap equal_impl(std::string_view s, const Bitmap* candidates) const;
  Bitmap starts_with_impl(std::string_view p, const Bitmap* candidates) const;
  Bitmap ends_with_impl(std::string_view p, const Bitmap* candidates) const;
  Bitmap contains_impl(std::string_view p, const Bitmap* candidates) const;
  Bitmap ids_impl(const Bitmap* candidates) const;

  std::vector<std::unique_ptr<Position>> positions_;
  Bitmap empty_strings_;
};

}  // namespace qdx
