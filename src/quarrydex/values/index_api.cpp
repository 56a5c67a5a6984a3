#include "values/index_api.hpp"

#include <utility>

namespace qdx {

IndexAPI IndexAPI::make(AttributeMap attributes) {
  IndexAPI record;
  record.index_links = std::make_shared<MutexLocked<IndexLinks>>();
  record.attributes = std::make_shared<MutexLocked<ObjectAttributes>>();
  record.attributes->unguarded().map = std::move(attributes);
  record.id = allocate_id();
  record.owns_id = true;
  return record;
}

IndexAPI::IndexAPI(IndexAPI&& other) noexcept
    : index_links(std::move(other.index_links)),
      attributes(std::move(other.attributes)),
      id(other.id),
      owns_id(std::exchange(other.owns_id, false)) {}

IndexAPI& IndexAPI::operator=(IndexAPI&& other) noexcept {
  if (this != &other) {
    if (owns_id) release_id(id);
    index_links = std::move(other.index_links);
    attributes = std::move(other.attributes);
    id = other.id;
    owns_id = std::exchange(other.owns_id, false);
  }
  return *this;
}

IndexAPI::~IndexAPI() {
  if (owns_id) release_id(id);
}

std::shared_ptr<const IndexAPI> IndexAPI::share() const {
  auto copy = std::make_shared<IndexAPI>();
  copy->index_links = index_links;
  copy->attributes = attributes;
  copy->id = id;
  copy->owns_id = false;
  return copy;
}

std::string IndexAPI::debug() const {
  return "IndexAPI { id: " + std::to_string(id) + ", attributes: .. }";
}

}  // namespace qdx
