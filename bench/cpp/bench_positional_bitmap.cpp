// String structure: bulk and single inserts, and the four queries with
// 10-byte patterns, selective (about one id) and broad (thousands of ids),
// over 500K strings of 3-20 letters on ids spread over [0, 1M).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "structures/positional_bitmap.hpp"

namespace qdx {
namespace {

constexpr size_t kStrings = 500'000;
constexpr uint32_t kIdSpace = 1'000'000;
// A common 10-byte piece: 40% of the strings of 10+ bytes carry it as a
// prefix, a suffix or somewhere inside, which makes the broad patterns.
constexpr std::string_view kCommon = "loremipsum";

struct Data {
  std::vector<uint32_t> ids;
  std::vector<std::string> strings;
  // Selective 10-byte patterns from random strings, one per query kind: a
  // whole string, a prefix, a suffix and a middle piece.
  std::string rare[4];
};

const Data& data() {
  static const Data d = [] {
    Data out;
    std::mt19937 rng(42);
    std::vector<uint32_t> all(kIdSpace);
    std::iota(all.begin(), all.end(), 0u);
    std::shuffle(all.begin(), all.end(), rng);
    out.ids.assign(all.begin(), all.begin() + kStrings);
    std::uniform_int_distribution<int> letter('a', 'z');
    std::uniform_int_distribution<size_t> len(3, 20);
    for (size_t i = 0; i < kStrings; ++i) {
      std::string s(len(rng), ' ');
      for (char& c : s) c = static_cast<char>(letter(rng));
      if (s.size() >= kCommon.size() && rng() % 10 < 4) {
        const size_t room = s.size() - kCommon.size();
        const size_t at = rng() % 3 == 0 ? 0 : rng() % 2 == 0 ? room : rng() % (room + 1);
        s.replace(at, kCommon.size(), kCommon);
      }
      out.strings.push_back(std::move(s));
    }
    for (const std::string& s : out.strings) {
      if (s.find(kCommon) != std::string::npos) continue;
      if (s.size() == 10 && out.rare[0].empty()) out.rare[0] = s;
      if (s.size() == 20 && out.rare[1].empty()) {
        out.rare[1] = s.substr(0, 10);
        out.rare[2] = s.substr(10);
        out.rare[3] = s.substr(5, 10);
      }
    }
    return out;
  }();
  return d;
}

const PositionalBitmap& filled() {
  static const PositionalBitmap pb = [] {
    PositionalBitmap out;
    const Data& d = data();
    for (size_t i = 0; i < kStrings; ++i) out.buffered_insert(d.ids[i], d.strings[i]);
    out.flush();
    return out;
  }();
  return pb;
}

// Args: buffered (1) or direct (0) adds; ids ascending (1, as the index hands
// them out) or shuffled (0, the worst case for roaring's sorted containers).
void BM_Insert(benchmark::State& state) {
  const Data& d = data();
  const bool buffered = state.range(0) != 0;
  std::vector<uint32_t> ids = d.ids;
  if (state.range(1) != 0) std::sort(ids.begin(), ids.end());
  size_t memory = 0;
  for (auto _ : state) {
    PositionalBitmap pb;
    for (size_t i = 0; i < kStrings; ++i) {
      buffered ? pb.buffered_insert(ids[i], d.strings[i]) : pb.insert(ids[i], d.strings[i]);
    }
    pb.flush();
    memory = pb.memory_bytes();
    benchmark::DoNotOptimize(pb);
  }
  state.SetItemsProcessed(state.iterations() * kStrings);
  state.counters["memory_MB"] = static_cast<double>(memory) / 1e6;
}
BENCHMARK(BM_Insert)
    ->ArgNames({"buffered", "ascending"})
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->Unit(benchmark::kMillisecond);

// Memory of small attributes: n strings of 3-20 letters.
void BM_SmallMemory(benchmark::State& state) {
  const Data& d = data();
  size_t memory = 0;
  for (auto _ : state) {
    PositionalBitmap pb;
    for (int64_t i = 0; i < state.range(0); ++i) pb.insert(d.ids[i], d.strings[i]);
    memory = pb.memory_bytes();
    benchmark::DoNotOptimize(pb);
  }
  state.counters["memory_KB"] = static_cast<double>(memory) / 1e3;
}
BENCHMARK(BM_SmallMemory)->Arg(0)->Arg(1)->Arg(10)->Arg(1000)->Unit(benchmark::kMicrosecond);

enum Query { kEqual, kStartsWith, kEndsWith, kContains };

Bitmap run(const PositionalBitmap& pb, int query, std::string_view p, const Bitmap* within) {
  switch (query) {
    case kEqual:
      return within ? pb.equal_within(p, *within) : pb.equal(p);
    case kStartsWith:
      return within ? pb.starts_with_within(p, *within) : pb.starts_with(p);
    case kEndsWith:
      return within ? pb.ends_with_within(p, *within) : pb.ends_with(p);
    default:
      return within ? pb.contains_within(p, *within) : pb.contains(p);
  }
}

// Args: query kind, broad (1) or selective (0), candidate universe size (0 = none).
void BM_Query(benchmark::State& state) {
  const PositionalBitmap& pb = filled();
  const int kind = static_cast<int>(state.range(0));
  const std::string pattern = state.range(1) != 0 ? std::string(kCommon) : data().rare[kind];
  Bitmap universe;
  for (int64_t i = 0; i < state.range(2); ++i) universe.add(data().ids[i * 97 % kStrings]);
  const Bitmap* within = state.range(2) != 0 ? &universe : nullptr;
  uint64_t hits = 0;
  for (auto _ : state) {
    Bitmap r = run(pb, kind, pattern, within);
    hits = r.cardinality();
    benchmark::DoNotOptimize(r);
  }
  state.counters["hits"] = static_cast<double>(hits);
}
BENCHMARK(BM_Query)
    ->ArgNames({"kind", "broad", "within"})
    ->ArgsProduct({{kEqual, kStartsWith, kEndsWith, kContains}, {0, 1}, {0, 1000}})
    ->Unit(benchmark::kMicrosecond);

void BM_Ids(benchmark::State& state) {
  const PositionalBitmap& pb = filled();
  for (auto _ : state) benchmark::DoNotOptimize(pb.ids());
}
BENCHMARK(BM_Ids)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace qdx

BENCHMARK_MAIN();
