// The attribute-name interner: one process-wide table that gives each
// distinct attribute name a dense `AttributeId` (0, 1, 2, … in the order names
// are first interned), the same in every object and index, for the life of
// the process. Ids are never reused and names are never removed.
//
// Reads never wait. `get`, `resolve`, `snapshot` and the first step of
// `intern` look the name up in the published immutable snapshot, borrowed
// without a lock and without raising its reference count (the borrow scheme
// is described in immutable_interner.hpp). Only a name that is new to the
// published snapshot takes the master mutex: `intern` looks again in the
// master table (another thread may have added it since the snapshot was
// made), adds it if it is still missing, copies the master into a new
// snapshot and publishes it with one atomic swap.
//
// Locks: the master mutex is the innermost lock of the module; nothing else is
// taken while it is held. It carries the failed mark: after a failure under it
// `intern` of an unpublished name panics, while every name already published
// keeps working. Any thread may call any method at any time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/locks.hpp"
#include "base/word_hash.hpp"
#include "structures/string_interner/immutable_interner.hpp"
#include "structures/string_interner/mutable_interner.hpp"

namespace qdx {

// The word hash of the name's byte digest, one word and no terminator (so it
// differs from the hash of a string value with the same text).
inline uint64_t text_hash(std::string_view name) {
  return word_hash1(byte_digest(name));
}

class StringInterner {
 public:
  StringInterner();
  StringInterner(const StringInterner&) = delete;
  StringInterner& operator=(const StringInterner&) = delete;

  // The id of `name`, assigning the next id when the name is new. Safe to
  // call while holding any other lock of the module.
  AttributeId intern(std::string_view name);
  // The id of `name` in the published snapshot, or nothing. A name another
  // thread is interning right now may not be visible yet.
  std::optional<AttributeId> get(std::string_view name) const;
  // A fresh copy of the text of `id`. Panics for an id no interning produced.
  std::string resolve(AttributeId id) const;

  // A counted hold on one published snapshot, for listing several names
  // consistently. It sees none of the names interned after it was taken, and
  // the views it hands out stay valid while it lives (also after the
  // interner that made it is gone).
  class Snapshot {
   public:
    std::optional<AttributeId> get(std::string_view name) const;
    // Panics for an id the snapshot does not hold.
    std::string_view name(AttributeId id) const;
    size_t size() const noexcept { return ref_->table().size(); }

   private:
    friend class StringInterner;
    explicit Snapshot(SnapshotRef ref) : ref_(std::move(ref)) {}
    SnapshotRef ref_;
  };
  Snapshot snapshot() const;

  // Number of names in the published snapshot.
  size_t size() const;

 private:
  MutexLocked<MutableInterner> master_;
  PublishedSnapshot published_;
};

// The process-wide interner: made on first use, never destroyed.
StringInterner& interner();

}  // namespace qdx
