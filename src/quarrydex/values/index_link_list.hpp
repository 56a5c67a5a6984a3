// `IndexLinks`: the indexes that hold one object, in one word of its record.
//
// The word is zero while the object is in no index; with one index (the
// common case) it is that index's anchor (values/index_anchor.hpp), so the
// link costs no block of its own; with more it points, tagged in its low bit,
// at one heap array of anchors.
//
// Invariants: one link per index; the links are sorted by the address of
// their index, so that writers lock indexes in one order; a link whose index
// is gone may remain until the next add or remove, which drops it (readers
// skip it). Guarded by the object's lock (links part; base/locks.hpp); the
// word alone is also read without the lock, as a prefetch hint, so every
// store to it is atomic.
#pragma once

#include <cstdint>
#include <vector>

#include "values/index_anchor.hpp"

namespace qdx {

class IndexLinks {
 public:
  IndexLinks() noexcept = default;
  IndexLinks(const IndexLinks&) = delete;
  IndexLinks& operator=(const IndexLinks&) = delete;
  ~IndexLinks();

  bool empty() const noexcept { return load() == 0; }
  // Calls `visit(const std::weak_ptr<IndexState>&)` per link, in order.
  template <typename Visit>
  void for_each(Visit&& visit) const {
    const uintptr_t word = load();
    if (word == 0) return;
    if ((word & kMany) == 0) {
      visit(reinterpret_cast<const IndexAnchor*>(word)->state());
      return;
    }
    for (const AnchorRef& link : *reinterpret_cast<const Many*>(word & ~kMany))
      visit(link->state());
  }
  // Links the index of `anchor` unless it is linked already, and drops the
  // links to indexes that are gone.
  void add(IndexAnchor& anchor);
  // Drops the link to the index at `address` and the links to indexes that are gone.
  void remove(const void* address);
  // The memory a write reads next (the anchor or the array); a hint only.
  const void* hint() const noexcept { return reinterpret_cast<const void*>(load() & ~kMany); }

 private:
  using Many = std::vector<AnchorRef>;
  static constexpr uintptr_t kMany = 1;

  uintptr_t load() const noexcept { return __atomic_load_n(&word_, __ATOMIC_RELAXED); }
  void store(uintptr_t word) noexcept { __atomic_store_n(&word_, word, __ATOMIC_RELAXED); }
  // Moves every link out, leaving the word zero.
  Many take_all();
  // Stores `links` (sorted, one per index) in the cheapest form.
  void put_all(Many links);

  uintptr_t word_ = 0;
};

static_assert(sizeof(IndexLinks) == sizeof(void*), "an object's links are one word");
static_assert(alignof(IndexAnchor) > 1, "the low bit of an anchor's address is free for the tag");

}  // namespace qdx
