// HybridSet costs by variant: growing a set, copying it out of the value map,
// turning it into a bitmap for a query, and the in-place union.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "structures/hybrid_set.hpp"

namespace qdx {
namespace {

// A set of `n` ids first, first + stride, ...
HybridSet make_set(int64_t n, uint32_t first, uint32_t stride) {
  HybridSet set;
  for (int64_t i = 0; i < n; ++i) set.insert(first + static_cast<uint32_t>(i) * stride);
  return set;
}

// Builds sets of `n` ids one insert at a time: 1-3 stay Small, more go Large.
void BM_Insert(benchmark::State& state) {
  const int64_t n = state.range(0);
  for (auto _ : state) {
    HybridSet set = make_set(n, 1000, 7);
    benchmark::DoNotOptimize(set);
  }
  state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_Insert)->Arg(1)->Arg(3)->Arg(4)->Arg(64)->Arg(4096);

void BM_Clone(benchmark::State& state) {
  const HybridSet set = make_set(state.range(0), 1000, 7);
  for (auto _ : state) {
    HybridSet copy = set.clone();
    benchmark::DoNotOptimize(copy);
  }
}
BENCHMARK(BM_Clone)->Arg(3)->Arg(4)->Arg(64)->Arg(4096)->Arg(65536);

void BM_ToBitmap(benchmark::State& state) {
  const HybridSet set = make_set(state.range(0), 1000, 7);
  for (auto _ : state) {
    Bitmap bitmap = set.to_bitmap();
    benchmark::DoNotOptimize(bitmap);
  }
}
BENCHMARK(BM_ToBitmap)->Arg(3)->Arg(4)->Arg(64)->Arg(4096)->Arg(65536);

// Union of a clone of one set into another, as when two indexes are merged.
// Args: this size, other size.
void BM_Union(benchmark::State& state) {
  const HybridSet mine = make_set(state.range(0), 1000, 7);
  const HybridSet other = make_set(state.range(1), 1003, 5);
  for (auto _ : state) {
    HybridSet target = mine.clone();
    target.union_with(other);
    benchmark::DoNotOptimize(target);
  }
}
BENCHMARK(BM_Union)
    ->Args({2, 2})
    ->Args({3, 3})
    ->Args({3, 4096})
    ->Args({4096, 3})
    ->Args({4096, 4096})
    ->Args({65536, 65536});

// Reference for BM_Union: cloning `mine` alone.
void BM_UnionBaselineClone(benchmark::State& state) {
  const HybridSet mine = make_set(state.range(0), 1000, 7);
  for (auto _ : state) {
    HybridSet target = mine.clone();
    benchmark::DoNotOptimize(target);
  }
}
BENCHMARK(BM_UnionBaselineClone)->Arg(4096)->Arg(65536);

}  // namespace
}  // namespace qdx

BENCHMARK_MAIN();
