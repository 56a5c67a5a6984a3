// Reader-writer lock and mutex with a failed mark.
//
// Every lock of an index or object carries a failed mark. A write guard (or a
// mutex guard) that is destroyed while an exception unwinds through it marks
// its lock failed: the structure behind it may be half-changed, so every later
// attempt to take the lock raises an internal fatal error instead of reading
// it. Read guards never set the mark (a reader changes nothing).
//
// Blocking uses std::shared_mutex / std::mutex, which wait on futexes. None of
// these locks may be waited for while the interpreter lock is held by a thread
// that some holder of the lock may wait for; see core/index_state.hpp for the
// lock order.
#pragma once

#include <atomic>
#include <exception>
#include <mutex>
#include <shared_mutex>
#include <string_view>

#include "base/panic.hpp"

namespace qdx {

class RwLock {
 public:
  RwLock() = default;
  RwLock(const RwLock&) = delete;
  RwLock& operator=(const RwLock&) = delete;

  bool failed() const noexcept { return failed_.load(std::memory_order_acquire); }
  void mark_failed() noexcept { failed_.store(true, std::memory_order_release); }

  std::shared_mutex& raw() noexcept { return mutex_; }

 private:
  std::shared_mutex mutex_;
  std::atomic<bool> failed_{false};
};

// A one-word mutex: objects carry two of them, so it is kept small. Waiters
// sleep on the word itself (futex-backed std::atomic::wait).
class Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  bool failed() const noexcept { return (state_.load(std::memory_order_acquire) & kFailed) != 0; }
  void mark_failed() noexcept { state_.fetch_or(kFailed, std::memory_order_acq_rel); }

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

  Mutex& raw() noexcept { return *this; }

 private:
  static constexpr uint32_t kLocked = 1;
  static constexpr uint32_t kWaiters = 2;
  static constexpr uint32_t kFailed = 4;
  std::atomic<uint32_t> state_{0};
};

// Shared access. Panics with `message` when the lock carries the failed mark.
class ReadGuard {
 public:
  explicit ReadGuard(RwLock& lock, std::string_view message = kPoisonedLock) : lock_(&lock) {
    if (lock.failed()) panic(message);
    lock.raw().lock_shared();
    if (lock.failed()) {
      lock.raw().unlock_shared();
      panic(message);
    }
  }
  ~ReadGuard() {
    if (lock_ != nullptr) lock_->raw().unlock_shared();
  }
  ReadGuard(ReadGuard&& other) noexcept : lock_(other.lock_) { other.lock_ = nullptr; }
  ReadGuard(const ReadGuard&) = delete;
  ReadGuard& operator=(const ReadGuard&) = delete;

  // Gives the lock up early; the guard then owns nothing.
  void unlock() {
    if (lock_ != nullptr) lock_->raw().unlock_shared();
    lock_ = nullptr;
  }

 private:
  RwLock* lock_;
};

// Exclusive access. Marks the lock failed when an exception unwinds through it.
class WriteGuard {
 public:
  explicit WriteGuard(RwLock& lock, std::string_view message = kPoisonedLock)
      : lock_(&lock), exceptions_(std::uncaught_exceptions()) {
    if (lock.failed()) panic(message);
    lock.raw().lock();
    if (lock.failed()) {
      lock.raw().unlock();
      panic(message);
    }
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
    lock_->raw().unlock();
    lock_ = nullptr;
  }

 private:
  RwLock* lock_;
  int exceptions_;
};

class MutexGuard {
 public:
  explicit MutexGuard(Mutex& mutex, std::string_view message = kPoisonedLock)
      : mutex_(&mutex), exceptions_(std::uncaught_exceptions()) {
    if (mutex.failed()) panic(message);
    mutex.raw().lock();
    if (mutex.failed()) {
      mutex.raw().unlock();
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
    mutex_->raw().unlock();
    mutex_ = nullptr;
  }

 private:
  Mutex* mutex_;
  int exceptions_;
};

// A value behind a reader-writer lock. Access goes through the guards so that
// the type shows which lock a function expects to be held.
template <typename T>
class RwLocked {
 public:
  template <typename... Args>
  explicit RwLocked(Args&&... args) : value_(std::forward<Args>(args)...) {}

  RwLock& lock() noexcept { return lock_; }
  // The caller holds a guard on lock().
  T& get(const WriteGuard&) noexcept { return value_; }
  const T& get(const ReadGuard&) const noexcept { return value_; }
  // For owners that know no other thread can see the value yet.
  T& unguarded() noexcept { return value_; }

 private:
  mutable RwLock lock_;
  T value_;
};

template <typename T>
class MutexLocked {
 public:
  template <typename... Args>
  explicit MutexLocked(Args&&... args) : value_(std::forward<Args>(args)...) {}

  Mutex& mutex() noexcept { return mutex_; }
  T& get(const MutexGuard&) noexcept { return value_; }
  T& unguarded() noexcept { return value_; }

 private:
  Mutex mutex_;
  T value_;
};

}  // namespace qdx
