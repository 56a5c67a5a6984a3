// OrderedBitmap over 1M ids: insertion, equality and the range scan.
//
// Value sets: 0 = random integers in [0, 1e6) (about 632K distinct), 1 =
// random doubles in [-1e6, 1e6) (all distinct, both signs).
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "structures/ordered_bitmap.hpp"

namespace qdx {
namespace {

constexpr uint32_t kIds = 1'000'000;

std::vector<OrderKey> make_keys(int64_t kind) {
  std::mt19937_64 rng(1234 + kind);
  std::vector<OrderKey> keys(kIds);
  for (auto& key : keys) {
    key = kind == 0 ? OrderKey::from_int(static_cast<int64_t>(rng() % kIds))
                    : OrderKey::from_double(std::uniform_real_distribution<double>(-1e6, 1e6)(rng));
  }
  return keys;
}

struct Dataset {
  std::vector<OrderKey> keys;
  OrderedBitmap bitmap;
  Bitmap all_ids;
  Bitmap one_percent;
};

const Dataset& dataset(int64_t kind) {
  static Dataset sets[2];
  Dataset& d = sets[kind];
  if (d.keys.empty()) {
    d.keys = make_keys(kind);
    for (uint32_t id = 0; id < kIds; ++id) d.bitmap.insert(id, d.keys[id]);
    d.all_ids = Bitmap::range(0, kIds);
    std::mt19937_64 rng(99);
    for (uint32_t id = 0; id < kIds; ++id) {
      if (rng() % 100 == 0) d.one_percent.add(id);
    }
  }
  return d;
}

// Probes are stored values, spread over the whole range.
OrderKey probe(const Dataset& d, uint64_t n) {
  return d.keys[(n * 2654435761u) % kIds];
}

void BM_Insert(benchmark::State& state) {
  const auto keys = make_keys(state.range(0));
  for (auto _ : state) {
    OrderedBitmap ob;
    for (uint32_t id = 0; id < kIds; ++id) ob.insert(id, keys[id]);
    state.counters["MB"] = static_cast<double>(ob.memory_bytes()) / 1e6;
    benchmark::DoNotOptimize(ob);
  }
  state.SetItemsProcessed(state.iterations() * kIds);
}

void BM_BufferedInsert(benchmark::State& state) {
  const auto keys = make_keys(state.range(0));
  for (auto _ : state) {
    OrderedBitmap ob;
    for (uint32_t id = 0; id < kIds; ++id) ob.buffered_insert(id, keys[id]);
    ob.flush();
    benchmark::DoNotOptimize(ob);
  }
  state.SetItemsProcessed(state.iterations() * kIds);
}

void BM_Equal(benchmark::State& state) {
  const Dataset& d = dataset(state.range(0));
  uint64_t n = 0;
  for (auto _ : state) benchmark::DoNotOptimize(d.bitmap.equal(probe(d, n++)));
}

void BM_EqualWithinOnePercent(benchmark::State& state) {
  const Dataset& d = dataset(state.range(0));
  uint64_t n = 0;
  for (auto _ : state)
    benchmark::DoNotOptimize(d.bitmap.equal_within(probe(d, n++), d.one_percent));
}

void greater_over(benchmark::State& state, const Bitmap& candidates, const Dataset& d,
                  IsaLevel level) {
  uint64_t n = 0;
  for (auto _ : state) {
    Bitmap result;
    d.bitmap.compare_with_isa(level, Comparison::kGreater, probe(d, n++), candidates, result);
    benchmark::DoNotOptimize(result);
  }
}

void BM_GreaterAllIds(benchmark::State& state) {
  const Dataset& d = dataset(state.range(0));
  greater_over(state, d.all_ids, d, OrderedBitmap::selected_isa_level());
}

void BM_GreaterOnePercent(benchmark::State& state) {
  const Dataset& d = dataset(state.range(0));
  greater_over(state, d.one_percent, d, OrderedBitmap::selected_isa_level());
}

// Same scan through each instruction-set build (second argument).
void BM_GreaterAllIdsByBuild(benchmark::State& state) {
  const auto level = static_cast<IsaLevel>(state.range(1));
  if (!OrderedBitmap::isa_level_supported(level)) {
    state.SkipWithError("build not supported by this processor");
    return;
  }
  const Dataset& d = dataset(state.range(0));
  greater_over(state, d.all_ids, d, level);
}

void BM_LessOrEqualAllIds(benchmark::State& state) {
  const Dataset& d = dataset(state.range(0));
  uint64_t n = 0;
  for (auto _ : state) {
    Bitmap result;
    d.bitmap.less_or_equal(probe(d, n++), d.all_ids, result);
    benchmark::DoNotOptimize(result);
  }
}

BENCHMARK(BM_Insert)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BufferedInsert)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Equal)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EqualWithinOnePercent)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GreaterAllIds)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GreaterOnePercent)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LessOrEqualAllIds)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GreaterAllIdsByBuild)->ArgsProduct({{0, 1}, {0, 1, 2}})->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace qdx

BENCHMARK_MAIN();
