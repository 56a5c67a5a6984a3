// `IndexAPI`: the per-object record that ties a tracked object to its
// attribute map, its process-wide id and the indexes that hold it.
//
// The record embedded in an `Indexable` instance owns the id (`owns_id`) and
// returns it to the allocator when the instance goes. Copies made for object
// stores and for nested-object values share `index_links` and `attributes` and
// never return the id.
//
// Both mutexes are ordered in base/locks.hpp. A mutex that a failing holder
// left carries the failed mark; `attributes` then reports "cannot read from
// indexable".
#pragma once

#include <memory>
#include <string>

#include <absl/container/inlined_vector.h>

#include "base/locks.hpp"
#include "structures/id_alloc.hpp"
#include "values/hybrid_hashmap.hpp"
#include "values/value.hpp"

typedef struct _object PyObject;

namespace qdx {

class IndexState;

// One link inline: most objects belong to one index; more take one heap array.
using IndexLinks = absl::InlinedVector<std::weak_ptr<IndexState>, 1>;
using AttributeMap = HybridHashMap<PyValue>;

// The tracked attributes of one object. `generation` counts the writes, so
// that a bulk insertion which indexed a copy of the map can tell afterwards
// whether a write raced with it.
struct ObjectAttributes {
  AttributeMap map;
  uint64_t generation = 0;
};

struct IndexAPI {
  std::shared_ptr<MutexLocked<IndexLinks>> index_links;
  std::shared_ptr<MutexLocked<ObjectAttributes>> attributes;
  ObjectId id = 0;
  bool owns_id = false;

  // A new record with a fresh id and an empty map and links list.
  static IndexAPI make(AttributeMap attributes);
  IndexAPI() = default;
  IndexAPI(IndexAPI&& other) noexcept;
  IndexAPI& operator=(IndexAPI&& other) noexcept;
  IndexAPI(const IndexAPI&) = delete;
  IndexAPI& operator=(const IndexAPI&) = delete;
  ~IndexAPI();

  // A copy that shares the maps and does not own the id.
  std::shared_ptr<const IndexAPI> share() const;
  std::string debug() const;
};

// The record embedded in an `Indexable` instance (or an instance of a
// subclass). The caller holds a reference that keeps the object alive; the
// interpreter lock is not needed (the record sits at a fixed place in the
// object).
const IndexAPI& indexable_record(PyObject* object) noexcept;

}  // namespace qdx
