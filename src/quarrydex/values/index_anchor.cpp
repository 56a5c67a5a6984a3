#include "values/index_anchor.hpp"

namespace qdx {

IndexAnchor* IndexAnchor::retain(IndexAnchor* anchor) noexcept {
  anchor->counts_.fetch_add(1, std::memory_order_relaxed);
  return anchor;
}

void IndexAnchor::release(IndexAnchor* anchor) noexcept {
  if (anchor->counts_.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  const std::unique_ptr<IndexAnchor> last(anchor);
}

}  // namespace qdx
