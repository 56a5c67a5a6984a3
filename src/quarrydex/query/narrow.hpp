// Narrowing an index in place (`Index.reduce`) and rebuilding a filtered
// view into an independent index (`FilteredIndex.rebase`).
//
// Narrowing drops the objects it does not keep completely: their ids, store
// slots, attribute values, container members and nested pairs, and the
// index's link in each of them, so that later writes on a dropped object no
// longer reach the index. Kept objects keep their members and nested values;
// nested objects that only dropped objects reached leave the nested index.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/index_state.hpp"
#include "structures/bitmap.hpp"

namespace qdx {

void narrow_index(const std::shared_ptr<IndexState>& state, const Bitmap& keep);

// Whether some narrowing, of any index, has withdrawn ids from its all-ids set
// and not yet taken them out of every attribute structure. Read under an
// index's all-ids read lock, false means that index's posting lists hold
// only ids of its all-ids set (container members aside) for as long as the
// lock is held: a narrowing withdraws ids under the write lock.
bool narrowing_in_progress() noexcept;

// A new index of `slots` (read by referenced_slots from the index a view
// selected them in, while the interpreter lock was held).
std::shared_ptr<IndexState> rebase_index(std::vector<StoredIndexable> slots);

}  // namespace qdx
