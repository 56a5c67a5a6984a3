#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
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

// Guards are checked against the value they open (the unit tests build with
// the debug checks on): a guard of one lock never opens another's value.
TEST(RwLocked, GuardOfAnotherLockIsRefused) {
  static_assert(kDebugChecks, "the unit tests build with debug checks");
  RwLocked<int> mine(1);
  RwLocked<int> other(2);
  {
    ReadGuard guard(other.lock());
    EXPECT_THROW(static_cast<void>(std::as_const(mine).get(guard)), Panic);
    EXPECT_EQ(std::as_const(other).get(guard), 2);
  }
  WriteGuard guard(other.lock());
  EXPECT_THROW(mine.get(guard), Panic);
  EXPECT_EQ(other.get(guard), 2);
}

TEST(MutexLocked, GuardOfAnotherMutexIsRefused) {
  MutexLocked<int> mine(1);
  MutexLocked<int> other(2);
  MutexGuard guard(other.mutex());
  EXPECT_THROW(mine.get(guard), Panic);
  EXPECT_EQ(other.get(guard), 2);
}

TEST(TryMutexGuard, TakesOnlyAFreeHealthyMutexAndNeverMarksIt) {
  MutexLocked<int> value(7);
  {
    MutexGuard held(value.mutex());
    TryMutexGuard attempt(value.mutex());
    EXPECT_FALSE(attempt.owns());
    EXPECT_THROW(value.get(attempt), Panic);  // not owned: no access
  }
  try {
    TryMutexGuard taken(value.mutex());
    ASSERT_TRUE(taken.owns());
    EXPECT_EQ(value.get(taken), 7);
    panic("fails while holding");
  } catch (const Panic&) {
  }
  EXPECT_FALSE(value.mutex().failed());
  { MutexGuard free_again(value.mutex()); }
  value.mutex().mark_failed();
  TryMutexGuard refused(value.mutex());
  EXPECT_FALSE(refused.owns());
}

// One object lock, two failed marks: a holder that fails marks only the parts
// its guard covered, and a guard refuses exactly the parts that are marked
// (naming the links first, as a write reports them).
struct ObjectLockCase {
  ObjectParts failed_holder;
  bool links_ok, attributes_ok;
  const char* whole_message;
};

class ObjectLockMarks : public ::testing::TestWithParam<ObjectLockCase> {};

TEST_P(ObjectLockMarks, EachPartKeepsItsOwnMark) {
  const ObjectLockCase c = GetParam();
  ObjectLock lock;
  try {
    ObjectGuard guard(lock, c.failed_holder);
    panic("fails while holding");
  } catch (const Panic&) {
  }
  const auto opens = [&](ObjectParts parts) {
    try {
      ObjectGuard guard(lock, parts);
      return std::string();
    } catch (const Panic& p) {
      return std::string(p.what());
    }
  };
  EXPECT_EQ(opens(ObjectParts::kLinks).empty(), c.links_ok);
  EXPECT_EQ(opens(ObjectParts::kAttributes).empty(), c.attributes_ok);
  EXPECT_EQ(opens(ObjectParts::kBoth), c.whole_message);
  EXPECT_THROW(ObjectGuard(lock, ObjectParts::kBoth, std::try_to_lock), Panic);
}

INSTANTIATE_TEST_SUITE_P(
    Parts, ObjectLockMarks,
    ::testing::Values(ObjectLockCase{ObjectParts::kLinks, false, true, kPoisonedLock.data()},
                      ObjectLockCase{ObjectParts::kAttributes, true, false,
                                     kIndexableLockFailed.data()},
                      ObjectLockCase{ObjectParts::kBoth, false, false, kPoisonedLock.data()}));

TEST(ObjectGuard, TryFormOwnsOnlyAFreeLockAndAMovedGuardKeepsTheMarkDuty) {
  ObjectLock lock;
  {
    ObjectGuard held(lock, ObjectParts::kBoth);
    ObjectGuard attempt(lock, ObjectParts::kBoth, std::try_to_lock);
    EXPECT_FALSE(attempt.owns());
    TryObjectGuard quiet(lock, ObjectParts::kAttributes);
    EXPECT_FALSE(quiet.owns());
  }
  try {
    ObjectGuard taken(lock, ObjectParts::kAttributes, std::try_to_lock);
    ASSERT_TRUE(taken.owns());
    ObjectGuard moved = std::move(taken);
    EXPECT_FALSE(taken.owns());
    panic("fails while holding");
  } catch (const Panic&) {
  }
  EXPECT_TRUE(lock.failed(ObjectParts::kAttributes));
  EXPECT_FALSE(lock.failed(ObjectParts::kLinks));
  TryObjectGuard links_only(lock, ObjectParts::kLinks);
  EXPECT_TRUE(links_only.owns());
}

}  // namespace
}  // namespace qdx
