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
// Layout. One Swiss table from gram key to a `GramList`: key b | 1 << 24 for
// the byte b, b0 << 16 | b1 << 8 | b2 for a trigram, so the two kinds never
// collide. Most trigrams are held by a few hundred ids spread over the whole
// id space; their lists stay delta-encoded (one or two bytes an id) up to
// encoded_max ids, and only longer ones, whose roaring containers fill up,
// become bitmaps. Byte grams are dense and soon bitmaps.
//
// Bulk insertion (insert_many) turns a slice of strings into (gram, id)
// pairs, sorts them by gram with two counting passes and hands each gram's
// ids to its bitmap in one append, so the table is probed once per gram per
// slice rather than once per occurrence. Its scratch is freed on return.
//
// Invariants: id is in the list of gram g exactly when id's string
// contains g; no list in the table is empty.
//
// Each id holds at most one string; the owner removes the old string (same
// bytes) before inserting a new one. Locking: behind the owner's
// reader-writer lock; insert, insert_many, remove, narrow and union_with need
// the write lock, the rest the read lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include <absl/container/flat_hash_map.h>
#include <absl/container/inlined_vector.h>

#include "structures/bitmap.hpp"
#include "structures/gram_list.hpp"

namespace qdx {

class NgramIndex {
 public:
  static constexpr size_t kGram = 3;
  // Lists of up to this many ids stay encoded. Chosen: a write that lands
  // inside an encoded list re-encodes at most a couple of kilobytes, and a
  // list this long fills its roaring containers with over a hundred ids each
  // (500K ids over 8 containers), where a bitmap costs near two bytes an id.
  static constexpr size_t kEncodedMax = 1024;

  NgramIndex() = default;
  // Another encoded_max, so that tests reach both forms with few ids.
  explicit NgramIndex(size_t encoded_max) : encoded_max_(encoded_max) {}

  // Whether contains(p) can be narrowed here: patterns of one byte, or of
  // kGram bytes and more.
  static bool serves(size_t length) noexcept { return length == 1 || length >= kGram; }
  // Whether candidates_within is already the exact answer for such a length.
  static bool exact(size_t length) noexcept { return length == 1 || length == kGram; }

  void insert(uint32_t id, std::string_view s);
  // insert for every (string, id) pair; fastest with ascending ids.
  void insert_many(std::span<const std::pair<std::string_view, uint32_t>> items);
  // insert(id, s) for every id of `ids`, one union per gram.
  void insert_all(const Bitmap& ids, std::string_view s);
  // s must be the string id was inserted with.
  void remove(uint32_t id, std::string_view s);
  // remove(id, old_s) then insert(id, new_s), touching only the grams that
  // one string holds and the other does not.
  void replace(uint32_t id, std::string_view old_s, std::string_view new_s);

  // The ids of `candidates` whose string holds every gram of p (p itself
  // when its length is one byte, its trigrams otherwise). Needs serves(|p|).
  Bitmap candidates_within(std::string_view p, const Bitmap& candidates) const;

  // Keeps only ids in filter; drops emptied bitmaps.
  void narrow(const Bitmap& filter);
  // Adds every (id, gram) of other; self-union is a no-op.
  void union_with(const NgramIndex& other);

  bool empty() const noexcept { return cells_.empty(); }
  size_t memory_bytes() const;
  // Checks the invariant that needs no strings (no empty bitmap); a
  // violation is an internal fatal error.
  void validate() const;

 private:
  // The distinct gram keys that p must hold, ascending.
  static void keys_of_pattern(std::string_view p, std::vector<uint32_t>& out);
  // The distinct gram keys of a stored string, ascending: a gram repeated in
  // the string costs one bitmap update, not one per occurrence.
  using Keys = absl::InlinedVector<uint32_t, 48>;
  static void keys_of_string(std::string_view s, Keys& out);
  void add_key(uint32_t key, uint32_t id) { cells_[key].add(id, encoded_max_); }
  void drop_key(uint32_t key, uint32_t id);

  size_t encoded_max_ = kEncodedMax;
  absl::flat_hash_map<uint32_t, GramList> cells_;
};

}  // namespace qdx
