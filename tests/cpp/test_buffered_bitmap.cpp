#include "structures/buffered_bitmap.hpp"

#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "structures/boolean_sets.hpp"

namespace qdx {
namespace {

using Ids = std::vector<uint32_t>;

Ids iota_ids(uint32_t first, size_t count) {
  Ids ids(count);
  for (size_t i = 0; i < count; ++i) ids[i] = first + static_cast<uint32_t>(i);
  return ids;
}

template <typename Cell>
class BufferedBitmapTest : public ::testing::Test {
 protected:
  static constexpr size_t kN = Cell::kCapacity;
  Cell cell;
};

using CellTypes = ::testing::Types<BufferedBitmap<64>, BufferedBitmap<32>>;
TYPED_TEST_SUITE(BufferedBitmapTest, CellTypes);

TYPED_TEST(BufferedBitmapTest, FullBufferIsEmptiedByTheNextAdd) {
  const size_t n = this->kN;
  for (uint32_t id : iota_ids(100, n)) this->cell.buffered_add(id);
  EXPECT_EQ(this->cell.buffered(), n);
  EXPECT_TRUE(this->cell.bitmap().empty());

  this->cell.buffered_add(7);
  EXPECT_EQ(this->cell.buffered(), 1u);
  EXPECT_EQ(this->cell.bitmap().to_vector(), iota_ids(100, n));
  EXPECT_FALSE(this->cell.bitmap().contains(7));
}

TYPED_TEST(BufferedBitmapTest, FlushMovesBufferIntoBitmap) {
  this->cell.flush();
  EXPECT_TRUE(this->cell.bitmap().empty());
  EXPECT_EQ(this->cell.buffered(), 0u);

  for (uint32_t id : {9u, 3u, 4294967295u}) this->cell.buffered_add(id);
  this->cell.flush();
  EXPECT_EQ(this->cell.buffered(), 0u);
  EXPECT_EQ(this->cell.bitmap().to_vector(), (Ids{3, 9, 4294967295u}));
  this->cell.flush();
  EXPECT_EQ(this->cell.bitmap().cardinality(), 3u);
}

TYPED_TEST(BufferedBitmapTest, ManyBatchesWithDuplicatesEndUpInBitmap) {
  std::set<uint32_t> model;
  for (size_t i = 0; i < 10 * this->kN + 3; ++i) {
    const uint32_t id = static_cast<uint32_t>((i * 2654435761u) % 5000);
    this->cell.buffered_add(id);
    model.insert(id);
    ASSERT_LE(this->cell.buffered(), this->kN);
  }
  this->cell.flush();
  EXPECT_EQ(this->cell.bitmap().to_vector(), Ids(model.begin(), model.end()));
}

TYPED_TEST(BufferedBitmapTest, DirectAddBypassesBuffer) {
  this->cell.buffered_add(1);
  this->cell.add(2);
  EXPECT_EQ(this->cell.buffered(), 1u);
  EXPECT_EQ(this->cell.bitmap().to_vector(), Ids{2});
}

TYPED_TEST(BufferedBitmapTest, RemoveLooksAtBitmapOnly) {
  this->cell.add(5);
  this->cell.buffered_add(6);
  this->cell.remove(5);
  this->cell.remove(6);
  EXPECT_FALSE(this->cell.bitmap().contains(5));
  EXPECT_EQ(this->cell.buffered(), 1u);
  this->cell.flush();
  EXPECT_EQ(this->cell.bitmap().to_vector(), Ids{6});
}

TEST(BooleanSets, DirectInsertGoesToTheValuesCell) {
  BooleanSets sets;
  EXPECT_TRUE(sets.empty());
  sets.insert(1, true);
  sets.insert(2, false);
  sets.insert(3, true);
  EXPECT_FALSE(sets.empty());
  EXPECT_EQ(sets.set(true).to_vector(), (Ids{1, 3}));
  EXPECT_EQ(sets.set(false).to_vector(), Ids{2});
  EXPECT_EQ(sets.ids().to_vector(), (Ids{1, 2, 3}));
}

TEST(BooleanSets, EqualIsAnIndependentCopy) {
  BooleanSets sets;
  sets.insert(4, false);
  Bitmap copy = sets.equal(false);
  copy.add(5);
  sets.insert(6, false);
  EXPECT_EQ(copy.to_vector(), (Ids{4, 5}));
  EXPECT_EQ(sets.equal(false).to_vector(), (Ids{4, 6}));
  EXPECT_TRUE(sets.equal(true).empty());
}

TEST(BooleanSets, BufferedInsertShowsAfterFlush) {
  BooleanSets sets;
  for (uint32_t id : iota_ids(0, 64)) sets.buffered_insert(id, true);
  sets.buffered_insert(1000, false);
  EXPECT_TRUE(sets.empty());
  EXPECT_EQ(sets.buffered(true), 64u);
  sets.buffered_insert(64, true);
  EXPECT_EQ(sets.set(true).cardinality(), 64u);
  EXPECT_EQ(sets.buffered(true), 1u);
  sets.flush();
  EXPECT_EQ(sets.buffered(true), 0u);
  EXPECT_EQ(sets.buffered(false), 0u);
  EXPECT_EQ(sets.set(true).to_vector(), iota_ids(0, 65));
  EXPECT_EQ(sets.set(false).to_vector(), Ids{1000});
}

TEST(BooleanSets, RemoveTouchesOnlyTheNamedCell) {
  BooleanSets sets;
  sets.insert(8, true);
  sets.insert(8, false);
  sets.remove(8, true);
  EXPECT_TRUE(sets.set(true).empty());
  EXPECT_EQ(sets.set(false).to_vector(), Ids{8});
  sets.remove(8, false);
  EXPECT_TRUE(sets.empty());
}

TEST(BooleanSets, NarrowIntersectsBothCells) {
  BooleanSets sets;
  for (uint32_t id : {1u, 2u, 3u}) sets.insert(id, true);
  for (uint32_t id : {4u, 5u}) sets.insert(id, false);
  sets.narrow(Bitmap::of({2, 5, 9}));
  EXPECT_EQ(sets.set(true).to_vector(), Ids{2});
  EXPECT_EQ(sets.set(false).to_vector(), Ids{5});
  sets.narrow(Bitmap());
  EXPECT_TRUE(sets.empty());
}

TEST(BooleanSets, UnionAddsCellWise) {
  BooleanSets mine;
  BooleanSets other;
  mine.insert(1, true);
  other.insert(2, true);
  other.insert(3, false);
  mine.union_with(other);
  EXPECT_EQ(mine.set(true).to_vector(), (Ids{1, 2}));
  EXPECT_EQ(mine.set(false).to_vector(), Ids{3});
  EXPECT_EQ(other.set(true).to_vector(), Ids{2});
  mine.union_with(mine);
  EXPECT_EQ(mine.ids().to_vector(), (Ids{1, 2, 3}));
}

}  // namespace
}  // namespace qdx
