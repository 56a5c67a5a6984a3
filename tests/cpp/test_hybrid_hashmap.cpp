#include "values/hybrid_hashmap.hpp"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

// The attribute map sits beside the Python-facing value code but must build
// without interpreter headers.
#ifdef Py_PYTHON_H
#error "values/hybrid_hashmap.hpp pulled in Python.h"
#endif

namespace qdx {
namespace {

// A value that records which addresses hold a live object, so that
// destroying a raw slot, destroying twice, or moving from a dead object is
// reported at the moment it happens.
class Tracked {
 public:
  explicit Tracked(int v) : v_(v) { enter(); }
  Tracked(Tracked&& other) noexcept : v_(other.v_) {
    expect_live(&other, "moved from");
    enter();
  }
  Tracked& operator=(Tracked&& other) noexcept {
    expect_live(this, "assigned to");
    expect_live(&other, "moved from");
    v_ = other.v_;
    return *this;
  }
  ~Tracked() {
    if (live().erase(this) != 1) ADD_FAILURE() << "destroyed an object that was not alive";
    ++destroyed();
  }
  int value() const {
    expect_live(this, "read");
    return v_;
  }

  static std::set<const Tracked*>& live() {
    static std::set<const Tracked*> s;
    return s;
  }
  static int& constructed() {
    static int n = 0;
    return n;
  }
  static int& destroyed() {
    static int n = 0;
    return n;
  }

 private:
  void enter() {
    if (!live().insert(this).second) ADD_FAILURE() << "constructed over a live object";
    ++constructed();
  }
  static void expect_live(const Tracked* t, const char* what) {
    if (live().count(t) == 0) ADD_FAILURE() << what << " an object that was not alive";
  }
  int v_;
};

// How each value type under test is made from, and read back as, an int.
template <typename V>
struct Values;
template <>
struct Values<int> {
  static int make(int v) { return v; }
  static int read(const int& v) { return v; }
};
template <>
struct Values<std::string> {
  // Longer than any small-string buffer, so moves carry heap pointers.
  static std::string make(int v) { return "value-with-a-long-tail-" + std::to_string(v); }
  static int read(const std::string& v) { return std::stoi(v.substr(23)); }
};
template <>
struct Values<std::unique_ptr<int>> {
  static std::unique_ptr<int> make(int v) { return std::make_unique<int>(v); }
  static int read(const std::unique_ptr<int>& v) { return *v; }
};
template <>
struct Values<Tracked> {
  static Tracked make(int v) { return Tracked(v); }
  static int read(const Tracked& v) { return v.value(); }
};

template <typename V>
class HybridHashMapTest : public ::testing::Test {
 protected:
  using Map = HybridHashMap<V>;
  static V make(int v) { return Values<V>::make(v); }
  static int read(const V& v) { return Values<V>::read(v); }

  static std::optional<int> value_of(const Map& map, uint32_t id) {
    const V* v = map.get(id);
    if (v == nullptr) return std::nullopt;
    return read(*v);
  }
  static std::vector<std::pair<uint32_t, int>> entries(const Map& map) {
    std::vector<std::pair<uint32_t, int>> out;
    map.for_each([&](uint32_t id, const V& v) { out.emplace_back(id, read(v)); });
    return out;
  }

