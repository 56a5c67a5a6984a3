#include "structures/combination_buckets.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <vector>

namespace qdx {
namespace {

struct Case {
  const char* name;
  uint32_t ids;       // ids 0..ids-1 considered
  uint32_t distinct;  // distinct sums among them (0: every id its own)
  int keep_one_in;    // ids present: one in this many
};

class CombinationBucketsTest : public ::testing::TestWithParam<Case> {};

// Every present id is among the candidates of its sum, ascending, and each
// present id is held once.
TEST_P(CombinationBucketsTest, CandidatesHoldEverySumsIds) {
  const Case c = GetParam();
  std::mt19937_64 rng(c.ids);
  std::vector<uint32_t> sums(c.ids);
  std::vector<uint64_t> present((c.ids + 63) / 64);
  std::map<uint32_t, std::vector<uint32_t>> by_sum;
  for (uint32_t id = 0; id < c.ids; ++id) {
    const uint64_t value = c.distinct == 0 ? rng() : rng() % c.distinct;
    sums[id] = combination_term(value, 2);
    if (rng() % c.keep_one_in != 0) continue;
    present[id / 64] |= uint64_t{1} << (id % 64);
    by_sum[sums[id]].push_back(id);
  }
  const CombinationBuckets buckets = CombinationBuckets::build(sums, present);
  size_t held = 0;
  for (const auto& [sum, ids] : by_sum) {
    const auto candidates = buckets.candidates(sum);
    EXPECT_TRUE(std::is_sorted(candidates.begin(), candidates.end()));
    EXPECT_TRUE(std::includes(candidates.begin(), candidates.end(), ids.begin(), ids.end()));
    held += ids.size();
  }
  EXPECT_EQ(buckets.size(), held);
}

INSTANTIATE_TEST_SUITE_P(Shapes, CombinationBucketsTest,
                         ::testing::Values(Case{"empty", 0, 0, 1}, Case{"one", 1, 0, 1},
                                           Case{"few_sums", 50000, 12, 1},
                                           Case{"unique_sums", 40000, 0, 1},
                                           Case{"sparse_ids", 200000, 300, 9},
                                           Case{"many_sums", 100000, 20000, 2}),
                         [](const auto& info) { return std::string(info.param.name); });

// Terms differ by position: the same value at two positions is two terms.
TEST(CombinationTerm, DependsOnValueAndPosition) {
  std::set<uint32_t> terms;
  for (uint64_t value = 0; value < 100; ++value) {
    for (size_t position = 0; position < 8; ++position) {
      terms.insert(combination_term(value, position));
    }
  }
  EXPECT_EQ(terms.size(), 800u);
}

}  // namespace
}  // namespace qdx
