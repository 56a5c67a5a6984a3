// `ParentMap`: the pairs (holder id, nested object id) of one nested index.
//
// When an attribute value is itself an Indexable, the nested object lives in
// the nested index that the attribute's value index owns, and the pair is
// recorded here. A dotted-path query evaluates the rest of the path inside the
// nested index and maps the nested objects it found back to their holders
// with `holders_of`.
//
// The pairs are kept exactly, as child -> holders lists plus a bitmap of all
// children, so that a pair can be removed without disturbing the others and
// holders_of never reports a holder of another child. Guarded by the
// owning IndexState's `parents` lock.
#pragma once

#include <cstdint>

#include <absl/container/flat_hash_map.h>
#include <absl/container/inlined_vector.h>

#include "structures/bitmap.hpp"

namespace qdx {

class ParentMap {
 public:
  // Records that `holder` holds `child`; recording a pair twice keeps one.
  void record_pair(uint32_t holder, uint32_t child);
  // Removes the pair; true when it was recorded and `child` has no holder left.
  bool remove_pair(uint32_t holder, uint32_t child);
  // Every holder of any id of `children`.
  Bitmap holders_of(const Bitmap& children) const;
  // Holders of one child.
  Bitmap holders_of_one(uint32_t child) const;
  bool is_child(uint32_t child) const { return children_.contains(child); }
  const Bitmap& children() const noexcept { return children_; }
  // Children held by any holder in `holders`.
  Bitmap children_of(const Bitmap& holders) const;
  // Drops every pair whose holder is not in `keep`.
  void retain_holders(const Bitmap& keep);
  // Adds every pair of `other`.
  void union_with(const ParentMap& other);
  bool empty() const noexcept { return holders_.empty(); }

 private:
  absl::flat_hash_map<uint32_t, absl::InlinedVector<uint32_t, 1>> holders_;  // child -> holders
  Bitmap children_;
};

}  // namespace qdx
