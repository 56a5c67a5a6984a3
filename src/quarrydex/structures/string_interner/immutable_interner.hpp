// Name tables of the attribute-name interner, the immutable snapshots readers
// look names up in, and the cell that publishes them.
//
// `NameTable` is the shape shared by the master table and every snapshot:
// `strings`, indexed by `AttributeId`, holds each name's bytes in a shared,
// immutable buffer (a snapshot shares the buffers of the master it was copied
// from), and `index` maps the key (text hash, byte length) to the ids whose
// names have that key, in insertion order (one id inline, the heap from the
// second). Invariants: every id in `index` is below `strings.size()`; each id
// appears under exactly one key, the key of its own text; no two ids have the
// same text. Lookup: one probe of `index`, then one byte comparison per
// candidate id. The table takes the text hash from its caller so that a
// lookup that misses the snapshot and retries in the master hashes once.
//
// `ImmutableInterner` is one published snapshot: a NameTable that never
// changes after it is built, with an intrusive atomic reference count. The
// interner holds one count on the current snapshot; `SnapshotRef` is a counted
// handle for callers that keep a snapshot across several lookups.
//
// `PublishedSnapshot` — design
//
//   Layout. One atomic pointer to the current snapshot. Process-wide, a
//   grow-only list of cache-line-sized borrow slots; each thread claims one
//   slot for its lifetime (it goes back to the list when the thread exits),
//   and a borrow made while the thread's slot is busy claims a spare slot for
//   its duration. A slot is empty, holds the address of a borrowed snapshot,
//   or holds the mark "paid".
//
//   Borrow (readers, no lock, no allocation once the thread has its slot):
//   load the pointer p, store p into the slot, load the pointer again. If it
//   still reads p, the borrow stands: a publisher that swaps p out afterwards
//   must scan the slots after its swap and will find p there. If it changed, a
//   publisher may already have scanned and freed p, so the reader withdraws
//   (see below) and retries; that only happens when a publisher swapped the
//   pointer in between, so readers never wait for a writer. All four accesses are
//   sequentially consistent, which is what orders "store slot, reload" against
//   "swap, scan".
//
//   Publish (writers, serialised by the master mutex): swap the new snapshot
//   in, then for each slot that holds the old snapshot's address raise the old
//   snapshot's count on that reader's behalf and turn the slot into "paid"
//   with a compare-exchange (undoing the raise if the reader let go first).
//   Then drop the interner's own count. The old snapshot is freed by whoever
//   drops the last count.
//
//   Release (readers): exchange the slot back to empty. Reading "paid" means
//   a publisher handed this reader a count, which the reader now drops.
//
//   Costs: a borrow is one sequentially consistent store and two loads, its
//   release one exchange (about 30-40 ns for a whole short-name lookup); a
//   publish is one pass over the slots (one per thread that ever borrowed
//   concurrently).
//   std::atomic<std::shared_ptr> is not used: this toolchain implements it
//   with a lock, which readers would then contend for.
#pragma once

#include <absl/container/flat_hash_map.h>
#include <absl/container/inlined_vector.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "base/locks.hpp"
#include "base/word_hash.hpp"

namespace qdx {

using AttributeId = uint32_t;

// Key of the index table: a name's text hash and its byte length.
struct NameKey {
  uint64_t text_hash;
  uint32_t length;
  friend bool operator==(const NameKey&, const NameKey&) = default;
};

// Places a key by the word hash over the two words (text hash, length).
struct NameKeyHash {
  size_t operator()(const NameKey& key) const noexcept {
    WordHasher h;
    h.write(key.text_hash);
    h.write(key.length);
    return h.finish();
  }
};

class NameTable {
 public:
  NameTable() = default;
  // Reserves room for `names` strings and `keys` index entries.
  NameTable(size_t names, size_t keys);

  // The id whose text equals `name`; `text_hash` is the name's text hash.
  std::optional<AttributeId> find(std::string_view name, uint64_t text_hash) const;
  // Appends `name` under the next id and returns it. Precondition: `name` is
  // not in the table. Panics rather than reuse an id past 2^32 names.
  AttributeId append(std::string_view name, uint64_t text_hash);

  size_t size() const noexcept { return strings_.size(); }
  // The text of `id`, valid while this table (or any copy) lives. Panics for
  // an id the table does not hold.
  std::string_view name(AttributeId id) const;

