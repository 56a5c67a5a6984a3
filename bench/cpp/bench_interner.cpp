// Read path of the attribute-name interner and the small attribute map.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "structures/string_interner/interner.hpp"
#include "values/hybrid_hashmap.hpp"

namespace qdx {
namespace {

// Names of the length attributes usually have.
std::vector<std::string> short_names(size_t count) {
  std::vector<std::string> names;
  for (size_t i = 0; i < count; ++i) {
    std::string name = "attr";
    name += std::to_string(i);
    names.push_back(std::move(name));
  }
  return names;
}

// A table of 200 names; lookups cycle over 16 of them.
void BM_InternerGetHit(benchmark::State& state) {
  StringInterner table;
  const auto names = short_names(200);
  for (const auto& n : names) table.intern(n);
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(table.get(names[i++ & 15]));
  }
}
BENCHMARK(BM_InternerGetHit)->ThreadRange(1, 8)->UseRealTime();

void BM_InternExisting(benchmark::State& state) {
  StringInterner table;
  const auto names = short_names(200);
  for (const auto& n : names) table.intern(n);
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(table.intern(names[i++ & 15]));
  }
}
BENCHMARK(BM_InternExisting)->ThreadRange(1, 8)->UseRealTime();

// Cost of one new name: the master insert plus a full copy of the table.
void BM_InternNew(benchmark::State& state) {
  const auto names = short_names(size_t(state.range(0)) + 1);
  for (auto _ : state) {
    state.PauseTiming();
    auto table = std::make_unique<StringInterner>();
    for (size_t i = 0; i + 1 < names.size(); ++i) table->intern(names[i]);
    state.ResumeTiming();
    benchmark::DoNotOptimize(table->intern(names.back()));
    state.PauseTiming();
    table.reset();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_InternNew)->Arg(10)->Arg(100)->Arg(1000);

// A stand-in for the value record: 32 bytes, nothrow move.
struct Value {
  uint64_t words[4];
};

HybridHashMap<Value> map_of(int64_t entries) {
  HybridHashMap<Value> map;
  for (int64_t i = 0; i < entries; ++i) map.insert(uint32_t(i * 3), Value{{uint64_t(i)}});
  return map;
}

void BM_HybridHashMapGet(benchmark::State& state) {
  const auto map = map_of(state.range(0));
  const auto n = uint32_t(state.range(0));
  uint32_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(map.get(i++ % n * 3));
  }
}
BENCHMARK(BM_HybridHashMapGet)->Arg(4)->Arg(8)->Arg(9)->Arg(32);

// Replacing the value of a present id (the attribute-write path).
void BM_HybridHashMapReplace(benchmark::State& state) {
  auto map = map_of(state.range(0));
  const auto n = uint32_t(state.range(0));
  uint32_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(map.insert(i % n * 3, Value{{i}}));
    ++i;
  }
}
BENCHMARK(BM_HybridHashMapReplace)->Arg(4)->Arg(8)->Arg(9)->Arg(32);

// Filling a fresh map (object construction with keyword attributes).
void BM_HybridHashMapFill(benchmark::State& state) {
  for (auto _ : state) {
    auto map = map_of(state.range(0));
    benchmark::DoNotOptimize(map.size());
  }
}
BENCHMARK(BM_HybridHashMapFill)->Arg(4)->Arg(8)->Arg(9);

}  // namespace
}  // namespace qdx

BENCHMARK_MAIN();
