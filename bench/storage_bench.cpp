// Raw record throughput of a Tessera file: inserts in key order and in
// random order, point finds and a full walk, for 100,000 and 1,000,000
// records. Records look like data records of a table: a 9-byte key (table
// number, kind byte 0xF3, big-endian record number) and 40 data bytes.
// Inserts commit every 10,000 records, as a loader would. Rates are over
// wall-clock time, syncs included.
//
//   build-release/bench/storage_bench --benchmark_counters_tabular=true
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "storage/raw_records.h"
#include "storage/tsr_file.h"

namespace tessera {
namespace {

constexpr uint32_t kMode = mode::kCreate | mode::kReadWrite | mode::kDenyAll;
constexpr int kCommitEvery = 10000;

std::array<uint8_t, 9> KeyOf(uint32_t n) {
  return {0, 0, 0, 1, 0xF3, static_cast<uint8_t>(n >> 24), static_cast<uint8_t>(n >> 16),
          static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
}

std::string BenchFile(const std::string& name) {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir && *dir ? dir : "/tmp") + "/" + name;
}

std::vector<uint32_t> Order(int n, bool shuffled) {
  std::vector<uint32_t> order(n);
  std::iota(order.begin(), order.end(), 1u);
  if (shuffled) std::shuffle(order.begin(), order.end(), std::mt19937(42));
  return order;
}

// Builds a file of records 1..n in the given order; returns false on error.
bool Build(const std::string& path, const std::vector<uint32_t>& order) {
  std::filesystem::remove(path);
  TsrFile f;
  if (!f.Open(path, kMode).ok() || !f.BeginWriteIntent().ok()) return false;
  RawRecords r(&f);
  std::array<uint8_t, 40> data;
  data.fill('d');
  int since = 0;
  for (uint32_t n : order) {
    auto key = KeyOf(n);
    std::memcpy(data.data(), key.data() + 5, 4);
    if (!r.Insert(key, data).ok()) return false;
    if (++since == kCommitEvery) {
      since = 0;
      if (!r.Commit().ok() || !f.BeginWriteIntent().ok()) return false;
    }
  }
  return f.Close().ok();
}

void Insert(benchmark::State& state, bool shuffled) {
  const int n = static_cast<int>(state.range(0));
  const std::string path = BenchFile("BENCHINS.TSR");
  const auto order = Order(n, shuffled);
  for (auto _ : state) {
    if (!Build(path, order)) state.SkipWithError("insert failed");
  }
  state.SetItemsProcessed(state.iterations() * n);
  state.counters["file_bytes"] = static_cast<double>(std::filesystem::file_size(path));
  std::filesystem::remove(path);
}

void BM_InsertInKeyOrder(benchmark::State& state) { Insert(state, false); }
void BM_InsertInRandomOrder(benchmark::State& state) { Insert(state, true); }

// A prebuilt file per size, shared by the read benchmarks.
const std::string& ReadFile(int n) {
  static std::string built[2];
  std::string& path = built[n >= 1000000 ? 1 : 0];
  if (path.empty()) {
    path = BenchFile("BENCHRD" + std::to_string(n) + ".TSR");
    Build(path, Order(n, true));
  }
  return path;
}

void BM_PointFind(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const std::string& path = ReadFile(n);
  TsrFile f;
  if (!f.Open(path, mode::kReadOnly | mode::kDenyWrite).ok()) {
    state.SkipWithError("open failed");
    return;
  }
  RawRecords r(&f);
  std::mt19937 rng(7);
  std::vector<uint8_t> data;
  int64_t finds = 0;
  for (auto _ : state) {
    bool found = false;
    auto key = KeyOf(1 + rng() % n);
    if (!r.Find(key, &data, &found).ok() || !found) state.SkipWithError("find failed");
    ++finds;
  }
  state.SetItemsProcessed(finds);
  state.counters["file_bytes"] = static_cast<double>(f.Size());
  (void)f.Close();
}

void BM_FullWalk(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const std::string& path = ReadFile(n);
  for (auto _ : state) {
    TsrFile f;
    if (!f.Open(path, mode::kReadOnly | mode::kDenyWrite).ok()) {
      state.SkipWithError("open failed");
      return;
    }
    RawRecords r(&f);
    int64_t seen = 0;
    Status s = r.Walk([&](RawRecords::Bytes, RawRecords::Bytes) { ++seen; });
    if (!s.ok() || seen != n) state.SkipWithError("walk failed");
    state.counters["file_bytes"] = static_cast<double>(f.Size());
    (void)f.Close();
  }
  state.SetItemsProcessed(state.iterations() * n);
}

BENCHMARK(BM_InsertInKeyOrder)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_InsertInRandomOrder)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_PointFind)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_FullWalk)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace tessera

BENCHMARK_MAIN();
