#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "base/panic.hpp"
#include "structures/id_sort.hpp"
#include "structures/numeric_postings.hpp"
#include "structures/order_key.hpp"
#include "structures/ordered_bitmap.hpp"
#include "structures/rank_sample.hpp"

namespace qdx {
namespace {

// ---- exact numeric model ---------------------------------------------------

struct Num {
  bool is_int;
  int64_t i;
  double d;
  OrderKey key() const { return is_int ? OrderKey::from_int(i) : OrderKey::from_double(d); }
};
Num int_num(int64_t v) {
  return {true, v, 0};
}
Num dbl_num(double v) {
  return {false, 0, v};
}

// Exact three-way comparison of an int64 and a non-NaN double.
int compare_int_double(int64_t i, double d) {
  if (d >= 0x1p63) return -1;
  if (d < -0x1p63) return 1;
  const double whole = std::trunc(d);  // in [-2^63, 2^63): converts exactly
  const auto w = static_cast<int64_t>(whole);
  if (i != w) return i < w ? -1 : 1;
  const double fraction = d - whole;
  return fraction > 0 ? -1 : (fraction < 0 ? 1 : 0);
}

int compare(const Num& a, const Num& b) {
  if (a.is_int && b.is_int) return (a.i > b.i) - (a.i < b.i);
  if (!a.is_int && !b.is_int) return (a.d > b.d) - (a.d < b.d);
  if (a.is_int) return compare_int_double(a.i, b.d);
  return -compare_int_double(b.i, a.d);
}

bool holds(Comparison op, int c) {
  switch (op) {
    case Comparison::kGreater:
      return c > 0;
    case Comparison::kGreaterOrEqual:
      return c >= 0;
    case Comparison::kLess:
      return c < 0;
    case Comparison::kLessOrEqual:
      return c <= 0;
  }
  return false;
}

constexpr Comparison kComparisons[] = {Comparison::kGreater, Comparison::kGreaterOrEqual,
                                       Comparison::kLess, Comparison::kLessOrEqual};

// Values chosen to sit on every boundary the key has: signs, zeros,
// infinities, subnormals of every exponent, the normal/subnormal edge, the
// 2^53 and 2^63 edges, and int/double pairs of equal value.
std::vector<Num> edge_values() {
  std::vector<Num> v;
  for (double d : {0.0, -0.0, 1.0, 1.5, 3.0, 0x1p53, 0x1p53 + 2, 0x1p62, 0x1p63, 0x1p64, DBL_MAX,
                   DBL_MIN, std::nextafter(DBL_MIN, 0.0), 5e-324, 0x1p-1060, 0x1p-1073, 0x1.8p-1023,
                   0x1.fffffp-1030, HUGE_VAL}) {
    v.push_back(dbl_num(d));
    v.push_back(dbl_num(-d));
  }
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  for (int64_t i : {int64_t{0}, int64_t{1}, int64_t{3}, (int64_t{1} << 53) + 1, int64_t{1} << 62,
                    kMax, kMax - 1}) {
    v.push_back(int_num(i));
    v.push_back(int_num(-i));
  }
  v.push_back(int_num(std::numeric_limits<int64_t>::min()));
  return v;
}

Num random_num(std::mt19937_64& rng, const std::vector<Num>& edges) {
  switch (rng() % 6) {
    case 0:
      return edges[rng() % edges.size()];
    case 1:
      return int_num(static_cast<int64_t>(rng()));
    case 2:
      return int_num(static_cast<int64_t>(rng() % 41) - 20);
    case 3: {  // any non-NaN bit pattern
      double d;
      do d = std::bit_cast<double>(rng());
      while (std::isnan(d));
      return dbl_num(d);
    }
    case 4: {  // subnormal with a random number of leading zeros
      const uint64_t fraction = (rng() & ((uint64_t{1} << 52) - 1)) >> (rng() % 52);
      return dbl_num(std::bit_cast<double>(fraction | (rng() & (uint64_t{1} << 63))));
    }
    default:
      return dbl_num(static_cast<double>(static_cast<int64_t>(rng() % 41) - 20) / 2);
  }
}

Bitmap random_subset(std::mt19937_64& rng, uint32_t universe, unsigned percent) {
  Bitmap b;
  for (uint32_t id = 0; id < universe; ++id) {
    if (rng() % 100 < percent) b.add(id);
  }
  return b;
}

// ---- OrderKey --------------------------------------------------------------

struct KeyCase {
  Num value;
  uint64_t mantissa;
  uint16_t exponent;
};

class OrderKeyLayout : public ::testing::TestWithParam<KeyCase> {};

TEST_P(OrderKeyLayout, MatchesTheKeyRules) {
  const OrderKey k = GetParam().value.key();
  EXPECT_EQ(k.mantissa, GetParam().mantissa);
  EXPECT_EQ(k.exponent, GetParam().exponent);
}

constexpr uint64_t kTop = uint64_t{1} << 63;
INSTANTIATE_TEST_SUITE_P(
    Values, OrderKeyLayout,
    ::testing::Values(KeyCase{int_num(0), 0, 0x800}, KeyCase{dbl_num(0.0), 0, 0x800},
                      KeyCase{dbl_num(-0.0), 0, 0x800}, KeyCase{int_num(1), kTop, 0xBFF},
                      KeyCase{dbl_num(1.0), kTop, 0xBFF}, KeyCase{int_num(-1), ~kTop, 0x400},
                      KeyCase{int_num(3), kTop | (kTop >> 1), 0xC00},
                      KeyCase{dbl_num(3.0), kTop | (kTop >> 1), 0xC00},
                      KeyCase{int_num(std::numeric_limits<int64_t>::min()), ~kTop, 0x3C1},
                      KeyCase{dbl_num(-0x1p63), ~kTop, 0x3C1},
                      KeyCase{dbl_num(HUGE_VAL), kTop, 0xFFF},
                      KeyCase{dbl_num(-HUGE_VAL), ~kTop, 0x000},
                      KeyCase{dbl_num(DBL_MIN), kTop, 0x801},
                      // Subnormals: the fraction as fixed point under exponent 0.
                      KeyCase{dbl_num(5e-324), uint64_t{1} << 12, 0x800},
                      KeyCase{dbl_num(-5e-324), ~(uint64_t{1} << 12), 0x7FF},
                      KeyCase{dbl_num(std::nextafter(DBL_MIN, 0.0)), ~uint64_t{0} << 12, 0x800}));

TEST(OrderKey, UpperExponentBitsAreIgnored) {
  EXPECT_EQ((OrderKey{5, 0x801}), (OrderKey{5, 0xF801}));
  EXPECT_LT((OrderKey{5, 0xF7FF}), (OrderKey{5, 0x800}));
}

TEST(OrderKey, KeyOrderIsNumericOrder) {
  std::mt19937_64 rng(7);
  const auto edges = edge_values();
  for (int n = 0; n < 200000; ++n) {
    const Num a = random_num(rng, edges);
    const Num b = n % 3 == 0 ? edges[rng() % edges.size()] : random_num(rng, edges);
    const int expected = compare(a, b);
    const auto got = a.key() <=> b.key();
    ASSERT_EQ(got < 0, expected < 0) << a.is_int << a.i << " " << a.d << " vs " << b.i << b.d;
    ASSERT_EQ(got == 0, expected == 0) << a.i << " " << a.d << " vs " << b.i << " " << b.d;
  }
}

TEST(OrderKey, NanSortsOutsideTheInfinities) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_GT(OrderKey::from_double(nan), OrderKey::from_double(HUGE_VAL));
  EXPECT_LT(OrderKey::from_double(-nan), OrderKey::from_double(-HUGE_VAL));
}

// ---- OrderedBitmap against a brute-force model -------------------------------

// Keeps a map id -> number in step with an OrderedBitmap and checks every
// query against a linear scan of the map.
class CheckedOrdered {
 public:
  void insert(uint32_t id, Num v, bool buffered) {
    buffered ? bitmap.buffered_insert(id, v.key()) : bitmap.insert(id, v.key());
    model[id] = v;
  }
  void remove(uint32_t id) {
    auto it = model.find(id);
    if (it == model.end()) return;
    bitmap.remove(id, it->second.key());
    model.erase(it);
  }

