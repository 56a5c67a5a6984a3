// Reader-writer lock and mutex with a failed mark, their guards, and the one
// lock order of the module.
//
// Every lock of an index or object carries a failed mark. A write guard (or a
// mutex guard) that is destroyed while an exception unwinds through it marks
// its lock failed: the structure behind it may be half-changed, so every later
// attempt to take the lock raises an internal fatal error instead of reading
// it. Read guards never set the mark (a reader changes nothing).
//
// Locks are taken and released only through the guards below; a function
// that needs a lock held takes the guard as a parameter, and `RwLocked::get`
// / `MutexLocked::get` check (in debug builds) that the guard is for their lock.
//
// LOCK ORDER (outermost first). Where a thread holds several locks at once it
// took them in this order; no path takes them against it.
//   0. The interpreter lock. No lock below is ever waited for while the
//      interpreter lock is held, except an object's lock (by the garbage
//      collector's traversal, by attribute reads and by the first attempt
//      of an attribute write, which only tries it) and an index's
//      all-ids and store read locks (by collect, len, in and iteration, which
//      take references to stored objects). That is safe because no holder of
//      those locks waits for the interpreter lock or runs Python code. Index
//      work runs with the interpreter lock released.
//   1. Per nested index: its reconcile mutex (core/nested_graph.hpp). At most
//      one is held at a time; it is taken with no object lock held.
//   2. Per object: its one lock (ObjectLock), which guards both its index
//      links and its attribute map. A thread holds the lock of at most one
//      object at a time: a value that refers to another object (a nested
//      object, a cycle, a self-link) is recorded as a pair and handled after
//      the holder's lock is released, so object -> nested object never nests.
//   3. Per index, an index before its nested index (root -> nested, never the
//      reverse): the attribute table, then the all-ids set, then the object
//      store. An index's locks are never held while another root index's
//      locks are taken (union copies the source's slots out first).
//   4. Per attribute (value-index components: hashed-map shards, numbers,
//      strings, booleans, proxies, parent map, valueless set), each held
//      alone, except that a bulk insertion holds numbers, strings and
//      booleans of one attribute together (in that order) and, inside them,
//      takes one hashed-map shard or the valueless set at a time; the
//      parent map is held while the nested index's holder counts (5) change;
//      and a conjunction of equalities reads the numbers, strings and
//      booleans of several attributes together, taking them by value index
//      and, within one, in that same order (query/evaluate.cpp says why no
//      cycle of waits can form).
//   5. Innermost, held alone: a nested index's holder counts, the interner's
//      writer lock, the id allocator's mutex, the pending-release list's mutex,
//      the Indexable free list, an index's combination registry (taken before
//      and after a conjunction reads its posting lists, never while).
// Where a slot is written it is written before its id is published in the
// all-ids set, and the id is withdrawn before the slot is cleared, so every
// id a reader finds in the all-ids set has its object.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>
#include <shared_mutex>
#include <string_view>
#include <utility>

#include "base/debug_check.hpp"
#include "base/panic.hpp"

namespace qdx {

class ReadGuard;
class WriteGuard;
class MutexGuard;
class TryMutexGuard;

class RwLock {
 public:
  RwLock() = default;
  RwLock(const RwLock&) = delete;
  RwLock& operator=(const RwLock&) = delete;

  bool failed() const noexcept { return failed_.load(std::memory_order_acquire); }
  void mark_failed() noexcept { failed_.store(true, std::memory_order_release); }

  // How many write guards have taken the lock so far. Unchanged between two
  // reads, the guarded value was not written in between: structures derived
  // from it check this before they are trusted. Readable without the lock; a
  // write that happened before the read (through any chain of locks) shows.
  uint64_t writes() const noexcept { return writes_.load(std::memory_order_acquire); }

 private:
  friend class ReadGuard;
  friend class WriteGuard;
  std::shared_mutex mutex_;
  std::atomic<bool> failed_{false};
  // Only a write guard's holder changes it, so a plain load and store do.
  std::atomic<uint64_t> writes_{0};
};

// The lock bits of a one-word lock: a held bit and a waiters bit. Waiters
// sleep on the word itself (futex-backed std::atomic::wait). The bits above
// them are failed marks, kept by the lock types built on it.
class LockWord {
 public:
  LockWord() = default;
  LockWord(const LockWord&) = delete;
  LockWord& operator=(const LockWord&) = delete;

