// Narrowing an index in place (`Index.reduce`) and rebuilding a filtered
// view into an independent index (`FilteredIndex.rebase`).
//
// Narrowing drops the objects it does not keep completely: their ids, store
// slots, attribute values, container members and nested pairs, and the
// index's link in each of them, so that later writes on a dropped object no
// longer reach the index. Kept objects keep their members and nested values;
// nested indexes are narrowed to the nested objects that kept objects hold.
#pragma once

#include <memory>

#include "core/index_state.hpp"
#include "structures/bitmap.hpp"

namespace qdx {

void narrow_index(const std::shared_ptr<IndexState>& state, const Bitmap& keep);

std::shared_ptr<IndexState> rebase_index(IndexState& source, const Bitmap& ids);

// The filled slots of `ids`, in ascending id order (ids without an object are skipped).
std::vector<StoredIndexable> slots_of(IndexState& state, const Bitmap& ids);

}  // namespace qdx
