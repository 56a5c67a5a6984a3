#include "structures/positional_bitmap.hpp"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "base/panic.hpp"

namespace qdx {
namespace {

using Ids = std::vector<uint32_t>;

// A query kind: the structure's operation, its restricted form, and the byte
// semantics it must reproduce (Python bytes ==, startswith, endswith, `in`).
struct Kind {
  Bitmap (PositionalBitmap::*plain)(std::string_view) const;
  Bitmap (PositionalBitmap::*within)(std::string_view, const Bitmap&) const;
  bool (*matches)(const std::string& s, const std::string& p);
  const char* name;
};

const Kind kEqual{&PositionalBitmap::equal, &PositionalBitmap::equal_within,
                  [](const std::string& s, const std::string& p) { return s == p; }, "equal"};
const Kind kStartsWith{&PositionalBitmap::starts_with, &PositionalBitmap::starts_with_within,
                       [](const std::string& s, const std::string& p) { return s.starts_with(p); },
                       "starts_with"};
const Kind kEndsWith{&PositionalBitmap::ends_with, &PositionalBitmap::ends_with_within,
                     [](const std::string& s, const std::string& p) { return s.ends_with(p); },
                     "ends_with"};
const Kind kContains{
    &PositionalBitmap::contains, &PositionalBitmap::contains_within,
    [](const std::string& s, const std::string& p) { return s.find(p) != std::string::npos; },
    "contains"};
const Kind kAllKinds[] = {kEqual, kStartsWith, kEndsWith, kContains};

Bitmap query(const PositionalBitmap& pb, const Kind& kind, const std::string& p) {
  return (pb.*kind.plain)(p);
}
Bitmap query_within(const PositionalBitmap& pb, const Kind& kind, const std::string& p,
                    const Bitmap& c) {
  return (pb.*kind.within)(p, c);
}

using Model = std::map<uint32_t, std::string>;

Ids expected(const Model& model, const Kind& kind, const std::string& p,
             const Bitmap* within = nullptr) {
  Ids out;
  for (const auto& [id, s] : model) {
    if (kind.matches(s, p) && (within == nullptr || within->contains(id))) out.push_back(id);
  }
  return out;
}

// ---- Fixed cases ------------------------------------------------------------

struct Case {
  Kind kind;
  std::string pattern;
  std::vector<std::string> hits;  // stored strings the query must return
};

// Strings stored for the table; inserted longest last so the frame grows
// while shorter strings (including full-width-at-the-time ones) are stored.
const std::vector<std::string> kStored = {
    "ab", "abc", "", "c", "bc", "ca", "ax", "x", "abcd", "abcdefgh", "h\xc3\xa9", "xyzxyzxyzxyz"};

class FixedQuery : public testing::TestWithParam<Case> {};

TEST_P(FixedQuery, ReturnsExactlyTheMatchingStrings) {
  PositionalBitmap pb;
  for (size_t i = 0; i < kStored.size(); ++i) pb.insert(static_cast<uint32_t>(i), kStored[i]);
  Ids want;
  for (const std::string& h : GetParam().hits) {
    auto it = std::find(kStored.begin(), kStored.end(), h);
    ASSERT_NE(it, kStored.end()) << h;
    want.push_back(static_cast<uint32_t>(it - kStored.begin()));
  }
  std::sort(want.begin(), want.end());
  EXPECT_EQ(query(pb, GetParam().kind, GetParam().pattern).to_vector(), want);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FixedQuery,
    testing::Values(
        Case{kEqual, "abc", {"abc"}}, Case{kEqual, "", {""}}, Case{kEqual, "ab", {"ab"}},
        Case{kEqual, "abcdefgh", {"abcdefgh"}}, Case{kEqual, std::string(20, 'a'), {}},
        Case{kEndsWith, "c", {"abc", "c", "bc"}}, Case{kStartsWith, "x", {"x", "xyzxyzxyzxyz"}},
        Case{kStartsWith, "ab", {"ab", "abc", "abcd", "abcdefgh"}},
        Case{kEndsWith, "\xc3\xa9", {"h\xc3\xa9"}}, Case{kContains, "gh", {"abcdefgh"}},
        Case{kContains, "zxyz", {"xyzxyzxyzxyz"}}, Case{kContains, "\xa9", {"h\xc3\xa9"}},
        Case{kStartsWith, "", kStored}, Case{kEndsWith, "", kStored}, Case{kContains, "", kStored},
        Case{kContains, std::string(14, 'x'), {}}));

TEST(PositionalBitmap, FrameStaysWiderThanTheLongestString) {
  PositionalBitmap pb;
  EXPECT_EQ(pb.width(), 0u);
  pb.insert(1, "abc");
  EXPECT_EQ(pb.width(), 4u);
  // An even-length string as long as the frame widens it to stay strictly wider.
  pb.insert(2, "abcdef");
  EXPECT_EQ(pb.width(), 8u);
  pb.insert(3, "ab");
  EXPECT_EQ(pb.width(), 8u);
  EXPECT_EQ(pb.equal("abc").to_vector(), Ids{1});
  EXPECT_EQ(pb.equal("abcdef").to_vector(), Ids{2});
  EXPECT_EQ(pb.ends_with("ef").to_vector(), Ids{2});
  pb.validate();
}

TEST(PositionalBitmap, FirstStringOfEvenLengthSurvivesGrowth) {
  PositionalBitmap pb;
  pb.insert(7, "ab");
  pb.insert(8, std::string(31, 'q'));
  for (const Kind& kind : kAllKinds) EXPECT_EQ(query(pb, kind, "ab").to_vector(), Ids{7});
  pb.remove(7, "ab");
  EXPECT_TRUE(pb.contains("a").empty());
  pb.validate();
}

TEST(PositionalBitmap, RemoveKeepsWidthAndForgetsTheId) {
  PositionalBitmap pb;
  pb.insert(1, "hello");
  pb.insert(2, "");
  pb.insert(3, "help");
  pb.remove(1, "hello");
  pb.remove(2, "");
  EXPECT_EQ(pb.width(), 6u);
  EXPECT_EQ(pb.starts_with("hel").to_vector(), Ids{3});
  EXPECT_EQ(pb.ids().to_vector(), Ids{3});
  EXPECT_TRUE(pb.equal("").empty());
  // A string that was never stored changes nothing.
  pb.remove(3, "longer than the frame");
  EXPECT_EQ(pb.ids().to_vector(), Ids{3});
  EXPECT_EQ(pb.width(), 6u);
}

TEST(PositionalBitmap, BufferedInsertsAppearAfterFlush) {
  PositionalBitmap pb;
  for (uint32_t id = 0; id < 100; ++id) pb.buffered_insert(id, id % 2 ? "odd" : "even");
  pb.buffered_insert(100, "");
  EXPECT_EQ(pb.equal("").to_vector(), Ids{100});  // the empty string is added directly
  EXPECT_FALSE(pb.empty());
  pb.validate();
  pb.flush();
  EXPECT_EQ(pb.equal("odd").cardinality(), 50u);
  EXPECT_EQ(pb.ends_with("en").cardinality(), 50u);
  EXPECT_EQ(pb.ids().cardinality(), 101u);
}

TEST(PositionalBitmap, NarrowKeepsOnlyFilteredIds) {
  PositionalBitmap pb;
  pb.insert(1, "abc");
  pb.insert(2, "abd");
  pb.insert(3, "");
  pb.insert(4, "");
  pb.narrow(Bitmap::of({2, 4}));
  EXPECT_EQ(pb.starts_with("ab").to_vector(), Ids{2});
  EXPECT_EQ(pb.ids().to_vector(), (Ids{2, 4}));
  pb.validate();
}

TEST(PositionalBitmap, EmptyStructureCostsAlmostNothing) {
  PositionalBitmap pb;
  EXPECT_TRUE(pb.empty());
  EXPECT_LT(pb.memory_bytes(), 256u);
  for (const Kind& kind : kAllKinds) EXPECT_TRUE(query(pb, kind, "").empty());
  // Cells are made on use: one short string pays for a handful of cells, not
  // 258 per position.
  pb.insert(1, "ab");
  EXPECT_LT(pb.memory_bytes(), 4096u);
  pb.remove(1, "ab");
  EXPECT_TRUE(pb.empty());
}

TEST(PositionalBitmap, UnionWithSelfChangesNothing) {
  PositionalBitmap pb;
  pb.insert(1, "abc");
  pb.union_with(pb);
  EXPECT_EQ(pb.equal("abc").to_vector(), Ids{1});
  pb.validate();
}

// ---- Randomised model test ----------------------------------------------------

class Generator {
 public:
  explicit Generator(uint32_t seed) : rng_(seed) {}
  size_t below(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }
  // 0-40 bytes from a small alphabet, so patterns match often, with 2-, 3-
  // and 4-byte UTF-8 sequences among the letters.
  std::string string(size_t max_len = 40) {
    static const char* const kPieces[] = {
        "a", "b", "c", "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80"};
    std::string s;
    const size_t target = below(max_len + 1);
    while (s.size() < target) s += kPieces[below(6)];
    return s;
  }
  // A pattern related to a stored string (substring, prefix, suffix, whole),
  // or random, empty, or longer than anything stored.
  std::string pattern(const Model& model) {
    std::string base =
        model.empty() ? string() : std::next(model.begin(), below(model.size()))->second;
    const size_t a = below(base.size() + 1);
    const size_t b = a + below(base.size() - a + 1);
    switch (below(7)) {
      case 0:
        return base.substr(a, b - a);
      case 1:
        return base.substr(0, b);
      case 2:
        return base.substr(a);
      case 3:
        return base;
      case 4:
        return string(4);
      case 5:
        return "";
      default:
        return std::string(50, 'a');
    }
  }
  Bitmap subset(const Model& model) {
    Bitmap out;
    for (const auto& entry : model)
      if (below(4) == 0) out.add(entry.first);
    out.add(1000000);  // an id with no string value
    return out;
  }