  // The failed marks among `marks` that are set.
  uint32_t marked(uint32_t marks) const noexcept {
    return state_.load(std::memory_order_acquire) & marks;
  }
  void mark(uint32_t marks) noexcept { state_.fetch_or(marks, std::memory_order_acq_rel); }

  bool try_lock() noexcept {
    uint32_t s = state_.load(std::memory_order_relaxed);
    while ((s & kLocked) == 0) {
      if (state_.compare_exchange_weak(s, s | kLocked, std::memory_order_acquire)) return true;
    }
    return false;
  }
  void lock() noexcept {
    uint32_t s = state_.load(std::memory_order_relaxed);
    for (;;) {
      if ((s & kLocked) == 0) {
        if (state_.compare_exchange_weak(s, s | kLocked, std::memory_order_acquire)) return;
        continue;
      }
      if ((s & kWaiters) == 0) {
        if (!state_.compare_exchange_weak(s, s | kWaiters, std::memory_order_relaxed)) continue;
        s |= kWaiters;
      }
      state_.wait(s, std::memory_order_relaxed);
      s = state_.load(std::memory_order_relaxed);
    }
  }
  void unlock() noexcept {
    const uint32_t before = state_.fetch_and(~(kLocked | kWaiters), std::memory_order_release);
    if ((before & kWaiters) != 0) state_.notify_all();
  }

  static constexpr uint32_t kLocked = 1;
  static constexpr uint32_t kWaiters = 2;
  static constexpr uint32_t kFirstMark = 4;

 private:
  std::atomic<uint32_t> state_{0};
};

// A one-word mutex with one failed mark.
class Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  bool failed() const noexcept { return word_.marked(kFailed) != 0; }
  void mark_failed() noexcept { word_.mark(kFailed); }

 private:
  friend class MutexGuard;
  friend class TryMutexGuard;
  static constexpr uint32_t kFailed = LockWord::kFirstMark;
  bool try_lock() noexcept { return word_.try_lock(); }
  void lock() noexcept { word_.lock(); }
  void unlock() noexcept { word_.unlock(); }
  LockWord word_;
};

// The lock of one object: one word that guards both the object's index links
// and its attribute map, with a failed mark for each. A holder that fails
// marks the parts it held; a part marked failed refuses every later guard
// that covers it (links: "poisoned", attributes: "cannot read from
// indexable"), while guards of the other part alone still work.
enum class ObjectParts : uint32_t {
  kLinks = LockWord::kFirstMark,
  kAttributes = LockWord::kFirstMark << 1,
  kBoth = kLinks | kAttributes,
};

class ObjectLock {
 public:
  ObjectLock() = default;
  ObjectLock(const ObjectLock&) = delete;
  ObjectLock& operator=(const ObjectLock&) = delete;

  bool failed(ObjectParts parts) const noexcept {
    return word_.marked(static_cast<uint32_t>(parts)) != 0;
  }
  void mark_failed(ObjectParts parts) noexcept { word_.mark(static_cast<uint32_t>(parts)); }

 private:
  friend class ObjectGuard;
  friend class TryObjectGuard;
  // Panics when a part of `parts` is marked, naming the links first.
  void check(ObjectParts parts) const {
    const uint32_t marked = word_.marked(static_cast<uint32_t>(parts));
    if ((marked & static_cast<uint32_t>(ObjectParts::kLinks)) != 0) panic(kPoisonedLock);
    if (marked != 0) panic(kIndexableLockFailed);
  }
  mutable LockWord word_;
};

// Shared access. Panics with `message` when the lock carries the failed mark.
class ReadGuard {
 public:
  explicit ReadGuard(RwLock& lock, std::string_view message = kPoisonedLock) : lock_(&lock) {
    if (lock.failed()) panic(message);
    lock.mutex_.lock_shared();
    if (lock.failed()) {
      lock.mutex_.unlock_shared();
      panic(message);
    }
  }
  ~ReadGuard() { unlock(); }
  ReadGuard(ReadGuard&& other) noexcept : lock_(other.lock_) { other.lock_ = nullptr; }
  ReadGuard(const ReadGuard&) = delete;
  ReadGuard& operator=(const ReadGuard&) = delete;