  void TearDown() override {
    EXPECT_TRUE(Tracked::live().empty()) << Tracked::live().size() << " values leaked";
    EXPECT_EQ(Tracked::constructed(), Tracked::destroyed());
  }
};

using ValueTypes = ::testing::Types<int, std::string, std::unique_ptr<int>, Tracked>;
TYPED_TEST_SUITE(HybridHashMapTest, ValueTypes);

// Ids that are neither sorted nor dense, so order and hashing both matter.
constexpr uint32_t kIds[] = {907, 3, 0xFFFFFFFF, 41, 0, 512, 77, 1u << 20, 9, 65536, 123456};

TYPED_TEST(HybridHashMapTest, EightStaySmallAndTheNinthSwitches) {
  typename TestFixture::Map map;
  EXPECT_TRUE(map.is_small());
  for (size_t i = 0; i < 8; ++i) {
    EXPECT_FALSE(map.insert(kIds[i], this->make(int(i) * 10)).has_value());
    EXPECT_TRUE(map.is_small());
    EXPECT_EQ(map.size(), i + 1);
  }
  EXPECT_FALSE(map.insert(kIds[8], this->make(80)).has_value());
  EXPECT_FALSE(map.is_small());
  EXPECT_EQ(map.size(), 9u);
  for (size_t i = 0; i < 9; ++i) EXPECT_EQ(this->value_of(map, kIds[i]), int(i) * 10) << i;
  EXPECT_EQ(this->value_of(map, kIds[9]), std::nullopt);

  // Beyond the first table size, and never back to small.
  for (uint32_t id = 1000; id < 1100; ++id) map.insert(id, this->make(int(id)));
  EXPECT_FALSE(map.is_small());
  EXPECT_EQ(map.size(), 109u);
  EXPECT_EQ(this->value_of(map, 1099), 1099);
  EXPECT_EQ(this->value_of(map, kIds[4]), 40);
}

TYPED_TEST(HybridHashMapTest, ReplacingInAFullSmallMapKeepsItSmallOrderedAndSized) {
  typename TestFixture::Map map;
  for (size_t i = 0; i < 8; ++i) map.insert(kIds[i], this->make(int(i)));
  const auto before = this->entries(map);
  for (int round = 0; round < 20; ++round) {
    const auto old = map.insert(kIds[3], this->make(100 + round));
    ASSERT_TRUE(old.has_value());
    EXPECT_EQ(this->read(*old), round == 0 ? 3 : 100 + round - 1);
  }
  EXPECT_TRUE(map.is_small());
  EXPECT_EQ(map.size(), 8u);
  auto after = this->entries(map);
  ASSERT_EQ(after.size(), before.size());
  for (size_t i = 0; i < after.size(); ++i) {
    EXPECT_EQ(after[i].first, before[i].first) << "position " << i;
    EXPECT_EQ(after[i].second, i == 3 ? 119 : before[i].second) << "position " << i;
  }
}

TYPED_TEST(HybridHashMapTest, ReplacingInATableReturnsTheOldValueAndKeepsTheSize) {
  typename TestFixture::Map map;
  for (size_t i = 0; i < 10; ++i) map.insert(kIds[i], this->make(int(i)));
  ASSERT_FALSE(map.is_small());
  const auto old = map.insert(kIds[9], this->make(99));
  ASSERT_TRUE(old.has_value());
  EXPECT_EQ(this->read(*old), 9);
  EXPECT_EQ(map.size(), 10u);
  EXPECT_EQ(this->value_of(map, kIds[9]), 99);
}

TYPED_TEST(HybridHashMapTest, SmallIterationFollowsFirstInsertion) {
  typename TestFixture::Map map;
  map.insert(42, this->make(1));
  map.insert(7, this->make(2));
  map.insert(1000, this->make(3));
  map.insert(7, this->make(4));
  map.insert(3, this->make(5));
  map.insert(42, this->make(6));
  const std::vector<std::pair<uint32_t, int>> expected = {{42, 6}, {7, 4}, {1000, 3}, {3, 5}};
  EXPECT_EQ(this->entries(map), expected);
}

TYPED_TEST(HybridHashMapTest, TableIterationVisitsEveryEntryOnce) {
  typename TestFixture::Map map;
  std::map<uint32_t, int> expected;
  for (size_t i = 0; i < std::size(kIds); ++i) {
    map.insert(kIds[i], this->make(int(i)));
    expected[kIds[i]] = int(i);
  }
  std::map<uint32_t, int> seen;
  for (const auto& [id, v] : this->entries(map)) {
    EXPECT_TRUE(seen.emplace(id, v).second) << "id " << id << " visited twice";
  }
  EXPECT_EQ(seen, expected);
}

TYPED_TEST(HybridHashMapTest, ClearStartsOverAsAnEmptySmallMap) {
  for (size_t fill : {size_t{0}, size_t{5}, std::size(kIds)}) {
    typename TestFixture::Map map;
    for (size_t i = 0; i < fill; ++i) map.insert(kIds[i], this->make(int(i)));
    map.clear();
    EXPECT_TRUE(map.is_small()) << fill;
    EXPECT_EQ(map.size(), 0u) << fill;
    EXPECT_EQ(this->value_of(map, kIds[0]), std::nullopt) << fill;
    map.insert(kIds[1], this->make(11));
    EXPECT_EQ(this->entries(map), (std::vector<std::pair<uint32_t, int>>{{kIds[1], 11}}));
  }
}

TYPED_TEST(HybridHashMapTest, MovingHandsOverEveryEntry) {
  for (size_t fill : {size_t{3}, size_t{8}, std::size(kIds)}) {
    typename TestFixture::Map source;
    for (size_t i = 0; i < fill; ++i) source.insert(kIds[i], this->make(int(i)));
    const auto expected = this->entries(source);

    typename TestFixture::Map moved(std::move(source));
    EXPECT_EQ(this->entries(moved), expected) << fill;
    EXPECT_EQ(moved.is_small(), fill <= 8) << fill;

    typename TestFixture::Map assigned;
    assigned.insert(5, this->make(5));
    assigned = std::move(moved);
    EXPECT_EQ(this->entries(assigned), expected) << fill;
    // Id 5 is not among kIds: the assigned map's own entry is dropped.
    EXPECT_EQ(this->value_of(assigned, 5), std::nullopt) << fill;
    // Moved-from maps stay usable.
    source.clear();
    source.insert(1, this->make(1));
    EXPECT_EQ(source.size(), 1u);
  }
}

// Random inserts against a std::map model, compared after every operation.
TYPED_TEST(HybridHashMapTest, AgreesWithAModelUnderRandomInserts) {
  for (uint32_t seed = 1; seed <= 20; ++seed) {
    std::mt19937 rng(seed);
    // Small domains keep some maps small for their whole life.
    const uint32_t domain = 4 + seed;
    typename TestFixture::Map map;
    std::map<uint32_t, int> model;
    bool switched = false;
    for (int step = 0; step < 60; ++step) {
      const uint32_t id = rng() % domain * 2654435761u;
      const int v = int(rng() % 1000);
      const auto old = map.insert(id, this->make(v));
      const auto it = model.find(id);
      ASSERT_EQ(old.has_value(), it != model.end()) << "seed " << seed << " step " << step;
      if (old) {
        EXPECT_EQ(this->read(*old), it->second);
      }
      model[id] = v;
      switched = switched || model.size() > 8;
      ASSERT_EQ(map.size(), model.size());
      ASSERT_EQ(map.is_small(), !switched);
      for (const auto& [mid, mv] : model) ASSERT_EQ(this->value_of(map, mid), mv);
    }
  }
}

// Values whose slots were never filled must never be destroyed; the tracker
// fails at once if the map destroys a raw slot or a value twice.
TEST(HybridHashMapLifetime, EveryValueIsDestroyedExactlyOnce) {
  const int constructed_before = Tracked::constructed();
  const int destroyed_before = Tracked::destroyed();
  {
    HybridHashMap<Tracked> partly_filled;
    for (uint32_t id = 0; id < 5; ++id) partly_filled.insert(id, Tracked(int(id)));
    EXPECT_EQ(Tracked::live().size(), 5u);

    HybridHashMap<Tracked> switched;
    for (uint32_t id = 0; id < 9; ++id) switched.insert(id, Tracked(int(id)));
    EXPECT_EQ(Tracked::live().size(), 5u + 9u);

    auto replaced = switched.insert(4, Tracked(40));
    ASSERT_TRUE(replaced.has_value());
    EXPECT_EQ(Tracked::live().size(), 5u + 9u + 1u);
    replaced.reset();
    EXPECT_EQ(Tracked::live().size(), 5u + 9u);

    partly_filled.clear();
    EXPECT_EQ(Tracked::live().size(), 9u);
  }
  EXPECT_TRUE(Tracked::live().empty());
  EXPECT_EQ(Tracked::constructed() - constructed_before, Tracked::destroyed() - destroyed_before);
}

}  // namespace
}  // namespace qdx
