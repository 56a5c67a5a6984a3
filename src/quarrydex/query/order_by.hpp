// Ordering the objects of an index (or of a filtered view) by one attribute
// value (`order_by`).
//
// Key groups, in this sequence: numbers (integers and floats in one numeric
// domain, NaN after every other number), strings by their UTF-8 bytes, False,
// True, and last every other value and the objects lacking the attribute.
// Equal keys, and the whole last group, keep ascending id order. Descending
// order reverses the numbers (NaN stays last among them) and the strings and
// puts the strings first; False, True and the last group keep their places.
//
// Two ways to the same order:
//   walk    reads the attribute's ordered posting lists key by key, so a
//           small limit touches only the first keys; for a filtered view only
//           the keys between the view's least and greatest number (found on
//           the bit-sliced planes) are read. Cost grows with the keys read.
//   gather  reads each selected object's value and sorts (a partial sort
//           for a limit); cost grows with the selection. Dotted paths and
//           names beginning with "_" (which some adds do not index) always
//           go this way.
// An index walks unless it is empty. A view walks until it has read eight
// keys per selected object, and then gathers instead: at worst about twice
// the cheaper way. Neither calls Python; object mutexes are never taken while an
// index lock is held (lock order in index_state.hpp).
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "core/index_state.hpp"
#include "structures/bitmap.hpp"

namespace qdx {

struct OrderRequest {
  std::string_view path;  // attribute name, or a dotted path through nested objects
  bool descending = false;
  uint64_t limit = UINT64_MAX;
};

// The ids of the objects the index holds (only those in `view` when it is not
// null), in the order above, at most `limit` of them.
std::vector<uint32_t> order_ids(IndexState& state, const Bitmap* view, const OrderRequest& request);

}  // namespace qdx