  // Gives the lock up early; the guard then owns nothing.
  void unlock() noexcept {
    if (lock_ != nullptr) lock_->mutex_.unlock_shared();
    lock_ = nullptr;
  }
  bool holds(const RwLock& lock) const noexcept { return lock_ == &lock; }

 private:
  RwLock* lock_;
};

// Exclusive access. Marks the lock failed when an exception unwinds through it.
class WriteGuard {
 public:
  explicit WriteGuard(RwLock& lock, std::string_view message = kPoisonedLock)
      : lock_(&lock), exceptions_(std::uncaught_exceptions()) {
    if (lock.failed()) panic(message);
    lock.mutex_.lock();
    if (lock.failed()) {
      lock.mutex_.unlock();
      panic(message);
    }
    lock.writes_.store(lock.writes_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
  }
  ~WriteGuard() { unlock(); }
  WriteGuard(WriteGuard&& other) noexcept : lock_(other.lock_), exceptions_(other.exceptions_) {
    other.lock_ = nullptr;
  }
  WriteGuard(const WriteGuard&) = delete;
  WriteGuard& operator=(const WriteGuard&) = delete;

  void unlock() noexcept {
    if (lock_ == nullptr) return;
    if (std::uncaught_exceptions() > exceptions_) lock_->mark_failed();
    lock_->mutex_.unlock();
    lock_ = nullptr;
  }
  bool holds(const RwLock& lock) const noexcept { return lock_ == &lock; }

 private:
  RwLock* lock_;
  int exceptions_;
};

class MutexGuard {
 public:
  explicit MutexGuard(Mutex& mutex, std::string_view message = kPoisonedLock)
      : mutex_(&mutex), exceptions_(std::uncaught_exceptions()) {
    if (mutex.failed()) panic(message);
    mutex.lock();
    if (mutex.failed()) {
      mutex.unlock();
      panic(message);
    }
  }
  ~MutexGuard() { unlock(); }
  MutexGuard(MutexGuard&& other) noexcept : mutex_(other.mutex_), exceptions_(other.exceptions_) {
    other.mutex_ = nullptr;
  }
  MutexGuard(const MutexGuard&) = delete;
  MutexGuard& operator=(const MutexGuard&) = delete;

  void unlock() noexcept {
    if (mutex_ == nullptr) return;
    if (std::uncaught_exceptions() > exceptions_) mutex_->mark_failed();
    mutex_->unlock();
    mutex_ = nullptr;
  }
  bool holds(const Mutex& mutex) const noexcept { return mutex_ == &mutex; }

 private:
  Mutex* mutex_;
  int exceptions_;
};

// A mutex taken only if it is free and carries no failed mark; `owns()` tells
// whether it was. For paths that must not wait (the garbage collector's clear,
// the fast path of a write that needs no index). Never sets the failed mark:
// its holders only read the value or swap it whole.
class TryMutexGuard {
 public:
  explicit TryMutexGuard(Mutex& mutex) noexcept
      : mutex_(!mutex.failed() && mutex.try_lock() ? &mutex : nullptr) {}
  ~TryMutexGuard() { unlock(); }
  TryMutexGuard(const TryMutexGuard&) = delete;
  TryMutexGuard& operator=(const TryMutexGuard&) = delete;

  bool owns() const noexcept { return mutex_ != nullptr; }
  void unlock() noexcept {
    if (mutex_ != nullptr) mutex_->unlock();
    mutex_ = nullptr;
  }
  bool holds(const Mutex& mutex) const noexcept { return mutex_ == &mutex; }

 private:
  Mutex* mutex_;
};

// Holds an object's lock for `parts`. Marks those parts failed when an
// exception unwinds through it. The try form takes the lock only if it is
// free (`owns()` tells); both forms panic when a part they cover is marked.
class ObjectGuard {
 public:
  ObjectGuard(ObjectLock& lock, ObjectParts parts)
      : lock_(&lock), parts_(parts), exceptions_(std::uncaught_exceptions()) {
    lock.check(parts);
    lock.word_.lock();
    recheck();
  }
  ObjectGuard(ObjectLock& lock, ObjectParts parts, std::try_to_lock_t)
      : lock_(&lock), parts_(parts), exceptions_(std::uncaught_exceptions()) {
    lock.check(parts);
    if (!lock.word_.try_lock()) {
      lock_ = nullptr;
      return;
    }
    recheck();
  }
  ~ObjectGuard() { unlock(); }
  ObjectGuard(ObjectGuard&& other) noexcept
      : lock_(std::exchange(other.lock_, nullptr)),
        parts_(other.parts_),
        exceptions_(other.exceptions_) {}
  ObjectGuard(const ObjectGuard&) = delete;
  ObjectGuard& operator=(const ObjectGuard&) = delete;

