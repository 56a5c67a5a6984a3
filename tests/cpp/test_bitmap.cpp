#include "structures/bitmap.hpp"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <vector>

namespace qdx {
namespace {

using Ids = std::vector<uint32_t>;

constexpr uint32_t kMax = 4294967295u;

TEST(Bitmap, MoveConstructionLeavesSourceEmptyAndUsable) {
  Bitmap source = Bitmap::of({1, 70000, kMax});
  Bitmap moved(std::move(source));
  EXPECT_EQ(moved.to_vector(), (Ids{1, 70000, kMax}));
  EXPECT_TRUE(source.empty());
  source.add(5);
  EXPECT_EQ(source.to_vector(), Ids{5});
  EXPECT_EQ(moved.cardinality(), 3u);
}

TEST(Bitmap, MoveAssignmentReplacesTarget) {
  Bitmap target = Bitmap::of({9, 10});
  Bitmap source = Bitmap::of({2});
  target = std::move(source);
  EXPECT_EQ(target.to_vector(), Ids{2});
  EXPECT_TRUE(source.empty());
  Bitmap& alias = target;
  target = std::move(alias);
  EXPECT_EQ(target.to_vector(), Ids{2});
}

TEST(Bitmap, CloneIsIndependent) {
  Bitmap original = Bitmap::of({0, 1, 100000});
  Bitmap copy = original.clone();
  EXPECT_TRUE(copy == original);
  copy.add(7);
  original.remove(0);
  EXPECT_EQ(copy.to_vector(), (Ids{0, 1, 7, 100000}));
  EXPECT_EQ(original.to_vector(), (Ids{1, 100000}));
}

TEST(Bitmap, OverwriteReplacesContents) {
  Bitmap target = Bitmap::of({1, 2, 3, 1u << 20});
  target.overwrite(Bitmap::of({kMax}));
  EXPECT_EQ(target.to_vector(), Ids{kMax});
  target.overwrite(Bitmap());
  EXPECT_TRUE(target.empty());
  Bitmap self = Bitmap::of({4, 5});
  self.overwrite(self);
  EXPECT_EQ(self.to_vector(), (Ids{4, 5}));
}

// The iterator reads in batches of 256; sizes around that boundary and ids
// spread over many containers must still come out ascending and complete.
class BitmapForEach : public ::testing::TestWithParam<size_t> {};

TEST_P(BitmapForEach, VisitsAscendingAndComplete) {
  std::mt19937 rng(static_cast<unsigned>(GetParam()));
  std::set<uint32_t> model = {0, kMax};
  while (model.size() < GetParam()) model.insert(rng() % 2 == 0 ? rng() % 1000 : rng());
  Bitmap bitmap = Bitmap::of(Ids(model.begin(), model.end()));
  Ids seen;
  bitmap.for_each([&](uint32_t id) { seen.push_back(id); });
  EXPECT_EQ(seen, Ids(model.begin(), model.end()));
}

INSTANTIATE_TEST_SUITE_P(Sizes, BitmapForEach, ::testing::Values(2, 255, 256, 257, 512, 3000));

TEST(Bitmap, ForEachOnEmptyVisitsNothing) {
  size_t calls = 0;
  Bitmap().for_each([&](uint32_t) { ++calls; });
  EXPECT_EQ(calls, 0u);
}

TEST(Bitmap, RangeIsHalfOpen) {
  EXPECT_TRUE(Bitmap::range(5, 5).empty());
  EXPECT_TRUE(Bitmap::range(5, 3).empty());
  EXPECT_EQ(Bitmap::range(3, 6).to_vector(), (Ids{3, 4, 5}));
  EXPECT_EQ(Bitmap::range(kMax - 1, 1ull << 32).to_vector(), (Ids{kMax - 1, kMax}));
}

TEST(Bitmap, SetAlgebra) {
  const Bitmap a = Bitmap::of({1, 2, 3, 70000});
  const Bitmap b = Bitmap::of({3, 4, 70000});
  Bitmap both = a.clone();
  both.and_inplace(b);
  EXPECT_EQ(both.to_vector(), (Ids{3, 70000}));
  Bitmap either = a.clone();
  either.or_inplace(b);
  EXPECT_EQ(either.to_vector(), (Ids{1, 2, 3, 4, 70000}));
  Bitmap only_a = a.clone();
  only_a.andnot_inplace(b);
  EXPECT_EQ(only_a.to_vector(), (Ids{1, 2}));
  EXPECT_EQ(a.and_cardinality(b), 2u);
  EXPECT_TRUE(a.intersects(b));
  EXPECT_FALSE(only_a.intersects(b));
  EXPECT_EQ(a.minimum(), 1u);
  EXPECT_EQ(a.maximum(), 70000u);
}

// intersection_of against stepwise roaring intersections, over sets whose
// chunks are arrays, bitsets or runs in every mix, and chunks missing from
// some sets; sorted_within against the same, for candidate lists mixing ids
// of the answer, strangers and whole chunks (more ids than an array holds);
// for_each_chunk_across gives every set's ids once, a chunk at a time.
TEST(Bitmap, IntersectionOfMatchesStepwiseAnd) {
  std::mt19937 rng(7);
  auto random_set = [&] {
    Bitmap set;
    for (uint32_t chunk = 0; chunk < 6; ++chunk) {
      const uint32_t base = chunk << 16;
      switch (rng() % 5) {
        case 0:  // absent
          break;
        case 1:  // sparse: an array
          for (int i = 0; i < 300; ++i) set.add(base + rng() % 65536);
          break;
        case 2:  // dense: a bitset
          for (uint32_t id = 0; id < 65536; ++id) {
            if (rng() % 3 == 0) set.add(base + id);
          }
          break;
        case 3: {  // a few long runs
          Bitmap runs = Bitmap::range(base + rng() % 1000, base + 20000 + rng() % 40000);
          runs.add(base + 65535);
          runs.run_optimize();
          set.or_inplace(runs);
          break;
        }
        default:  // near the array/bitset boundary
          for (int i = 0; i < 4200; ++i) set.add(base + rng() % 65536);
      }
    }
    if (rng() % 2 == 0) set.run_optimize();
    return set;
  };
  for (int round = 0; round < 60; ++round) {
    std::vector<Bitmap> sets;
    const size_t count = 1 + rng() % 5;
    for (size_t i = 0; i < count; ++i) sets.push_back(random_set());
    std::vector<const Bitmap*> pointers;
    for (const Bitmap& set : sets) pointers.push_back(&set);
    if (round % 7 == 0) pointers.push_back(pointers.front());  // the same set twice
    Bitmap expected = sets.front().clone();
    for (const Bitmap* set : pointers) expected.and_inplace(*set);
    const Bitmap got = Bitmap::intersection_of(pointers);
    EXPECT_EQ(got.to_vector(), expected.to_vector()) << "round " << round;

    Bitmap candidates;
    for (uint32_t id : expected.to_vector()) {
      if (rng() % 3 != 0) candidates.add(id);
    }
    for (int i = 0; i < 500; ++i) candidates.add(rng() % (7u << 16));
    if (round % 4 == 0) candidates.or_inplace(Bitmap::range(2u << 16, 3u << 16));
    const std::vector<uint32_t> ids = candidates.to_vector();
    Bitmap within = candidates.clone();
    within.and_inplace(expected);
    EXPECT_EQ(Bitmap::sorted_within(ids, pointers).to_vector(), within.to_vector())
        << "round " << round;

    std::vector<std::vector<uint32_t>> visited(pointers.size());
    uint32_t last_chunk = 0;
    Bitmap::for_each_chunk_across(pointers, [&](size_t i, const uint32_t* block, size_t n) {
      EXPECT_GE(block[0] >> 16, last_chunk);
      EXPECT_EQ(block[0] >> 16, block[n - 1] >> 16);
      last_chunk = block[0] >> 16;
      visited[i].insert(visited[i].end(), block, block + n);
    });
    for (size_t i = 0; i < pointers.size(); ++i) {
      EXPECT_EQ(visited[i], pointers[i]->to_vector()) << "round " << round << " set " << i;
    }
  }
  EXPECT_TRUE(Bitmap::intersection_of({}).empty());
  EXPECT_TRUE(Bitmap::sorted_within({}, {}).empty());
}

}  // namespace
}  // namespace qdx