 private:
  std::mt19937 rng_;
};

void check_against_model(const PositionalBitmap& pb, const Model& model, Generator& gen) {
  pb.validate();
  Ids all;
  for (const auto& entry : model) all.push_back(entry.first);
  ASSERT_EQ(pb.ids().to_vector(), all);
  for (int round = 0; round < 12; ++round) {
    const std::string p = gen.pattern(model);
    const Bitmap within = gen.subset(model);
    for (const Kind& kind : kAllKinds) {
      ASSERT_EQ(query(pb, kind, p).to_vector(), expected(model, kind, p))
          << kind.name << " '" << p << "' width " << pb.width();
      ASSERT_EQ(query_within(pb, kind, p, within).to_vector(), expected(model, kind, p, &within))
          << kind.name << " '" << p << "'";
    }
  }
}

// Fills pb and model with random strings in random order, mixing direct and
// buffered inserts and removals, checking against the model along the way.
void run_random_ops(PositionalBitmap& pb, Model& model, Generator& gen, uint32_t id_base,
                    int steps) {
  bool buffered = false;
  for (int step = 0; step < steps; ++step) {
    const uint32_t id = id_base + static_cast<uint32_t>(gen.below(150));
    auto it = model.find(id);
    if (it != model.end()) {
      // Removal reads bitmaps only; a bulk insertion flushes before anything else runs.
      if (buffered) pb.flush();
      buffered = false;
      if (gen.below(3) == 0) {  // a write; strings of one length change only differing bytes
        std::string s = gen.below(2) ? gen.string() : it->second;
        if (!s.empty()) s[gen.below(s.size())] = "abc\xc3"[gen.below(4)];
        pb.replace(id, it->second, s);
        it->second = std::move(s);
      } else {
        pb.remove(id, it->second);
        model.erase(it);
      }
    } else {
      std::string s = gen.string();
      if (gen.below(2)) {
        pb.insert(id, s);
      } else {
        pb.buffered_insert(id, s);
        buffered = true;
      }
      model[id] = std::move(s);
    }
    if (gen.below(40) == 0) {
      pb.flush();
      buffered = false;
      check_against_model(pb, model, gen);
    }
  }
  pb.flush();
}

class RandomModel : public testing::TestWithParam<uint32_t> {};

TEST_P(RandomModel, QueriesMatchBruteForce) {
  Generator gen(GetParam());
  PositionalBitmap pb;
  Model model;
  run_random_ops(pb, model, gen, 0, 600);
  check_against_model(pb, model, gen);
}

TEST_P(RandomModel, UnionRealignsFramesOfDifferentWidths) {
  Generator gen(GetParam() + 1000);
  PositionalBitmap narrow_side;
  PositionalBitmap wide_side;
  Model narrow_model;
  Model wide_model;
  // Short strings on one side, up to 40 bytes on the other; disjoint ids.
  for (uint32_t id = 0; id < 60; ++id) {
    std::string s = gen.string(gen.below(2) ? 5 : 11);
    narrow_side.insert(id, s);
    narrow_model[id] = s;
  }
  run_random_ops(wide_side, wide_model, gen, 500, 200);
  ASSERT_NE(narrow_side.width(), wide_side.width());

  for (bool narrow_into_wide : {false, true}) {
    PositionalBitmap target;
    target.union_with(narrow_into_wide ? wide_side : narrow_side);
    target.union_with(narrow_into_wide ? narrow_side : wide_side);
    Model merged = narrow_model;
    merged.insert(wide_model.begin(), wide_model.end());
    check_against_model(target, merged, gen);
  }
  check_against_model(narrow_side, narrow_model, gen);  // the source is untouched
}

INSTANTIATE_TEST_SUITE_P(Seeds, RandomModel, testing::Range<uint32_t>(1, 13));

}  // namespace
}  // namespace qdx
