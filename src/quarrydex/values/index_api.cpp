#include "values/index_api.hpp"

namespace qdx {

IndexAPI::~IndexAPI() {
  std::unique_ptr<IndexLinks> links(links_);
  release_id(id);
}

IndexLinks& IndexAPI::links_to_change(const ObjectGuard& guard) const {
  QDX_DEBUG_CHECK(guard.holds(lock_, kLinksPart), "guard of another object");
  if (links_ == nullptr) {
    __atomic_store_n(&links_, std::make_unique<IndexLinks>().release(), __ATOMIC_RELAXED);
  }
  return *links_;
}

void IndexAPI::drop_links_if_empty(const ObjectGuard& guard) const {
  QDX_DEBUG_CHECK(guard.holds(lock_, kLinksPart), "guard of another object");
  if (links_ == nullptr || !links_->empty()) return;
  const std::unique_ptr<IndexLinks> links(links_);
  __atomic_store_n(&links_, nullptr, __ATOMIC_RELAXED);
}

std::string IndexAPI::debug() const {
  return "IndexAPI { id: " + std::to_string(id) + ", attributes: .. }";
}

}  // namespace qdx
