// Key-build sort throughput: items added and taken back per second.
//
//   build/bench/key_sort_bench
//
// "InMemory" cases stay under the 1,000,000-byte run size, so the heap hands
// the items out directly; "ThroughFile" cases spill sorted runs into a
// temporary file (in TMPDIR) and merge them.
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "storage/env/env.h"
#include "storage/key_sort.h"

namespace tessera {
namespace {

// Random component bytes followed by a distinct big-endian record number.
std::vector<uint8_t> MakeItems(size_t count, size_t size) {
  std::mt19937 rng(42);
  std::vector<uint8_t> items(count * size);
  for (size_t i = 0; i < count; ++i) {
    uint8_t* p = &items[i * size];
    for (size_t j = 0; j < size; ++j) p[j] = static_cast<uint8_t>(rng());
    uint32_t n = static_cast<uint32_t>(i + 1);
    for (size_t j = 0; j < std::min<size_t>(4, size); ++j) {
      p[size - 1 - j] = static_cast<uint8_t>(n >> (8 * j));
    }
  }
  return items;
}

void SortItems(benchmark::State& state) {
  const size_t count = static_cast<size_t>(state.range(0));
  const size_t size = static_cast<size_t>(state.range(1));
  const std::vector<uint8_t> items = MakeItems(count, size);
  std::vector<uint8_t> item(size);
  int runs = 0;
  for (auto _ : state) {
    KeySort sort(Env::Default(), size);
    for (size_t i = 0; i < count; ++i) {
      if (!sort.Add(&items[i * size]).ok()) state.SkipWithError("add failed");
    }
    bool taken = true;
    size_t out = 0;
    while (taken) {
      if (!sort.Take(item.data(), &taken).ok()) state.SkipWithError("take failed");
      out += taken;
    }
    if (out != count) state.SkipWithError("items lost");
    runs = sort.runs();
    benchmark::DoNotOptimize(item.data());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * count));
  state.counters["runs"] = runs;
}

// 1,000,000 one-byte items are exactly the run size: still all in memory.
BENCHMARK(SortItems)->Name("KeySort/InMemory")->Args({1'000'000, 1})->Args({100'000, 10})
    ->Unit(benchmark::kMillisecond);
// A LONG key (4 + record number) and a 40-character name key (40 + 4).
BENCHMARK(SortItems)->Name("KeySort/ThroughFile")->Args({1'000'000, 8})
    ->Args({1'000'000, 44})->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tessera

BENCHMARK_MAIN();
