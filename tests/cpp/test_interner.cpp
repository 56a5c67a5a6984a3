#include "structures/string_interner/interner.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <latch>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/locks.hpp"
#include "base/panic.hpp"

namespace qdx {
namespace {

using namespace std::string_literals;

// prefix + number, built by appending (g++ 12 misreports `"literal" + string`
// under -Wrestrict).
std::string numbered(std::string_view prefix, size_t n) {
  std::string s(prefix);
  s += std::to_string(n);
  return s;
}

// ---------------------------------------------------------------------------
// Single-threaded behaviour

struct InternCase {
  const char* name;
  std::vector<std::string> names;  // interned in this order
  std::vector<AttributeId> ids;    // expected result of each call
  friend void PrintTo(const InternCase& c, std::ostream* os) { *os << c.name; }
};

class InternSequence : public ::testing::TestWithParam<InternCase> {};

TEST_P(InternSequence, AssignsDenseIdsInFirstSeenOrder) {
  StringInterner table;
  const InternCase& c = GetParam();
  for (size_t i = 0; i < c.names.size(); ++i) {
    EXPECT_EQ(table.intern(c.names[i]), c.ids[i]) << "call " << i << " (" << c.names[i] << ")";
  }
  const AttributeId distinct = *std::max_element(c.ids.begin(), c.ids.end()) + 1;
  EXPECT_EQ(table.size(), distinct);
  for (size_t i = 0; i < c.names.size(); ++i) {
    EXPECT_EQ(table.get(c.names[i]), c.ids[i]);
    EXPECT_EQ(table.resolve(c.ids[i]), c.names[i]);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, InternSequence,
    ::testing::Values(InternCase{"RepeatsKeepTheirId", {"a", "b", "a", "c", "b"}, {0, 1, 0, 2, 1}},
                      InternCase{"EmptyNameIsAName", {"x", "", "", "y"}, {0, 1, 1, 2}},
                      InternCase{"CaseMatters", {"name", "Name", "NAME", "name"}, {0, 1, 2, 0}},
                      InternCase{"NonAscii",
                                 {"größe", "\xe5\x90\x8d\xe5\x89\x8d", "grosse", "größe"},
                                 {0, 1, 2, 0}},
                      InternCase{"EmbeddedNul", {"a\0b"s, "a"s, "a\0c"s, "a\0b"s}, {0, 1, 2, 0}},
                      // Lengths on both sides of the digest's 4-, 8-, 16- and 32-byte steps.
                      InternCase{"LongNames",
                                 {std::string(15, 'q'), std::string(16, 'q'), std::string(17, 'q'),
                                  std::string(33, 'q') + "tail", std::string(16, 'q')},
                                 {0, 1, 2, 3, 1}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(StringInterner, GetDoesNotIntern) {
  StringInterner table;
  EXPECT_EQ(table.get("missing"), std::nullopt);
  EXPECT_EQ(table.size(), 0u);
  EXPECT_EQ(table.intern("missing"), 0u);
  EXPECT_EQ(table.get("missing"), 0u);
}

TEST(StringInterner, ResolveHandsOutAFreshCopy) {
  StringInterner table;
  const AttributeId id = table.intern("colour");
  std::string first = table.resolve(id);
  first[0] = 'C';
  EXPECT_EQ(table.resolve(id), "colour");
}

TEST(StringInterner, UnknownIdsPanic) {
  StringInterner table;
  EXPECT_THROW(table.resolve(0), Panic);
  table.intern("one");
  EXPECT_THROW(table.resolve(1), Panic);
  EXPECT_THROW(table.snapshot().name(1), Panic);
}

TEST(StringInterner, GrowsPastItsInitialSize) {
  StringInterner table;
  constexpr AttributeId kNames = 5000;
  for (AttributeId i = 0; i < kNames; ++i) ASSERT_EQ(table.intern(numbered("attr_", i)), i);
  for (AttributeId i = 0; i < kNames; ++i) {
    ASSERT_EQ(table.get(numbered("attr_", i)), i);
    ASSERT_EQ(table.resolve(i), numbered("attr_", i));
  }
}

TEST(StringInterner, ASnapshotDoesNotSeeLaterNames) {
  StringInterner table;
  table.intern("old");
  const StringInterner::Snapshot before = table.snapshot();
  const AttributeId fresh = table.intern("new");
  EXPECT_EQ(before.get("new"), std::nullopt);
  EXPECT_EQ(before.size(), 1u);
  EXPECT_EQ(before.get("old"), 0u);
  EXPECT_EQ(before.name(0), "old");
  EXPECT_THROW(before.name(fresh), Panic);

  const StringInterner::Snapshot after = table.snapshot();
  EXPECT_EQ(after.get("new"), fresh);
  EXPECT_EQ(after.name(fresh), "new");
}

TEST(StringInterner, ASnapshotOutlivesItsInterner) {
  const size_t live_before = ImmutableInterner::live_count();
  auto table = std::make_unique<StringInterner>();
  table->intern("kept");
  StringInterner::Snapshot snapshot = table->snapshot();
  const std::string_view name = snapshot.name(0);
  table.reset();
  EXPECT_EQ(name, "kept");
  EXPECT_EQ(snapshot.get("kept"), 0u);
  EXPECT_EQ(ImmutableInterner::live_count(), live_before + 1);
}

TEST(StringInterner, NoSnapshotOutlivesItsLastHolder) {
  const size_t live_before = ImmutableInterner::live_count();
  {
    StringInterner table;
    for (int i = 0; i < 50; ++i) table.intern(numbered("n", i));
    // Only the published snapshot is left; the 50 replaced ones are gone.
    EXPECT_EQ(ImmutableInterner::live_count(), live_before + 1);
  }
  EXPECT_EQ(ImmutableInterner::live_count(), live_before);
}

TEST(StringInterner, ProcessWideInstanceIsShared) {
  EXPECT_EQ(&interner(), &interner());
  const AttributeId id = interner().intern("process_wide_name");
  EXPECT_EQ(interner().intern("process_wide_name"), id);
  EXPECT_EQ(interner().resolve(id), "process_wide_name");
}

// ---------------------------------------------------------------------------
// The name table: chains of ids under one key

// Genuine collisions of the 64-bit text hash are out of reach, so the table is
// given the hash directly.
TEST(NameTable, CollidingKeysKeepEveryNameApart) {
  NameTable table;
  constexpr uint64_t kHash = 0x1234;
  EXPECT_EQ(table.append("abc", kHash), 0u);
  EXPECT_EQ(table.append("xyz", kHash), 1u);
  EXPECT_EQ(table.append("pqr", kHash), 2u);
  EXPECT_EQ(table.append("abcd", kHash), 3u);  // same hash, other length

  for (const NameTable& t : {table, NameTable(table)}) {  // also in a snapshot copy
    EXPECT_EQ(t.find("abc", kHash), 0u);
    EXPECT_EQ(t.find("xyz", kHash), 1u);
    EXPECT_EQ(t.find("pqr", kHash), 2u);
    EXPECT_EQ(t.find("abcd", kHash), 3u);
    EXPECT_EQ(t.find("abd", kHash), std::nullopt);
    EXPECT_EQ(t.find("abc", kHash + 1), std::nullopt);
    EXPECT_EQ(t.name(1), "xyz");
  }
}

// ---------------------------------------------------------------------------
// Publication and borrows

class PublishedSnapshotTest : public ::testing::Test {
 protected:
  static SnapshotRef table_of(size_t names) {
    NameTable t;
    for (size_t i = 0; i < names; ++i) t.append(numbered("n", i), i);
    return ImmutableInterner::make(std::move(t));
  }
  void publish(PublishedSnapshot& cell, size_t names) {
    MutexGuard guard(publishers_);
    cell.publish(guard, table_of(names));
  }
  size_t live() const { return ImmutableInterner::live_count() - live_before_; }

  Mutex publishers_;
  size_t live_before_ = ImmutableInterner::live_count();
};

TEST_F(PublishedSnapshotTest, AnUnborrowedSnapshotIsFreedOnPublish) {
  PublishedSnapshot cell(table_of(1));
  { PublishedSnapshot::Borrow b(cell); }
  publish(cell, 2);
  EXPECT_EQ(live(), 1u);
}

TEST_F(PublishedSnapshotTest, ABorrowKeepsItsSnapshotAcrossPublishes) {
  PublishedSnapshot cell(table_of(1));
  {
    PublishedSnapshot::Borrow outer(cell);
    PublishedSnapshot::Borrow inner(cell);  // a second borrow on the same thread
    publish(cell, 2);
    EXPECT_EQ(live(), 2u);
    PublishedSnapshot::Borrow newer(cell);
    publish(cell, 3);
    EXPECT_EQ(live(), 3u);
    EXPECT_EQ(outer->table().size(), 1u);
    EXPECT_EQ(inner->table().name(0), "n0");
    EXPECT_EQ(newer->table().size(), 2u);
  }
  // The paid counts went back with the borrows.
  EXPECT_EQ(live(), 1u);
  PublishedSnapshot::Borrow current(cell);
  EXPECT_EQ(current->table().size(), 3u);
}

TEST_F(PublishedSnapshotTest, CountedLoadsKeepTheirSnapshot) {
  PublishedSnapshot cell(table_of(1));
  SnapshotRef held = cell.load();
  publish(cell, 2);
  EXPECT_EQ(live(), 2u);
  EXPECT_EQ(held->table().size(), 1u);
  held = cell.load();
  EXPECT_EQ(live(), 1u);
  EXPECT_EQ(held->table().size(), 2u);
}

TEST_F(PublishedSnapshotTest, ExitedThreadsGiveTheirSlotBack) {
  PublishedSnapshot cell(table_of(1));
  for (int i = 0; i < 4; ++i) std::thread([&] { PublishedSnapshot::Borrow b(cell); }).join();
  const size_t slots = PublishedSnapshot::slot_count();
  for (int i = 0; i < 64; ++i) std::thread([&] { PublishedSnapshot::Borrow b(cell); }).join();
  EXPECT_EQ(PublishedSnapshot::slot_count(), slots);
}

// ---------------------------------------------------------------------------
// Threads

// All threads intern the same new names at the same moment, each in its own
// order; every name must end up with one id.
TEST(StringInternerThreads, SameNewNamesGetOneIdEverywhere) {
  constexpr int kThreads = 12;
  constexpr int kNames = 300;
  for (int round = 0; round < 5; ++round) {
    StringInterner table;
    std::vector<std::vector<AttributeId>> seen(kThreads, std::vector<AttributeId>(kNames));
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        start.arrive_and_wait();
        for (int k = 0; k < kNames; ++k) {
          const int n = (k * (t % 2 == 0 ? 1 : -1) + t * 37 + kNames * 2) % kNames;
          seen[t][n] = table.intern(numbered("name_", n));
        }
      });
    }
    for (auto& t : threads) t.join();

    std::set<AttributeId> ids;
    for (int n = 0; n < kNames; ++n) {
      for (int t = 1; t < kThreads; ++t) ASSERT_EQ(seen[t][n], seen[0][n]) << "name " << n;
      ids.insert(seen[0][n]);
      EXPECT_EQ(table.resolve(seen[0][n]), numbered("name_", n));
    }
    EXPECT_EQ(ids.size(), size_t(kNames));
    EXPECT_EQ(*ids.rbegin(), AttributeId(kNames - 1));  // dense from 0
    EXPECT_EQ(table.size(), size_t(kNames));
  }
}

// Readers look names up without pause while writers keep publishing. A name
// whose intern returned before the reader looked must be visible; a name once
// visible stays visible with the same id; a snapshot held throughout never
// changes.
TEST(StringInternerThreads, ReadersStayConsistentWhileWritersPublish) {
  constexpr int kWriters = 3;
  constexpr int kReaders = 4;
  constexpr int kNewPerWriter = 400;
  constexpr int kPreloaded = 64;
  const size_t live_before = ImmutableInterner::live_count();
  {
    StringInterner table;
    for (int i = 0; i < kPreloaded; ++i) table.intern(numbered("pre_", i));

    // Each writer announces how many of its names are done.
    std::vector<std::atomic<int>> done(kWriters);
    std::vector<std::vector<AttributeId>> writer_ids(kWriters);
    std::atomic<int> writers_left{kWriters};
    std::latch start(kWriters + kReaders);
    std::vector<std::thread> threads;
    for (int w = 0; w < kWriters; ++w) {
      threads.emplace_back([&, w] {
        start.arrive_and_wait();
        for (int i = 0; i < kNewPerWriter; ++i) {
          writer_ids[w].push_back(table.intern(numbered(numbered("w", w) + "_", i)));
          done[w].store(i + 1, std::memory_order_release);
        }
        writers_left.fetch_sub(1);
      });
    }
    std::atomic<int> failures{0};
    for (int r = 0; r < kReaders; ++r) {
      threads.emplace_back([&, r] {
        const StringInterner::Snapshot held = table.snapshot();
        const size_t held_size = held.size();
        start.arrive_and_wait();
        size_t last_size = 0;
        int i = r;
        while (writers_left.load() > 0) {
          ++i;
          const std::string pre = numbered("pre_", i % kPreloaded);
          if (table.get(pre) != AttributeId(i % kPreloaded)) ++failures;
          if (table.resolve(AttributeId(i % kPreloaded)) != pre) ++failures;
          const int w = i % kWriters;
          const int finished = done[w].load(std::memory_order_acquire);
          if (finished > 0) {
            const std::string last = numbered(numbered("w", w) + "_", finished - 1);
            const auto id = table.get(last);
            if (!id || table.resolve(*id) != last) ++failures;
          }
          const size_t size = table.size();
          if (size < last_size) ++failures;
          last_size = size;
          if (held.size() != held_size || held.name(AttributeId(i % held_size)).empty()) ++failures;
        }
      });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);

    std::set<AttributeId> ids;
    for (const auto& mine : writer_ids) ids.insert(mine.begin(), mine.end());
    EXPECT_EQ(ids.size(), size_t(kWriters * kNewPerWriter));
    EXPECT_EQ(*ids.begin(), AttributeId(kPreloaded));
    EXPECT_EQ(*ids.rbegin(), AttributeId(kPreloaded + kWriters * kNewPerWriter - 1));
  }
  // Every snapshot replaced during the run was freed by its last reader.
  EXPECT_EQ(ImmutableInterner::live_count(), live_before);
}

}  // namespace
}  // namespace qdx
