// `IndexAPI`: the per-object record that ties a tracked object to its
// attribute map, its process-wide id and the indexes that hold it.
//
// The record lives inside its `Indexable` instance (values/indexable_layout.hpp)
// and only there: it is never copied. Everything that reaches it (an object
// store's slot, a value that refers to the object) holds a strong reference
// to the instance, so the record outlives every such path. It owns the id and
// returns it to the allocator when the instance goes.
//
// Layout (five words, so that the instance stays in a small size class and a
// write touches the instance's own cache lines before the map's block):
//   lock        one word guarding links and attributes (base/locks.hpp)
//   id          fixed for the record's life; read without the lock
//   links       the indexes holding the object, one word: zero while there
//               are none, the index's shared anchor while there is one, a
//               heap array only for two or more (values/index_link_list.hpp)
//   map         the attribute map (two words; its entries in one block sized
//               to the object)
//   generation  counts the writes, so that a bulk insertion which indexed a
//               copy of the map can tell afterwards whether a write raced with it
//
// The links and the attributes carry separate failed marks on the one lock:
// a failed attributes mark makes every read report "cannot read from
// indexable"; a failed links mark refuses writes and adds but not reads.
#pragma once

#include <memory>
#include <string>

#include "base/locks.hpp"
#include "structures/id_alloc.hpp"
#include "values/hybrid_hashmap.hpp"
#include "values/index_link_list.hpp"
#include "values/value.hpp"

namespace qdx {

using AttributeMap = HybridHashMap<PyValue>;

// The tracked attributes of one object and the count of writes to them.
struct ObjectAttributes {
  AttributeMap map;
  uint64_t generation = 0;
};

inline constexpr ObjectParts kLinksPart = ObjectParts::kLinks;
inline constexpr ObjectParts kAttributesPart = ObjectParts::kAttributes;
inline constexpr ObjectParts kWholeObject = ObjectParts::kBoth;

class IndexAPI {
 public:
  // A record with a freshly allocated id (`id`, from allocate_id()) and `map`.
  IndexAPI(ObjectId id, AttributeMap map) noexcept : id(id), attributes_{std::move(map), 0} {}
  IndexAPI(const IndexAPI&) = delete;
  IndexAPI& operator=(const IndexAPI&) = delete;
  ~IndexAPI();

  ObjectLock& lock() const noexcept { return lock_; }

  // The attribute map and its write count; the guard covers the attributes.
  template <typename Guard>
  ObjectAttributes& attributes(const Guard& guard) const {
    QDX_DEBUG_CHECK(guard.holds(lock_, kAttributesPart), "guard of another object");
    return attributes_;
  }

  // The indexes holding the object; the guard covers them.
  IndexLinks& links(const ObjectGuard& guard) const {
    QDX_DEBUG_CHECK(guard.holds(lock_, kLinksPart), "guard of another object");
    return links_;
  }

  // Starts loading the memory a write reads after the record itself (the
  // map's block and the links), without taking the lock: a hint only.
  void prefetch_for_write() const noexcept {
    __builtin_prefetch(attributes_.map.storage_hint());
    __builtin_prefetch(links_.hint());
  }

  std::string debug() const;

  // The fields a write reads come first, next to the instance's header.
 private:
  mutable ObjectLock lock_;

 public:
  const ObjectId id;

 private:
  mutable IndexLinks links_;
  mutable ObjectAttributes attributes_;
};

static_assert(sizeof(AttributeMap) == 16, "the map is a pointer and two counts");
static_assert(sizeof(IndexAPI) == 40, "an Indexable stays in the 80-byte size class");

}  // namespace qdx