  bool owns() const noexcept { return lock_ != nullptr; }
  void unlock() noexcept {
    if (lock_ == nullptr) return;
    if (std::uncaught_exceptions() > exceptions_) lock_->mark_failed(parts_);
    lock_->word_.unlock();
    lock_ = nullptr;
  }
  bool holds(const ObjectLock& lock, ObjectParts parts) const noexcept {
    return lock_ == &lock && (static_cast<uint32_t>(parts_) & static_cast<uint32_t>(parts)) ==
                                 static_cast<uint32_t>(parts);
  }

 private:
  // A holder that failed while this one waited leaves the mark behind it.
  void recheck() {
    if (!lock_->failed(parts_)) return;
    ObjectLock* lock = std::exchange(lock_, nullptr);
    lock->word_.unlock();
    lock->check(parts_);
  }
  ObjectLock* lock_;
  ObjectParts parts_;
  int exceptions_;
};

// An object's lock taken only if it is free and `parts` carry no failed
// mark, for paths that must not wait (the garbage collector's clear). Never
// sets a mark: its holders only read the value or swap it whole.
class TryObjectGuard {
 public:
  TryObjectGuard(ObjectLock& lock, ObjectParts parts) noexcept
      : lock_(!lock.failed(parts) && lock.word_.try_lock() ? &lock : nullptr), parts_(parts) {}
  ~TryObjectGuard() { unlock(); }
  TryObjectGuard(const TryObjectGuard&) = delete;
  TryObjectGuard& operator=(const TryObjectGuard&) = delete;

  bool owns() const noexcept { return lock_ != nullptr; }
  void unlock() noexcept {
    if (lock_ != nullptr) lock_->word_.unlock();
    lock_ = nullptr;
  }
  bool holds(const ObjectLock& lock, ObjectParts parts) const noexcept {
    return lock_ == &lock && (static_cast<uint32_t>(parts_) & static_cast<uint32_t>(parts)) ==
                                 static_cast<uint32_t>(parts);
  }

 private:
  ObjectLock* lock_;
  ObjectParts parts_;
};

// A value behind a reader-writer lock. Access goes through the guards so that
// the type shows which lock a function expects to be held.
template <typename T>
class RwLocked {
 public:
  template <typename... Args>
  explicit RwLocked(Args&&... args) : value_(std::forward<Args>(args)...) {}

  RwLock& lock() const noexcept { return lock_; }
  T& get(const WriteGuard& guard) {
    QDX_DEBUG_CHECK(guard.holds(lock_), "write guard of another lock");
    return value_;
  }
  const T& get(const ReadGuard& guard) const {
    QDX_DEBUG_CHECK(guard.holds(lock_), "read guard of another lock");
    return value_;
  }
  const T& get(const WriteGuard& guard) const {
    QDX_DEBUG_CHECK(guard.holds(lock_), "write guard of another lock");
    return value_;
  }
  // For owners that know no other thread can see the value (construction,
  // destruction).
  T& unguarded() noexcept { return value_; }
  const T& unguarded() const noexcept { return value_; }

 private:
  mutable RwLock lock_;
  T value_;
};

template <typename T>
class MutexLocked {
 public:
  template <typename... Args>
  explicit MutexLocked(Args&&... args) : value_(std::forward<Args>(args)...) {}

  Mutex& mutex() const noexcept { return mutex_; }
  T& get(const MutexGuard& guard) {
    QDX_DEBUG_CHECK(guard.holds(mutex_), "mutex guard of another mutex");
    return value_;
  }
  T& get(const TryMutexGuard& guard) {
    QDX_DEBUG_CHECK(guard.holds(mutex_), "mutex guard of another mutex");
    return value_;
  }
  // For owners that know no other thread can see the value.
  T& unguarded() noexcept { return value_; }

 private:
  mutable Mutex mutex_;
  T value_;
};

}  // namespace qdx