  Bitmap expected_equal(Num probe, const Bitmap* candidates) const {
    Bitmap out;
    for (const auto& [id, v] : model) {
      if (compare(v, probe) == 0 && (!candidates || candidates->contains(id))) out.add(id);
    }
    return out;
  }

  void check(std::mt19937_64& rng, const std::vector<Num>& edges, uint32_t universe) const {
    bitmap.validate();
    Bitmap all_ids;
    for (const auto& entry : model) all_ids.add(entry.first);
    ASSERT_EQ(bitmap.ids(), all_ids);
    for (int q = 0; q < 12; ++q) {
      const Num probe = q % 2 ? model_value(rng, edges) : random_num(rng, edges);
      const Bitmap candidates = random_subset(rng, universe, 1 + rng() % 100);
      ASSERT_EQ(bitmap.equal(probe.key()), expected_equal(probe, nullptr));
      ASSERT_EQ(bitmap.equal_within(probe.key(), candidates), expected_equal(probe, &candidates));
      check_extremes(q == 0 ? all_ids : candidates);
      for (Comparison op : kComparisons) check_comparison(rng, op, probe, candidates, universe);
    }
  }

  OrderedBitmap bitmap;
  std::map<uint32_t, Num> model;

 private:
  // A value already stored, so that equality and the or-equal variants hit.
  Num model_value(std::mt19937_64& rng, const std::vector<Num>& edges) const {
    if (model.empty()) return random_num(rng, edges);
    auto it = model.begin();
    std::advance(it, rng() % model.size());
    return it->second;
  }