 private:
  struct Text {
    std::shared_ptr<const char[]> bytes;
    size_t length;
    std::string_view view() const noexcept { return {bytes.get(), length}; }
  };
  using IdList = absl::InlinedVector<AttributeId, 1>;

  std::vector<Text> strings_;
  absl::flat_hash_map<NameKey, IdList, NameKeyHash> index_;
};

class SnapshotRef;

class ImmutableInterner {
 public:
  ImmutableInterner(const ImmutableInterner&) = delete;
  ImmutableInterner& operator=(const ImmutableInterner&) = delete;

  // A new snapshot holding `table`, with one count owned by the result.
  static SnapshotRef make(NameTable table);

  const NameTable& table() const noexcept { return table_; }

  // Snapshots alive in the process (for tests: every snapshot is freed once
  // its last reader lets go).
  static size_t live_count() noexcept { return live_.load(std::memory_order_acquire); }

  void acquire() const noexcept { refs_.fetch_add(1, std::memory_order_relaxed); }
  // Frees the snapshot when this was the last count.
  void release() const noexcept {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }

 private:
  explicit ImmutableInterner(NameTable table) : table_(std::move(table)) {
    live_.fetch_add(1, std::memory_order_relaxed);
  }
  ~ImmutableInterner() { live_.fetch_sub(1, std::memory_order_release); }

  static inline std::atomic<size_t> live_{0};

  NameTable table_;
  mutable std::atomic<uint64_t> refs_{1};
};

// Owns one count on a snapshot. Never null except after a move.
class SnapshotRef {
 public:
  // Takes over a count the caller already owns.
  static SnapshotRef adopt(const ImmutableInterner* snapshot) noexcept {
    return SnapshotRef(snapshot);
  }
  SnapshotRef(const SnapshotRef& other) noexcept : snapshot_(other.snapshot_) {
    snapshot_->acquire();
  }
  SnapshotRef(SnapshotRef&& other) noexcept : snapshot_(std::exchange(other.snapshot_, nullptr)) {}
  SnapshotRef& operator=(SnapshotRef other) noexcept {
    std::swap(snapshot_, other.snapshot_);
    return *this;
  }
  ~SnapshotRef() {
    if (snapshot_ != nullptr) snapshot_->release();
  }

  const ImmutableInterner& operator*() const noexcept { return *snapshot_; }
  const ImmutableInterner* operator->() const noexcept { return snapshot_; }
  const ImmutableInterner* get() const noexcept { return snapshot_; }
  // Gives the count up to the caller.
  const ImmutableInterner* leak() noexcept { return std::exchange(snapshot_, nullptr); }

 private:
  explicit SnapshotRef(const ImmutableInterner* snapshot) noexcept : snapshot_(snapshot) {}
  const ImmutableInterner* snapshot_;
};

struct BorrowSlot;

class PublishedSnapshot {
 public:
  explicit PublishedSnapshot(SnapshotRef first) : current_(first.leak()) {}
  ~PublishedSnapshot() { current_.load(std::memory_order_acquire)->release(); }
  PublishedSnapshot(const PublishedSnapshot&) = delete;
  PublishedSnapshot& operator=(const PublishedSnapshot&) = delete;

  // An uncounted hold on the current snapshot for the length of one lookup.
  // Never blocks and never allocates once the thread has its slot.
  class Borrow {
   public:
    explicit Borrow(const PublishedSnapshot& cell);
    ~Borrow();
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;

    const ImmutableInterner& operator*() const noexcept { return *snapshot_; }
    const ImmutableInterner* operator->() const noexcept { return snapshot_; }

   private:
    BorrowSlot* slot_;
    bool spare_;
    const ImmutableInterner* snapshot_ = nullptr;
  };

  // A counted reference to the current snapshot, for holding it longer.
  SnapshotRef load() const;

  // Makes `fresh` current and settles every outstanding borrow of the old
  // one. The caller holds the mutex that serialises publishers.
  void publish(const MutexGuard& publishers, SnapshotRef fresh);

  // Number of borrow slots made so far in the process (for tests and
  // benchmarks: it should track the peak number of borrowing threads).
  static size_t slot_count() noexcept;

 private:
  std::atomic<const ImmutableInterner*> current_;
};

}  // namespace qdx
