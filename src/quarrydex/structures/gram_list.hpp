// `GramList`: the ascending ids of one n-gram's posting list.
//
// A gram held by few ids spreads them thinly over the id space: a roaring
// bitmap would give each a container of its own, at several times the cost
// of the id. So a list starts encoded, each id as its distance from the one
// before (LEB128: one byte below 128, two below 16384), and becomes a roaring
// bitmap once it holds more than `encoded_max` ids, where its containers fill
// up. It stays a bitmap from then on.
//
// Ids that ascend past the last one are appended in place. A single write
// (add or remove of one id) splices its deltas in place after one scan of
// the bytes; a larger merge decodes the list and encodes the result. Either
// costs the list's length, bounded by encoded_max. Invariants: an encoded list ascends without
// repeats, `count` is its length and `last` its greatest id (0 when empty).
// No lock: the owning index's lock guards it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <variant>
#include <vector>

#include "structures/bitmap.hpp"

namespace qdx {

// The delta-encoded form of a list.
struct EncodedIds {
  std::vector<uint8_t> bytes;
  uint32_t count = 0;
  uint32_t last = 0;
};

class GramList {
 public:
  // Adds the ascending, distinct ids.
  void add_many(std::span<const uint32_t> ids, size_t encoded_max);
  void add(uint32_t id, size_t encoded_max) { add_many({&id, 1}, encoded_max); }
  void add_all(const Bitmap& ids, size_t encoded_max);
  void remove(uint32_t id);
  void retain(const Bitmap& filter);

  uint64_t cardinality() const;
  bool empty() const { return cardinality() == 0; }
  // The roaring form, or null while encoded.
  const Bitmap* bitmap() const { return std::get_if<Bitmap>(&data_); }
  // The ids as a new bitmap.
  Bitmap to_bitmap() const;
  // The ids, ascending.
  void decode(std::vector<uint32_t>& out) const;
  // Releases capacity beyond what the ids need.
  void shrink_to_fit();
  size_t memory_bytes() const;

 private:
  using Encoded = EncodedIds;
  // Adds this many ids or fewer one by one in place; more are merged.
  static constexpr size_t kSpliceMax = 8;

  static void append(Encoded& list, uint32_t id);
  // Adds `id` unless held; true when added.
  static bool insert_encoded(Encoded& list, uint32_t id);
  static void erase_encoded(Encoded& list, uint32_t id);
  // Replaces the list by `ids` (ascending, distinct), in the form their
  // number calls for.
  void assign(const std::vector<uint32_t>& ids, size_t encoded_max);

  std::variant<Encoded, Bitmap> data_;
};

}  // namespace qdx