  void check_extremes(const Bitmap& candidates) const {
    std::optional<OrderKey> least, greatest;
    for (const auto& [id, v] : model) {
      if (!candidates.contains(id)) continue;
      const OrderKey key = v.key();
      if (!least || key < *least) least = key;
      if (!greatest || *greatest < key) greatest = key;
    }
    const auto extremes = bitmap.extremes_within(candidates);
    ASSERT_EQ(extremes.has_value(), least.has_value());
    if (extremes) {
      ASSERT_EQ(extremes->first, *least);
      ASSERT_EQ(extremes->second, *greatest);
    }
  }

  void check_comparison(std::mt19937_64& rng, Comparison op, Num probe, const Bitmap& candidates,
                        uint32_t universe) const {
    // The result starts non-empty: comparisons add to it.
    const Bitmap seed = random_subset(rng, universe, 5);
    Bitmap expected = seed.clone();
    for (const auto& [id, v] : model) {
      if (candidates.contains(id) && holds(op, compare(v, probe))) expected.add(id);
    }
    Bitmap result = seed.clone();
    bitmap.compare(op, probe.key(), candidates, result);
    ASSERT_EQ(result, expected) << "op " << int(op) << " probe " << probe.i << " " << probe.d;
    for (IsaLevel level : kIsaLevels) {
      if (!OrderedBitmap::isa_level_supported(level)) continue;
      Bitmap by_build = seed.clone();
      bitmap.compare_with_isa(level, op, probe.key(), candidates, by_build);
      ASSERT_EQ(by_build, expected) << "build " << int(level);
    }
  }
};

TEST(OrderedBitmap, RandomOperationsMatchModel) {
  std::mt19937_64 rng(42);
  const auto edges = edge_values();
  constexpr uint32_t kUniverse = 3000;
  CheckedOrdered checked;
  for (int round = 0; round < 40; ++round) {
    const bool buffered = round % 3 == 1;
    const int inserts = static_cast<int>(rng() % 300);
    for (int n = 0; n < inserts; ++n) {
      const auto id = static_cast<uint32_t>(rng() % kUniverse);
      if (checked.model.count(id) == 0) checked.insert(id, random_num(rng, edges), buffered);
    }
    if (buffered) checked.bitmap.flush();
    const int removes = static_cast<int>(rng() % 150);
    for (int n = 0; n < removes; ++n) checked.remove(static_cast<uint32_t>(rng() % kUniverse));
    checked.check(rng, edges, kUniverse);
  }
}

TEST(OrderedBitmap, NarrowAndUnionMatchModel) {
  std::mt19937_64 rng(3);
  const auto edges = edge_values();
  constexpr uint32_t kUniverse = 2000;
  CheckedOrdered left, right;
  for (uint32_t id = 0; id < kUniverse; ++id) {
    if (rng() % 3 == 0) continue;  // some ids hold no number
    (id % 2 ? left : right).insert(id, random_num(rng, edges), false);
  }
  left.bitmap.union_with(left.bitmap);  // self-union changes nothing
  left.check(rng, edges, kUniverse);
  left.bitmap.union_with(right.bitmap);
  left.model.insert(right.model.begin(), right.model.end());
  left.check(rng, edges, kUniverse);

  const Bitmap filter = random_subset(rng, kUniverse, 30);
  left.bitmap.narrow(filter);
  std::erase_if(left.model, [&](const auto& entry) { return !filter.contains(entry.first); });
  left.check(rng, edges, kUniverse);

  CheckedOrdered fresh;  // union into a structure that has no cells yet
  fresh.bitmap.union_with(right.bitmap);
  fresh.model = right.model;
  fresh.check(rng, edges, kUniverse);
}

// Batches in id order, built chunk by chunk: dense chunks of random keys and
// of keys that agree on most planes, a sparse chunk, a second batch into
// cells that already hold ids, then writes on the result.
TEST(OrderedBitmap, IdSortedBatchesMatchModel) {
  std::mt19937_64 rng(11);
  const auto edges = edge_values();
  constexpr uint32_t kChunk = 1u << 16;
  constexpr uint32_t kUniverse = 4 * kChunk;
  CheckedOrdered checked;
  auto batch = [&](uint32_t first, uint32_t end, unsigned percent, bool small_ints) {
    std::vector<std::pair<OrderKey, uint32_t>> items;
    for (uint32_t id = first; id < end; ++id) {
      if (checked.model.count(id) != 0 || rng() % 100 >= percent) continue;
      const Num v = small_ints ? int_num(static_cast<int64_t>(rng() % 6)) : random_num(rng, edges);
      checked.model[id] = v;
      items.emplace_back(v.key(), id);
    }
    checked.bitmap.insert_id_sorted(items);
  };
  batch(0, kChunk, 40, false);
  batch(kChunk, 2 * kChunk, 1, false);
  batch(2 * kChunk, 3 * kChunk, 90, true);
  checked.check(rng, edges, kUniverse);
  batch(0, kChunk, 50, true);
  batch(3 * kChunk, kUniverse, 100, true);
  checked.check(rng, edges, kUniverse);
  for (int n = 0; n < 2000; ++n) checked.remove(static_cast<uint32_t>(rng() % kUniverse));
  for (int n = 0; n < 2000; ++n) {
    const auto id = static_cast<uint32_t>(rng() % kUniverse);
    if (checked.model.count(id) == 0) checked.insert(id, random_num(rng, edges), false);
  }
  checked.check(rng, edges, kUniverse);
}

// ---- the documented edge cases ---------------------------------------------

struct ComparisonCase {
  Comparison op;
  Num probe;
  std::vector<Num> stored;
  std::vector<size_t> selected;  // indexes into stored
};

class OrderedBitmapComparison : public ::testing::TestWithParam<ComparisonCase> {};

TEST_P(OrderedBitmapComparison, SelectsExactlyTheExpectedIds) {
  const ComparisonCase& c = GetParam();
  OrderedBitmap ob;
  for (size_t i = 0; i < c.stored.size(); ++i)
    ob.insert(static_cast<uint32_t>(i), c.stored[i].key());
  // Ids 100 and 101 stand for objects with a string value / no value.
  Bitmap candidates = Bitmap::range(0, c.stored.size());
  candidates.add(100);
  candidates.add(101);
  Bitmap result;
  ob.compare(c.op, c.probe.key(), candidates, result);
  std::vector<uint32_t> expected(c.selected.begin(), c.selected.end());
  EXPECT_EQ(result.to_vector(), expected);
}

const std::vector<Num> kAroundMinusOne = {int_num(-5), int_num(-1), int_num(0), dbl_num(2.5),
                                          int_num(int64_t{1} << 62)};
const std::vector<Num> kAroundOneAndAHalf = {dbl_num(-HUGE_VAL), int_num(-2),  int_num(1),
                                             dbl_num(1.49),      dbl_num(1.5), int_num(2)};
const std::vector<Num> kAbove2To53 = {int_num(int64_t{1} << 60), int_num((int64_t{1} << 60) + 1),
                                      int_num((int64_t{1} << 60) - 1)};
const std::vector<Num> kSubnormals = {dbl_num(0.0),       dbl_num(5e-324),
                                      dbl_num(0x1p-1060), dbl_num(std::nextafter(DBL_MIN, 0.0)),
                                      dbl_num(DBL_MIN),   dbl_num(-5e-324)};

INSTANTIATE_TEST_SUITE_P(
    EdgeCases, OrderedBitmapComparison,
    ::testing::Values(
        ComparisonCase{Comparison::kGreater, int_num(-1), kAroundMinusOne, {2, 3, 4}},
        ComparisonCase{Comparison::kGreaterOrEqual, int_num(-1), kAroundMinusOne, {1, 2, 3, 4}},
        ComparisonCase{Comparison::kLess, dbl_num(1.5), kAroundOneAndAHalf, {0, 1, 2, 3}},
        ComparisonCase{Comparison::kLessOrEqual, dbl_num(1.5), kAroundOneAndAHalf, {0, 1, 2, 3, 4}},
        ComparisonCase{Comparison::kGreater, int_num(int64_t{1} << 60), kAbove2To53, {1}},
        ComparisonCase{Comparison::kLess, dbl_num(0x1p60), kAbove2To53, {2}},
        ComparisonCase{Comparison::kGreater, dbl_num(0.0), kSubnormals, {1, 2, 3, 4}},
        ComparisonCase{Comparison::kLess, dbl_num(DBL_MIN), kSubnormals, {0, 1, 2, 3, 5}},
        ComparisonCase{Comparison::kLess, dbl_num(0x1p-1060), kSubnormals, {0, 1, 5}}));

TEST(OrderedBitmap, EqualMatchesAcrossIntegersAndDoubles) {
  OrderedBitmap ob;
  const std::vector<Num> stored = {int_num(3),    dbl_num(3.0), int_num(0), dbl_num(0.0),
                                   dbl_num(-0.0), dbl_num(3.5), int_num(-3)};
  for (size_t i = 0; i < stored.size(); ++i) ob.insert(static_cast<uint32_t>(i), stored[i].key());
  EXPECT_EQ(ob.equal(OrderKey::from_int(3)).to_vector(), (std::vector<uint32_t>{0, 1}));
  EXPECT_EQ(ob.equal(OrderKey::from_double(-0.0)).to_vector(), (std::vector<uint32_t>{2, 3, 4}));
  EXPECT_TRUE(ob.equal(OrderKey::from_int(4)).empty());
  EXPECT_EQ(ob.equal_within(OrderKey::from_int(0), Bitmap::of({3, 4, 9})).to_vector(),
            (std::vector<uint32_t>{3, 4}));
}

TEST(OrderedBitmap, OneStoredKeyStillExcludesIdsWithoutNumber) {
  // Every plane has an empty cell, so no plane narrows by itself.
  OrderedBitmap ob;
  ob.insert(1, OrderKey::from_double(2.5));
  ob.insert(2, OrderKey::from_double(2.5));
  EXPECT_EQ(ob.equal(OrderKey::from_double(2.5)).to_vector(), (std::vector<uint32_t>{1, 2}));
  EXPECT_EQ(ob.equal_within(OrderKey::from_double(2.5), Bitmap::of({2, 5})).to_vector(),
            (std::vector<uint32_t>{2}));
  Bitmap result;
  ob.greater_or_equal(OrderKey::from_double(2.5), Bitmap::of({1, 5}), result);
  EXPECT_EQ(result.to_vector(), (std::vector<uint32_t>{1}));
}

TEST(OrderedBitmap, EmptyCandidatesLeaveResultUnchanged) {
  OrderedBitmap ob;
  ob.insert(1, OrderKey::from_int(10));
  for (Comparison op : kComparisons) {
    Bitmap result = Bitmap::of({7, 8});
    ob.compare(op, OrderKey::from_int(5), Bitmap(), result);
    EXPECT_EQ(result.to_vector(), (std::vector<uint32_t>{7, 8}));
  }
}

TEST(OrderedBitmap, ResultAliasingCandidatesIsFatal) {
  OrderedBitmap ob;
  ob.insert(1, OrderKey::from_int(10));
  Bitmap both = Bitmap::of({1, 2});
  EXPECT_THROW(ob.greater(OrderKey::from_int(0), both, both), Panic);
}

TEST(OrderedBitmap, StoresNothingUntilFirstInsert) {
  OrderedBitmap ob;
  EXPECT_TRUE(ob.empty());
  EXPECT_LE(ob.memory_bytes(), 2 * sizeof(void*));
  ob.remove(1, OrderKey::from_int(1));
  ob.flush();
  EXPECT_TRUE(ob.empty());
  EXPECT_TRUE(ob.equal(OrderKey::from_int(0)).empty());
  Bitmap result = Bitmap::of({4});
  ob.greater_or_equal(OrderKey::from_double(-HUGE_VAL), Bitmap::of({1, 4}), result);
  EXPECT_EQ(result.to_vector(), (std::vector<uint32_t>{4}));

  ob.insert(1, OrderKey::from_int(1));
  EXPECT_FALSE(ob.empty());
  ob.narrow(Bitmap::of({2}));  // nothing left: the cells go away
  EXPECT_TRUE(ob.empty());
}

TEST(OrderedBitmap, BufferedIdsAppearAfterFlush) {
  OrderedBitmap ob;
  for (uint32_t id = 0; id < 100; ++id) ob.buffered_insert(id, OrderKey::from_int(id % 2));
  EXPECT_THROW(ob.validate(), Panic);
  ob.flush();
  ob.validate();
  EXPECT_EQ(ob.equal(OrderKey::from_int(1)).cardinality(), 50u);
}

TEST(OrderedBitmap, ValidateCatchesAnIdUnderTwoKeys) {
  OrderedBitmap ob;
  ob.insert(1, OrderKey::from_int(2));
  ob.insert(2, OrderKey::from_int(3));
  ob.validate();
  ob.insert(1, OrderKey::from_int(3));  // without removing the old key first
  EXPECT_THROW(ob.validate(), Panic);
}

TEST(OrderedBitmap, ConcurrentScansUseTheirOwnScratch) {
  std::mt19937_64 rng(11);
  const auto edges = edge_values();
  CheckedOrdered checked;
  for (uint32_t id = 0; id < 5000; ++id) checked.insert(id, random_num(rng, edges), false);
  std::vector<Num> probes;
  std::vector<Bitmap> expected;
  const Bitmap all = checked.bitmap.ids();
  for (int n = 0; n < 16; ++n) {
    probes.push_back(random_num(rng, edges));
    Bitmap e;
    for (const auto& [id, v] : checked.model) {
      if (compare(v, probes.back()) > 0) e.add(id);
    }
    expected.push_back(std::move(e));
  }
  std::vector<int> mismatches(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 50; ++round) {
        for (size_t n = 0; n < probes.size(); ++n) {
          Bitmap result;
          checked.bitmap.greater(probes[n].key(), all, result);
          mismatches[t] += !(result == expected[n]);
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

}  // namespace
}  // namespace qdx

namespace qdx {
namespace {

// Replacing a key touches only the planes where the keys differ; the result
// must be indistinguishable from a remove followed by an insert.
TEST(OrderedBitmap, ReplaceEqualsRemoveThenInsert) {
  std::mt19937_64 rng(7);
  std::uniform_int_distribution<int64_t> any_int(-1000, 1000);
  OrderedBitmap replaced, rebuilt;
  std::vector<OrderKey> keys(200);
  for (uint32_t id = 0; id < keys.size(); ++id) {
    keys[id] = OrderKey::from_int(any_int(rng));
    replaced.insert(id, keys[id]);
    rebuilt.insert(id, keys[id]);
  }
  for (int step = 0; step < 2000; ++step) {
    const auto id = static_cast<uint32_t>(rng() % keys.size());
    const OrderKey next = step % 3 == 0 ? OrderKey::from_double(any_int(rng) / 7.0)
                                        : OrderKey::from_int(any_int(rng));
    replaced.replace(id, keys[id], next);
    rebuilt.remove(id, keys[id]);
    rebuilt.insert(id, next);
    keys[id] = next;
  }
  replaced.validate();
  const Bitmap all = Bitmap::range(0, keys.size());
  for (int probe = -1000; probe <= 1000; probe += 37) {
    const OrderKey key = OrderKey::from_int(probe);
    EXPECT_TRUE(replaced.equal(key) == rebuilt.equal(key)) << probe;
    Bitmap a, b;
    replaced.greater(key, all, a);
    rebuilt.greater(key, all, b);
    EXPECT_TRUE(a == b) << probe;
  }
}

}  // namespace
}  // namespace qdx

// ---- range walks: the id sort and the rank sample ---------------------------

namespace qdx {
namespace {

// Both sides of the counting-pass threshold, ids below and above 65536,
// duplicates: the result must be std::sort's, and the bitmap of the batch
// (dense batches take the words, sparse ones the sort) its distinct ids.
TEST(SortIds, MatchesComparisonSort) {
  struct Case {
    size_t count;
    uint32_t id_bound;
  };
  const Case cases[] = {{0, 10},           {1, 10},      {4095, 1u << 20},  {4096, 1u << 20},
                        {5000, 65536},     {70000, 100}, {70000, 1u << 20}, {20000, UINT32_MAX},
                        {300000, 3u << 20}};
  std::mt19937 rng(3);
  for (const Case& c : cases) {
    std::vector<uint32_t> ids(c.count);
    for (uint32_t& id : ids) id = static_cast<uint32_t>(rng() % c.id_bound);
    std::vector<uint32_t> expected = ids;
    std::sort(expected.begin(), expected.end());
    std::vector<uint32_t> batch = ids;
    sort_ids(ids);
    EXPECT_EQ(ids, expected) << c.count << " ids below " << c.id_bound;
    expected.erase(std::unique(expected.begin(), expected.end()), expected.end());
    EXPECT_EQ(bitmap_of_ids(batch).to_vector(), expected) << c.count << " ids below " << c.id_bound;
  }
}

// The estimate of a range is the exact count of the ids in it within one
// stride per bound, and the posting lists' walk of the range is exactly the
// brute-force answer, for keys held by one id, by a few and by many.
TEST(RankSample, EstimateWithinOneStridePerBound) {
  std::mt19937 rng(11);
  for (const int distinct : {1, 40, 3000, 100000}) {
    NumericPostings exact;
    std::vector<std::pair<OrderKey, uint32_t>> items;
    std::vector<int> values(20000);
    for (uint32_t id = 0; id < values.size(); ++id) {
      values[id] = static_cast<int>(rng() % static_cast<uint32_t>(distinct)) - distinct / 2;
      items.emplace_back(OrderKey::from_int(values[id]), id);
    }
    std::sort(items.begin(), items.end());
    exact.insert_sorted(items);
    RankSample sample;
    sample.rebuild(exact);
    ASSERT_EQ(sample.total(), values.size());
    for (int probe = 0; probe < 40; ++probe) {
      const int lo = static_cast<int>(rng() % static_cast<uint32_t>(distinct + 2)) - distinct / 2;
      const int hi = lo + static_cast<int>(rng() % static_cast<uint32_t>(distinct + 2));
      const bool lo_in = rng() % 2 == 0;
      const bool hi_in = rng() % 2 == 0;
      std::vector<uint32_t> inside;
      for (uint32_t id = 0; id < values.size(); ++id) {
        if ((lo_in ? values[id] >= lo : values[id] > lo) &&
            (hi_in ? values[id] <= hi : values[id] < hi))
          inside.push_back(id);
      }
      const std::optional<OrderKey> lower = OrderKey::from_int(lo);
      const std::optional<OrderKey> upper = OrderKey::from_int(hi);
      const uint64_t estimate = sample.estimate(lower, lo_in, upper, hi_in);
      const auto diff = static_cast<int64_t>(estimate) - static_cast<int64_t>(inside.size());
      EXPECT_LE(std::abs(diff), 2 * static_cast<int64_t>(RankSample::kStride))
          << distinct << " [" << lo << ", " << hi << "]";
      const auto walked = exact.collect_range(lower, lo_in, upper, hi_in, UINT64_MAX);
      ASSERT_TRUE(walked.has_value());
      EXPECT_EQ(walked->to_vector(), inside) << distinct << " [" << lo << ", " << hi << "]";
    }
  }
}

}  // namespace
}  // namespace qdx

namespace qdx {
namespace {

// The two tiers against a map from key to id set: single and bulk inserts,
// removals and narrowing, with keys crossing the heavy threshold both ways
// (a key stays heavy until empty); equality, counts, ranges and ordered
// walks in both directions must match the model.
// Run with the default thresholds and with small ones, under which keys
// also cross from a heavy vector to a heavy set.
class NumericPostingsModel : public testing::TestWithParam<std::pair<uint64_t, size_t>> {};

TEST_P(NumericPostingsModel, MatchesModel) {
  std::mt19937 rng(5);
  auto below = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
  NumericPostings postings(GetParam().first, GetParam().second);
  std::map<OrderKey, std::set<uint32_t>> model;
  std::map<uint32_t, OrderKey> key_of;
  // Half the values from three keys, so those reach the heavy tier.
  auto any_key = [&] {
    const int v = below(2) ? static_cast<int>(below(3)) : static_cast<int>(below(400)) - 200;
    return below(4) == 0 ? OrderKey::from_double(v + 0.5) : OrderKey::from_int(v);
  };
  auto forget = [&](uint32_t id) {
    const OrderKey key = key_of.at(id);
    model[key].erase(id);
    if (model[key].empty()) model.erase(key);
    key_of.erase(id);
  };
  for (int step = 0; step < 3000; ++step) {
    const uint32_t op = below(20);
    if (op < 12) {
      const uint32_t id = below(1500);
      if (key_of.contains(id)) {
        postings.remove(key_of[id], id);
        forget(id);
      } else {
        const OrderKey key = any_key();
        postings.insert(key, id);
        model[key].insert(id);
        key_of[id] = key;
      }
    } else if (op < 14) {  // a bulk insertion of fresh ids
      std::vector<std::pair<OrderKey, uint32_t>> items;
      for (uint32_t k = below(200); k > 0; --k) {
        const uint32_t id = 1500 + below(3000);
        if (key_of.contains(id)) continue;
        key_of[id] = any_key();
        model[key_of[id]].insert(id);
        items.emplace_back(key_of[id], id);
      }
      std::sort(items.begin(), items.end());
      postings.insert_sorted(items);
    } else if (op == 14) {
      Bitmap filter;
      for (uint32_t id = 0; id < 4500; ++id)
        if (below(8) != 0) filter.add(id);
      postings.narrow(filter);
      std::vector<uint32_t> dropped;
      for (const auto& [id, key] : key_of)
        if (!filter.contains(id)) dropped.push_back(id);
      for (const uint32_t id : dropped) forget(id);
    } else {
      postings.validate();
      ASSERT_EQ(postings.size(), model.size());
      const OrderKey probe = any_key();
      const auto found = model.find(probe);
      const std::vector<uint32_t> expected =
          found == model.end() ? std::vector<uint32_t>()
                               : std::vector<uint32_t>(found->second.begin(), found->second.end());
      ASSERT_EQ(postings.count(probe), expected.size());
      ASSERT_EQ(postings.equal_within(probe, Bitmap::range(0, 5000)).to_vector(), expected);
      ASSERT_EQ(postings.equal_all(probe).to_vector(), expected);
      const uint32_t some = below(4500);
      ASSERT_EQ(postings.holds(probe, some), found != model.end() && found->second.contains(some));
      // A range with random bounds and inclusiveness, and the walk over it.
      OrderKey lo = any_key(), hi = any_key();
      if (hi < lo) std::swap(lo, hi);
      const bool lo_in = below(2), hi_in = below(2);
      const std::optional<OrderKey> lower = below(5) ? std::optional(lo) : std::nullopt;
      const std::optional<OrderKey> upper = below(5) ? std::optional(hi) : std::nullopt;
      std::vector<uint32_t> inside;
      std::vector<std::pair<OrderKey, std::vector<uint32_t>>> walked_model;
      for (const auto& [key, ids] : model) {
        if (lower && (lo_in ? key < *lower : !(*lower < key))) continue;
        if (upper && (hi_in ? *upper < key : !(key < *upper))) continue;
        inside.insert(inside.end(), ids.begin(), ids.end());
      }
      std::sort(inside.begin(), inside.end());
      const auto collected = postings.collect_range(lower, lo_in, upper, hi_in, UINT64_MAX);
      ASSERT_TRUE(collected.has_value());
      ASSERT_EQ(collected->to_vector(), inside);
      if (!inside.empty()) {
        ASSERT_FALSE(postings.collect_range(lower, lo_in, upper, hi_in, inside.size() - 1));
      }
      for (const bool descending : {false, true}) {
        std::vector<std::pair<OrderKey, std::vector<uint32_t>>> seen;
        postings.walk(
            descending,
            [&](const OrderKey& key, const auto& ids) {
              std::vector<uint32_t> got;
              if constexpr (std::is_same_v<std::decay_t<decltype(ids)>, HybridSet>) {
                got = ids.to_bitmap().to_vector();
              } else {
                got.assign(ids.begin(), ids.end());
              }
              seen.emplace_back(key, got);
              return true;
            },
            lower && lo_in ? lower : std::nullopt, upper && hi_in ? upper : std::nullopt);
        std::vector<std::pair<OrderKey, std::vector<uint32_t>>> expected_walk;
        for (const auto& [key, ids] : model) {
          if (lower && lo_in && key < *lower) continue;
          if (upper && hi_in && *upper < key) continue;
          expected_walk.emplace_back(key, std::vector<uint32_t>(ids.begin(), ids.end()));
        }
        if (descending) std::reverse(expected_walk.begin(), expected_walk.end());
        ASSERT_EQ(seen, expected_walk) << "descending " << descending;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Thresholds, NumericPostingsModel,
                         testing::Values(std::pair<uint64_t, size_t>{NumericPostings::kHeavy,
                                                                     NumericPostings::kVectorMax},
                                         std::pair<uint64_t, size_t>{3, 12}));

}  // namespace
}  // namespace qdx
