// `ValueIndex`: the values of one attribute within one index.
//
// Components, each behind its own reader-writer lock:
//   hashed    nested objects and other hashable objects -> id sets
//   numbers   integers and floats (NaN is never stored: it equals nothing)
//   strings   UTF-8 strings
//   booleans  True and False sets
//   proxies   members of list, tuple and set values: each member is stored
//             under a proxy id of its own; `owner_of` maps every proxy (also
//             of containers nested in containers) straight to the id of the
//             object that holds the outermost container, and `by_owner`
//             remembers, per owner, the proxies and member values inserted
//             for its current value, so removal needs no interpreter.
//   nested    the index of the Indexable values of this attribute, made on
//             first use; its parent map links nested objects to holders.
// Every component is empty and costs a few words until first used.
#pragma once

#include <memory>
#include <vector>

#include <absl/container/flat_hash_map.h>

#include "base/locks.hpp"
#include "core/hashed_value_map.hpp"
#include "structures/boolean_sets.hpp"
#include "structures/ordered_bitmap.hpp"
#include "structures/positional_bitmap.hpp"
#include "values/value.hpp"

namespace qdx {

class IndexState;

struct ProxyRecord {
  uint32_t proxy;
  PyValue member;
};

struct Proxies {
  absl::flat_hash_map<uint32_t, uint32_t> owner_of;
  absl::flat_hash_map<uint32_t, std::vector<ProxyRecord>> by_owner;
  Bitmap set;
};

class ValueIndex {
 public:
  explicit ValueIndex(std::weak_ptr<IndexState> owner);
  ~ValueIndex();

  HashedValueMap hashed;
  RwLocked<OrderedBitmap> numbers;
  RwLocked<PositionalBitmap> strings;
  RwLocked<BooleanSets> booleans;
  RwLocked<Proxies> proxies;
  const std::weak_ptr<IndexState> owner;

  // The nested index, or nullptr while no Indexable value was stored.
  std::shared_ptr<IndexState> nested() const;
  // The nested index, made on first use with this value index's owner as parent.
  std::shared_ptr<IndexState> nested_or_make();

 private:
  mutable Mutex nested_mutex_;
  std::shared_ptr<IndexState> nested_;
};

}  // namespace qdx
