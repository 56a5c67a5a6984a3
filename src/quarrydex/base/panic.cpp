#include "base/panic.hpp"

namespace qdx {

void panic(std::string_view message) {
  throw Panic(std::string(message));
}

}  // namespace qdx
