// The master name table of the attribute-name interner.
//
// The only name table that ever changes. It lives behind the interner's master
// mutex: every method takes the guard of that mutex, so a caller cannot reach
// the table without holding it. Names are only appended; ids are dense from 0
// in the order names were first added. After each change the interner copies
// the table into a new immutable snapshot (`freeze`) and publishes it, so the
// published snapshot always holds every name the master held when it was
// made.
//
// Pre-sized for 1024 names and 1792 index keys (2048 buckets), so that an
// ordinary program never grows it and each publish copies a compact table.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "base/locks.hpp"
#include "structures/string_interner/immutable_interner.hpp"

namespace qdx {

class MutableInterner {
 public:
  static constexpr size_t kInitialNames = 1024;
  static constexpr size_t kInitialKeys = 1792;

  MutableInterner() : table_(kInitialNames, kInitialKeys) {}

  std::optional<AttributeId> find(const MutexGuard& master, std::string_view name,
                                  uint64_t text_hash) const;
  // Precondition: `find` just missed `name` under the same guard.
  AttributeId add(const MutexGuard& master, std::string_view name, uint64_t text_hash);
  // A new snapshot with a copy of the table; the text buffers are shared, the
  // index and its id lists are copied.
  SnapshotRef freeze(const MutexGuard& master) const;
  size_t size(const MutexGuard&) const noexcept { return table_.size(); }

 private:
  NameTable table_;
};

}  // namespace qdx
