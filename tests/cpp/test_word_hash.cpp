// The word hash and byte digest are part of every stored value's hash, so
// their outputs are pinned. The expected values were computed from the
// definitions with an independent big-integer implementation (a few lines of
// Python), not from this code.
#include <gtest/gtest.h>

#include <string_view>

#include "base/word_hash.hpp"

namespace qdx {
namespace {

struct DigestCase {
  std::string_view text;
  uint64_t digest;
};

class ByteDigest : public ::testing::TestWithParam<DigestCase> {};

TEST_P(ByteDigest, MatchesReferenceValue) {
  EXPECT_EQ(byte_digest(GetParam().text), GetParam().digest) << GetParam().text;
}

// Lengths 0, 1, 3 (short path), 4, 8, 16 (the two-load paths at their edges),
// 17 and 43 (the 16-byte loop with an overlapping tail), and multi-byte UTF-8.
INSTANTIATE_TEST_SUITE_P(Vectors, ByteDigest,
                         ::testing::Values(DigestCase{"", 0xbc13060e2d1aac79ULL},
                                           DigestCase{"a", 0xdfe4b1209783ba09ULL},
                                           DigestCase{"abc", 0x800f6fadd6111505ULL},
                                           DigestCase{"abcd", 0x5b079a5da0914541ULL},
                                           DigestCase{"hello wo", 0x99e9d4dadc247f79ULL},
                                           DigestCase{"0123456789abcdef", 0x89e3150d52c5465eULL},
                                           DigestCase{"0123456789abcdefg", 0x7c50ed4bd2e4c458ULL},
                                           DigestCase{"The quick brown fox jumps over the lazy dog",
                                                      0xa31615e9bc1c727fULL},
                                           DigestCase{"h\xc3\xa9llo", 0x1f58fb1968d27cd4ULL}));

TEST(WordHash, MatchesReferenceValues) {
  WordHasher h;
  h.write(5);
  h.write(1);
  EXPECT_EQ(h.finish(), 0x310dcc870957f08bULL);
  EXPECT_EQ(word_hash1(0), 0u);
  WordHasher three;
  for (uint64_t w : {1, 2, 3}) three.write(w);
  EXPECT_EQ(three.finish(), 0xcb7c8430f94d10faULL);
}

TEST(WordHash, OrderOfWordsMatters) {
  WordHasher ab, ba;
  ab.write(1);
  ab.write(2);
  ba.write(2);
  ba.write(1);
  EXPECT_NE(ab.finish(), ba.finish());
}

}  // namespace
}  // namespace qdx
