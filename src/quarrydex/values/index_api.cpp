#include "values/index_api.hpp"

namespace qdx {

IndexAPI::~IndexAPI() {
  release_id(id);
}

std::string IndexAPI::debug() const {
  return "IndexAPI { id: " + std::to_string(id) + ", attributes: .. }";
}

}  // namespace qdx
