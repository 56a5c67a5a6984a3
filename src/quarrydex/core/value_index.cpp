#include "core/value_index.hpp"

#include "core/index_state.hpp"

namespace qdx {

ValueIndex::ValueIndex(std::weak_ptr<IndexState> owner_link) : owner(std::move(owner_link)) {}

ValueIndex::~ValueIndex() = default;

std::shared_ptr<IndexState> ValueIndex::nested() const {
  MutexGuard guard(nested_mutex_);
  return nested_;
}

std::shared_ptr<IndexState> ValueIndex::nested_or_make() {
  MutexGuard guard(nested_mutex_);
  if (nested_ == nullptr) nested_ = IndexState::make(owner);
  return nested_;
}

}  // namespace qdx
