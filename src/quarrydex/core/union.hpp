// Merging one index into another (`Index.union_with`).
//
// The target ends up answering every query as if each object of `other` had
// been added to it: the objects of `other` are added to the target from their
// current attribute values, which is what `other` holds for them, since writes
// reach every index linked to an object. Adding (rather than uniting bitmaps)
// links the objects to the target, gives container members proxy ids of the
// target's own (proxy ids of `other` are returned to the allocator when
// `other` forgets them, so they must never leak into the target), copies
// identity-hashed keys and merges nested objects so that dotted paths find
// them. No lock of `other` is held while a lock of the target is taken, so
// two threads uniting two indexes in opposite directions cannot block each
// other; uniting an index with itself changes nothing. `other` is unchanged.
//
// Two steps: the objects of `other` are read with a reference each while the
// interpreter lock is held (the target's store keeps those references), then
// added with it released.
#pragma once

#include <memory>
#include <vector>

#include "core/index_state.hpp"

namespace qdx {

// The objects `other` holds, each with a new reference; none when `other` is
// the target. The caller holds the interpreter lock.
std::vector<StoredIndexable> union_sources(const std::shared_ptr<IndexState>& target,
                                           IndexState& other);
// Adds the objects `union_sources` read to the target.
void union_indexes(const std::shared_ptr<IndexState>& target, std::vector<StoredIndexable> slots);

}  // namespace qdx
