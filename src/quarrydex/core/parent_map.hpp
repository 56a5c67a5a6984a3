// `ParentMap`: the pairs (holder id, nested object id) of one attribute of
// one index.
//
// When an attribute value is an Indexable, the pair (holder, nested object)
// is recorded in the attribute's value index; a member of a list, tuple or set
// value is recorded under its proxy id. A dotted-path query finds the nested
// objects that satisfy the rest of the path and maps them back to their
// holders with `holders_of`.
//
// Pairs are kept exactly, as child -> holders lists, so that a pair can be
// removed without disturbing the others and holders_of never reports a holder
// of another child. A pair is recorded at most once. Guarded by the value
// index's `parents` lock.
#pragma once

#include <cstdint>
#include <vector>

#include <absl/container/flat_hash_map.h>
#include <absl/container/inlined_vector.h>

#include "structures/bitmap.hpp"

namespace qdx {

class ParentMap {
 public:
  // Records that `holder` holds `child`; false when the pair was recorded already.
  bool record_pair(uint32_t holder, uint32_t child);
  // Removes the pair; false when it was not recorded.
  bool remove_pair(uint32_t holder, uint32_t child);
  // Every holder of any id of `children`.
  Bitmap holders_of(const Bitmap& children) const;
  // Removes every pair whose holder is in `holders`; appends the child of
  // each removed pair to `children` (once per pair).
  void remove_holders(const Bitmap& holders, std::vector<uint32_t>& children);
  // Calls f(holder, child) for every pair.
  template <typename F>
  void for_each_pair(F&& f) const {
    for (const auto& [child, holders] : holders_) {
      for (uint32_t holder : holders) f(holder, child);
    }
  }
  bool empty() const noexcept { return holders_.empty(); }

 private:
  absl::flat_hash_map<uint32_t, absl::InlinedVector<uint32_t, 1>> holders_;  // child -> holders
};

}  // namespace qdx
