#include "values/index_api.hpp"

#include <utility>

namespace qdx {

namespace {

// The links list and the attribute map of one object, made in one allocation:
// both live exactly as long as the object's records do, so they share one
// control block (the record's two pointers alias into it).
struct ObjectState {
  MutexLocked<IndexLinks> links;
  MutexLocked<ObjectAttributes> attributes;
};

}  // namespace

IndexAPI IndexAPI::make(AttributeMap attributes) {
  IndexAPI record;
  auto state = std::make_shared<ObjectState>();
  state->attributes.unguarded().map = std::move(attributes);
  record.index_links = std::shared_ptr<MutexLocked<IndexLinks>>(state, &state->links);
  record.attributes = std::shared_ptr<MutexLocked<ObjectAttributes>>(state, &state->attributes);
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
