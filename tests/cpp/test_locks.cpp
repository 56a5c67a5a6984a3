#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "base/locks.hpp"

namespace qdx {
namespace {

void fail_while_writing(RwLock& lock) {
  try {
    WriteGuard guard(lock);
    panic("broken invariant");
  } catch (const Panic&) {
  }
}

TEST(RwLock, WriterFailureMarksLockFailed) {
  RwLock lock;
  fail_while_writing(lock);
  EXPECT_TRUE(lock.failed());
  EXPECT_THROW(ReadGuard guard(lock), Panic);
  EXPECT_THROW(WriteGuard guard(lock), Panic);
}

TEST(RwLock, FailedLockReportsTheGivenText) {
  RwLock lock;
  fail_while_writing(lock);
  try {
    ReadGuard guard(lock, "cannot read from indexable");
    FAIL() << "taking a failed lock must panic";
  } catch (const Panic& p) {
    EXPECT_STREQ(p.what(), "cannot read from indexable");
  }
}

TEST(RwLock, ReaderFailureLeavesLockUsable) {
  RwLock lock;
  try {
    ReadGuard guard(lock);
    throw std::runtime_error("reader gave up");
  } catch (const std::runtime_error&) {
  }
  EXPECT_FALSE(lock.failed());
  WriteGuard guard(lock);
}

TEST(RwLock, GuardReleasedNormallyDoesNotMark) {
  RwLock lock;
  { WriteGuard guard(lock); }
  EXPECT_FALSE(lock.failed());
}

TEST(RwLock, ExceptionAlreadyInFlightDoesNotMarkALaterGuard) {
  // A guard made and released inside a destructor during unwinding saw the
  // exception count at construction, so it must not mark its lock.
  RwLock lock;
  struct UsesLockInDestructor {
    RwLock& lock;
    ~UsesLockInDestructor() { WriteGuard guard(lock); }
  };
  try {
    UsesLockInDestructor user{lock};
    throw std::runtime_error("unwinding");
  } catch (const std::runtime_error&) {
  }
  EXPECT_FALSE(lock.failed());
}

TEST(RwLock, WritersExcludeEachOtherAndReaders) {
  RwLocked<long> counter(0);
  std::atomic<bool> torn{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        WriteGuard guard(counter.lock());
        long& value = counter.get(guard);
        const long before = value;
        value = before + 1;
      }
    });
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        ReadGuard guard(counter.lock());
        if (counter.get(guard) < 0) torn = true;
      }
    });
  }
  for (auto& t : threads) t.join();
  ReadGuard guard(counter.lock());
  EXPECT_EQ(counter.get(guard), 4 * 20000);
  EXPECT_FALSE(torn);
}

TEST(Mutex, HolderFailureMarksMutexFailed) {
  Mutex mutex;
  try {
    MutexGuard guard(mutex);
    panic("fails while holding");
  } catch (const Panic&) {
  }
  EXPECT_TRUE(mutex.failed());
  EXPECT_THROW(MutexGuard guard(mutex), Panic);
}

TEST(Mutex, WaiterThatFindsTheMarkAfterWaitingPanics) {
  Mutex mutex;
  std::atomic<bool> waiter_panicked{false};
  std::thread holder;
  {
    MutexGuard guard(mutex);
    holder = std::thread([&] {
      try {
        MutexGuard second(mutex);
      } catch (const Panic&) {
        waiter_panicked = true;
      }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    mutex.mark_failed();
  }
  holder.join();
  EXPECT_TRUE(waiter_panicked);
}

}  // namespace
}  // namespace qdx
