#include "structures/string_postings.hpp"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace qdx {
namespace {

using Ids = std::vector<uint32_t>;
using Model = std::map<std::string, std::set<uint32_t>>;

Ids to_ids(const Bitmap& b) {
  return b.to_vector();
}

// Strings from a small alphabet, so that strings, prefixes and suffixes
// repeat; a few long ones cross the length header's one-byte limit and the
// arena's block size, and bytes above 0x7f check the unsigned byte order.
std::string random_string(std::mt19937& rng) {
  const unsigned kind = rng() % 16;
  if (kind == 0) return std::string(130 + rng() % 4, 'x');
  if (kind == 1 && rng() % 8 == 0) return std::string(70000 + rng() % 3, 'y');
  static const char kBytes[] = {'a', 'b', 'c', '\0', '\xff', '\x80'};
  std::string s(rng() % 5, 'a');
  for (char& c : s) c = kBytes[rng() % (kind < 8 ? 2 : 6)];
  return s;
}

// Every query of the structure against the brute-force model.
void check(const StringPostings& postings, const Model& model, std::mt19937& rng) {
  postings.validate();
  ASSERT_EQ(postings.size(), model.size());
  Bitmap candidates;
  for (uint32_t id = 0; id < 64; ++id) {
    if (rng() % 2 != 0) candidates.add(id);
  }
  for (int probe = 0; probe < 12; ++probe) {
    const std::string s = random_string(rng);
    const auto found = model.find(s);
    const std::set<uint32_t> held = found == model.end() ? std::set<uint32_t>{} : found->second;
    ASSERT_EQ(postings.count(s), held.size()) << s;
    ASSERT_EQ(to_ids(postings.equal_all(s)), Ids(held.begin(), held.end()));
    Ids inside;
    for (const uint32_t id : held) {
      if (candidates.contains(id)) inside.push_back(id);
    }
    ASSERT_EQ(to_ids(postings.equal_within(s, candidates)), inside);
    const uint32_t id = rng() % 64;
    ASSERT_EQ(postings.holds(s, id), held.contains(id));
    if (const Bitmap* large = postings.heavy_bitmap(s)) {
      ASSERT_EQ(to_ids(*large), to_ids(postings.equal_all(s)));
    }

    // Prefix and suffix collection, with and without giving up.
    std::set<uint32_t> starting, ending;
    for (const auto& [t, ids] : model) {
      if (t.starts_with(s)) starting.insert(ids.begin(), ids.end());
      if (t.ends_with(s)) ending.insert(ids.begin(), ids.end());
    }
    const auto prefix = postings.collect_prefix(s, 1000);
    ASSERT_TRUE(prefix.has_value());
    ASSERT_EQ(to_ids(*prefix), Ids(starting.begin(), starting.end())) << s;
    const auto suffix = postings.collect_suffix(s, 1000);
    ASSERT_TRUE(suffix.has_value());
    ASSERT_EQ(to_ids(*suffix), Ids(ending.begin(), ending.end())) << s;
    if (!starting.empty()) {
      ASSERT_FALSE(postings.collect_prefix(s, starting.size() - 1));
    }
    if (!ending.empty()) {
      ASSERT_FALSE(postings.collect_suffix(s, ending.size() - 1));
    }
  }

  // Ordered walks, both ways, whole and between bounds.
  for (const bool descending : {false, true}) {
    const std::optional<std::string> lower =
        rng() % 2 ? std::optional(random_string(rng)) : std::nullopt;
    const std::optional<std::string> upper =
        rng() % 2 ? std::optional(random_string(rng)) : std::nullopt;
    std::vector<std::pair<std::string, Ids>> walked;
    postings.walk(
        descending,
        [&](std::string_view s, const auto& ids) {
          Ids out;
          if constexpr (std::is_same_v<std::decay_t<decltype(ids)>, HybridSet>) {
            out = to_ids(ids.to_bitmap());
          } else {
            out.assign(ids.begin(), ids.end());
          }
          walked.emplace_back(std::string(s), out);
          return true;
        },
        lower, upper);
    std::vector<std::pair<std::string, Ids>> expected;
    for (const auto& [t, ids] : model) {
      if ((!lower || t >= *lower) && (!upper || t <= *upper)) {
        expected.emplace_back(t, Ids(ids.begin(), ids.end()));
      }
    }
    if (descending) std::reverse(expected.begin(), expected.end());
    ASSERT_EQ(walked, expected);
  }
}

// A bulk build's arena: one mapped block reserved above what is added, cut
// back to the pages used, then grown by ordinary blocks. Strings cross window
// boundaries inside the big block; every reference must still read back.
TEST(StringArena, ReservedBlockShrinksAndKeepsEveryString) {
  std::mt19937 rng(7);
  StringArena arena;
  arena.reserve(size_t{3} << 20);
  std::vector<std::pair<uint32_t, std::string>> added;
  auto add = [&](size_t length) {
    std::string s(length, '\0');
    for (char& c : s) c = static_cast<char>(rng());
    added.emplace_back(arena.add(s), std::move(s));
  };
  for (size_t bytes = 0; bytes < (size_t{3} << 19);) {
    const size_t length = rng() % 7 == 0 ? 70000 : rng() % 300;
    add(length);
    bytes += StringArena::footprint(length);
  }
  arena.shrink_to_fit();
  EXPECT_LT(arena.memory_bytes(), size_t{2} << 20);
  for (int k = 0; k < 2000; ++k) add(k % 500 == 0 ? 100000 : rng() % 40);
  for (const auto& [ref, s] : added) ASSERT_EQ(arena.get(ref), s);
}

// Random inserts, removals, bulk insertions and narrowing under several tier
// thresholds (1 makes every string heavy, a large one none); a compaction
// threshold of 0 copies the arena at every chance.
class StringPostingsModel : public ::testing::TestWithParam<std::pair<uint64_t, size_t>> {};

TEST_P(StringPostingsModel, AgreesWithBruteForce) {
  const auto [heavy, compact_from] = GetParam();
  for (uint32_t seed = 1; seed <= 6; ++seed) {
    std::mt19937 rng(seed);
    StringPostings postings(heavy, compact_from);
    Model model;
    std::map<uint32_t, std::string> value_of;
    for (int step = 0; step < 300; ++step) {
      const unsigned op = rng() % 20;
      if (op < 10) {
        const uint32_t id = rng() % 64;
        if (value_of.contains(id)) continue;
        const std::string s = random_string(rng);
        postings.insert(s, id);
        model[s].insert(id);
        value_of[id] = s;
      } else if (op < 17) {
        if (value_of.empty()) continue;
        auto it = std::next(value_of.begin(), static_cast<long>(rng() % value_of.size()));
        postings.remove(it->second, it->first);
        postings.remove(it->second, it->first);  // absent: no-op
        model[it->second].erase(it->first);
        if (model[it->second].empty()) model.erase(it->second);
        value_of.erase(it);
      } else if (op < 19) {
        // A batch, sorted by bytes then id, possibly adding to held strings.
        std::vector<std::pair<std::string, uint32_t>> batch;
        for (int k = rng() % 24; k > 0; --k) {
          const uint32_t id = rng() % 64;
          if (value_of.contains(id)) continue;
          value_of[id] = random_string(rng);
          batch.emplace_back(value_of[id], id);
          model[value_of[id]].insert(id);
        }
        std::sort(batch.begin(), batch.end());
        std::vector<std::pair<std::string_view, uint32_t>> views(batch.begin(), batch.end());
        postings.insert_sorted(views);
      } else {
        Bitmap filter;
        for (uint32_t id = 0; id < 64; ++id) {
          if (rng() % 4 != 0) filter.add(id);
        }
        postings.narrow(filter);
        for (auto it = value_of.begin(); it != value_of.end();) {
          if (filter.contains(it->first)) {
            ++it;
            continue;
          }
          model[it->second].erase(it->first);
          if (model[it->second].empty()) model.erase(it->second);
          it = value_of.erase(it);
        }
      }
      if (step % 10 == 0) {
        ASSERT_NO_FATAL_FAILURE(check(postings, model, rng)) << "step " << step;
      }
    }
    ASSERT_NO_FATAL_FAILURE(check(postings, model, rng));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Tiers, StringPostingsModel,
    ::testing::Values(std::pair<uint64_t, size_t>{3, 0}, std::pair<uint64_t, size_t>{1, 64},
                      std::pair<uint64_t, size_t>{1000, 0},
                      std::pair<uint64_t, size_t>{StringPostings::kHeavy,
                                                  StringPostings::kCompactFrom}));

}  // namespace
}  // namespace qdx
