#include "structures/string_interner/mutable_interner.hpp"

namespace qdx {

std::optional<AttributeId> MutableInterner::find(const MutexGuard&, std::string_view name,
                                                 uint64_t text_hash) const {
  return table_.find(name, text_hash);
}

AttributeId MutableInterner::add(const MutexGuard&, std::string_view name, uint64_t text_hash) {
  return table_.append(name, text_hash);
}

SnapshotRef MutableInterner::freeze(const MutexGuard&) const {
  return ImmutableInterner::make(table_);
}

}  // namespace qdx
