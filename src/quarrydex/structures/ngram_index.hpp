// `NgramIndex`: substring posting lists of one string attribute.
//
// For every byte value and every three-byte sequence (trigram) that occurs in
// some stored string, the ids of the strings that contain it. A `contains`
// pattern of one byte is answered by one list, a pattern of three bytes by
// one list, a longer pattern by intersecting the lists of its trigrams: that
// gives the ids holding every trigram of the pattern, a superset of those
// holding the pattern, which the caller verifies (the positional structure
// does, inside the small candidate set). Two-byte and empty patterns are not
// served. Strings are raw bytes.
//
// Layout. One Swiss table from gram key to a cell: key b | 1 << 24 for the
// byte b, b0 << 16 | b1 << 8 | b2 for a trigram, so the two kinds never
// collide. A cell is a roaring bitmap, plus an append buffer made only while
// a bulk insertion runs and dropped by flush, so a finished index holds no
// scratch. Cost per record: about two bytes per distinct trigram of its
// string (roaring array containers), less for byte grams, which are dense.
//
// Invariants: after flush, id is in the cell of gram g exactly when id's
// string contains g; no cell is empty and none holds a buffer.
//
// Each id holds at most one string; the owner removes the old string (same
// bytes) before inserting a new one. Locking: behind the owner's
// reader-writer lock; insert, buffered_insert, remove, flush, narrow and
// union_with need the write lock, the rest the read lock. A bulk insertion
// calls flush before it releases the write lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include <absl/container/flat_hash_map.h>

#include "structures/bitmap.hpp"

namespace qdx {

class NgramIndex {
 public:
  static constexpr size_t kGram = 3;

  // Whether contains(p) can be narrowed here: patterns of one byte, or of
  // kGram bytes and more.
  static bool serves(size_t length) noexcept { return length == 1 || length >= kGram; }
  // Whether candidates_within is already the exact answer for such a length.
  static bool exact(size_t length) noexcept { return length == 1 || length == kGram; }

  void insert(uint32_t id, std::string_view s);
  // Same grams, through append buffers; for a bulk insertion only.
  void buffered_insert(uint32_t id, std::string_view s);
  // s must be the string id was inserted with; buffers are not searched.
  void remove(uint32_t id, std::string_view s);
  // Moves every buffer into its bitmap and frees the buffers.
  void flush();

  // The ids of `candidates` whose string holds every gram of p (p itself
  // when its length is one byte, its trigrams otherwise). Needs serves(|p|).
  Bitmap candidates_within(std::string_view p, const Bitmap& candidates) const;

  // Keeps only ids in filter (flushes first); drops emptied cells.
  void narrow(const Bitmap& filter);
  // Adds every (id, gram) of other, which must be flushed; self-union is a no-op.
  void union_with(const NgramIndex& other);

  bool empty() const noexcept { return cells_.empty(); }
  size_t memory_bytes() const;
  // Checks the invariants that need no strings (no buffer, no empty cell);
  // a violation is an internal fatal error.
  void validate() const;

 private:
  struct Cell {
    Bitmap ids;
    std::unique_ptr<std::vector<uint32_t>> pending;  // bulk insertion only
  };

  // The distinct gram keys that p must hold, ascending.
  static void keys_of_pattern(std::string_view p, std::vector<uint32_t>& out);

  absl::flat_hash_map<uint32_t, Cell> cells_;
};

}  // namespace qdx
