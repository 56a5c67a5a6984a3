#include "structures/centered_array.hpp"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include "base/panic.hpp"

namespace qdx {
namespace {

using Ids = std::vector<uint32_t>;

// One step of a scenario: insert (+) or remove (-) an id.
struct Step {
  char op;
  uint32_t id;
};

CenteredArray build(const std::vector<Step>& steps) {
  CenteredArray array;
  for (const Step& s : steps) {
    if (s.op == '+') {
      array.insert(s.id);
    } else {
      array.remove(s.id);
    }
  }
  return array;
}

Ids run_of(const CenteredArray& array) {
  const auto run = array.run();
  return Ids(run.begin(), run.end());
}

template <typename F>
std::string panic_text(F&& f) {
  try {
    f();
  } catch (const Panic& p) {
    return p.what();
  }
  return "<no panic>";
}

TEST(CenteredArray, StartsZeroed) {
  const CenteredArray array;
  EXPECT_EQ(array.size(), 0u);
  EXPECT_EQ(array.start(), 0u);
  EXPECT_EQ(array.slots(), (std::array<uint32_t, 4>{0, 0, 0, 0}));
  EXPECT_TRUE(array.run().empty());
}

struct Scenario {
  const char* name;
  std::vector<Step> steps;
  size_t start;
  Ids run;
};

class CenteredArrayScenario : public ::testing::TestWithParam<Scenario> {};

// Each row pins where the run ends up, which shows both the recentring rule
// and the side chosen for every shift.
TEST_P(CenteredArrayScenario, EndsAtExpectedSlots) {
  const Scenario& s = GetParam();
  const CenteredArray array = build(s.steps);
  EXPECT_EQ(array.start(), s.start);
  EXPECT_EQ(run_of(array), s.run);
  for (size_t i = 0; i < s.run.size(); ++i) EXPECT_EQ(array.slots()[s.start + i], s.run[i]);
  EXPECT_TRUE(array.valid());
}

const std::vector<Step> kFull = {{'+', 10}, {'+', 20}, {'+', 30}, {'+', 40}};

std::vector<Step> full_then(std::vector<Step> more) {
  std::vector<Step> steps = kFull;
  steps.insert(steps.end(), more.begin(), more.end());
  return steps;
}

INSTANTIATE_TEST_SUITE_P(
    Table, CenteredArrayScenario,
    ::testing::Values(
        Scenario{"OneIdRecentresEmptyToTwo", {{'+', 10}}, 2, {10}},
        Scenario{"TwoAscending", {{'+', 10}, {'+', 20}}, 2, {10, 20}},
        Scenario{
            "ThreeAscendingRecentresToOne", {{'+', 10}, {'+', 20}, {'+', 30}}, 1, {10, 20, 30}},
        Scenario{"FourAscendingFillsFromZero", kFull, 0, {10, 20, 30, 40}},
        Scenario{"SmallerIdShiftsRightWhenLenOne", {{'+', 20}, {'+', 10}}, 2, {10, 20}},
        Scenario{
            "FrontInsertShiftsLeftAfterRecentre", {{'+', 10}, {'+', 20}, {'+', 5}}, 0, {5, 10, 20}},
        Scenario{"DescendingThreeEndsAtZero", {{'+', 30}, {'+', 20}, {'+', 10}}, 0, {10, 20, 30}},
        Scenario{"MiddleInsertShiftsRight", {{'+', 10}, {'+', 30}, {'+', 20}}, 1, {10, 20, 30}},
        Scenario{"FrontInsertAtStartZeroShiftsRight",
                 {{'+', 10}, {'+', 20}, {'+', 30}, {'+', 5}},
                 0,
                 {5, 10, 20, 30}},
        Scenario{"PresentIdKeepsLenAndStart", {{'+', 10}, {'+', 10}}, 2, {10}},
        Scenario{"PresentIdStillRecentres",
                 full_then({{'-', 30}, {'-', 40}, {'-', 20}, {'+', 10}}),
                 1,
                 {10}},
        Scenario{"RemoveShiftsShortSideRight", full_then({{'-', 20}}), 1, {10, 30, 40}},
        Scenario{"RemoveShiftsTailLeft", full_then({{'-', 30}}), 0, {10, 20, 40}},
        Scenario{"RemoveFirstOfFour", full_then({{'-', 10}}), 1, {20, 30, 40}},
        Scenario{"RemoveLastOfFour", full_then({{'-', 40}}), 0, {10, 20, 30}},
        Scenario{"RemoveAbsentChangesNothing", full_then({{'-', 25}}), 0, {10, 20, 30, 40}},
        Scenario{"RemoveNeverRecentres", full_then({{'-', 30}, {'-', 40}, {'-', 20}}), 0, {10}},
        Scenario{"RemoveOnlyKeepsStartTwo", {{'+', 10}, {'-', 10}}, 2, {}},
        Scenario{"InsertAfterEmptiedAtTwo", {{'+', 10}, {'-', 10}, {'+', 7}}, 2, {7}},
        Scenario{"InsertAfterEmptiedAtOne",
                 {{'+', 10}, {'+', 20}, {'+', 30}, {'-', 10}, {'-', 20}, {'-', 30}, {'+', 5}},
                 1,
                 {5}},
        Scenario{"ExtremeIds", {{'+', 4294967295u}, {'+', 0}, {'+', 1}}, 1, {0, 1, 4294967295u}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CenteredArray, InsertIntoFourPanicsAndLeavesArray) {
  CenteredArray array = build(kFull);
  EXPECT_EQ(panic_text([&] { array.insert(50); }), "CenteredArray full");
  EXPECT_EQ(panic_text([&] { array.insert(20); }), "CenteredArray full");
  EXPECT_EQ(array.start(), 0u);
  EXPECT_EQ(run_of(array), (Ids{10, 20, 30, 40}));
}

struct MergeCase {
  const char* name;
  Ids mine;
  Ids theirs;
  size_t start;
  Ids run;
};

class CenteredArrayMerge : public ::testing::TestWithParam<MergeCase> {};

CenteredArray from_ids(const Ids& ids) {
  CenteredArray array;
  for (uint32_t id : ids) array.insert(id);
  return array;
}

TEST_P(CenteredArrayMerge, GivesCentredUnion) {
  const MergeCase& c = GetParam();
  CenteredArray mine = from_ids(c.mine);
  const CenteredArray theirs = from_ids(c.theirs);
  mine.merge(theirs);
  EXPECT_EQ(mine.start(), c.start);
  EXPECT_EQ(run_of(mine), c.run);
  EXPECT_EQ(run_of(theirs), c.theirs);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CenteredArrayMerge,
    ::testing::Values(MergeCase{"SharedId", {1, 3}, {2, 3}, 0, {1, 2, 3}},
                      MergeCase{"BothEmpty", {}, {}, 2, {}},
                      MergeCase{"OneWithEmpty", {5}, {}, 1, {5}},
                      MergeCase{"EmptyWithOne", {}, {5}, 1, {5}},
                      MergeCase{"DisjointToFour", {1, 2}, {3, 4}, 0, {1, 2, 3, 4}},
                      MergeCase{"Interleaved", {1, 7}, {4, 9}, 0, {1, 4, 7, 9}},
                      MergeCase{"EqualThrees", {1, 2, 3}, {1, 2, 3}, 0, {1, 2, 3}},
                      MergeCase{"FourWithSubset", {1, 2, 3, 4}, {2, 4}, 0, {1, 2, 3, 4}},
                      MergeCase{"TwoFromOneSide", {9, 4000000000u}, {}, 1, {9, 4000000000u}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CenteredArray, MergeRecentresAnOffCentreRun) {
  // start 0, len 1 after removals; a merge with nothing moves it to slot 1.
  CenteredArray array = build(full_then({{'-', 30}, {'-', 40}, {'-', 20}}));
  ASSERT_EQ(array.start(), 0u);
  array.merge(CenteredArray());
  EXPECT_EQ(array.start(), 1u);
  EXPECT_EQ(run_of(array), Ids{10});
}

TEST(CenteredArray, MergeWithItself) {
  CenteredArray array = from_ids({3, 8});
  array.merge(array);
  EXPECT_EQ(array.start(), 1u);
  EXPECT_EQ(run_of(array), (Ids{3, 8}));
}

class CenteredArrayOverfullMerge : public ::testing::TestWithParam<std::pair<Ids, Ids>> {};

// A union of more than four ids is out of range whether the fifth id shows
// up while both runs still have elements or in the leftover tail.
TEST_P(CenteredArrayOverfullMerge, PanicsAndLeavesArray) {
  CenteredArray mine = from_ids(GetParam().first);
  const CenteredArray theirs = from_ids(GetParam().second);
  const std::string text = panic_text([&] { mine.merge(theirs); });
  EXPECT_NE(text.find("index out of bounds"), std::string::npos) << text;
  EXPECT_EQ(run_of(mine), GetParam().first);
}

INSTANTIATE_TEST_SUITE_P(Table, CenteredArrayOverfullMerge,
                         ::testing::Values(std::pair<Ids, Ids>{{1, 3, 5, 7}, {2, 4, 6, 8}},
                                           std::pair<Ids, Ids>{{1, 2, 3}, {4, 5}},
                                           std::pair<Ids, Ids>{{1, 2}, {3, 4, 5}},
                                           std::pair<Ids, Ids>{{1, 2, 3, 4}, {5}},
                                           std::pair<Ids, Ids>{{5}, {1, 2, 3, 4}}));

// Random insert/remove sequences against std::set, checking the invariants
// and the contents after every step.
TEST(CenteredArray, MatchesSetModelUnderRandomOps) {
  std::mt19937 rng(12345);
  for (int round = 0; round < 200; ++round) {
    CenteredArray array;
    std::set<uint32_t> model;
    for (int step = 0; step < 60; ++step) {
      const uint32_t id = rng() % 8;
      if (rng() % 2 == 0 && model.size() < 4) {
        if (array.size() == 4) continue;
        array.insert(id);
        model.insert(id);
      } else {
        array.remove(id);
        model.erase(id);
      }
      ASSERT_TRUE(array.valid());
      ASSERT_EQ(run_of(array), Ids(model.begin(), model.end()));
    }
  }
}

}  // namespace
}  // namespace qdx
