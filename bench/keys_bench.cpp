// Key maintenance and builds: adds that keep three keys, key maintenance
// alone, finds by key, a walk over a key, and a full build of 1,000,000
// records through the key-build sort.
//
//   build/bench/keys_bench
//
// Every case works on a real file in a fresh folder under TMPDIR (or /tmp)
// and commits every 400 dirty pages, as the engine does.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "storage/field_types.h"
#include "storage/key_build.h"
#include "storage/keys.h"
#include "tests/storage/support/key_table.h"
#include "tests/storage/support/scratch_dir.h"

namespace tessera {
namespace {

using testing::KeyTable;
using testing::ScratchDir;

// Record: id LONG @0 (4), name STRING @4 (30), prio SHORT @34 (2).
constexpr uint32_t kRecordLength = 36;

std::vector<uint8_t> Rec(int32_t id, uint32_t name, int16_t prio) {
  std::vector<uint8_t> b(kRecordLength, ' ');
  std::memcpy(&b[0], &id, 4);
  const std::string text = "item number " + std::to_string(name);
  std::memcpy(&b[4], text.data(), std::min<size_t>(30, text.size()));
  std::memcpy(&b[34], &prio, 2);
  return b;
}

// A unique LONG key, a case-insensitive name key with duplicates and a
// descending priority key with duplicates.
std::vector<KeyLayout> ThreeKeys() {
  return {
      KeyLayout{0, {KeyColumn{field_type::kLong, 0, 4, false}}},
      KeyLayout{key_attr::kDuplicates | key_attr::kCaseInsensitive,
                {KeyColumn{field_type::kString, 4, 30, false}}},
      KeyLayout{key_attr::kDuplicates,
                {KeyColumn{field_type::kShort, 34, 2, true},
                 KeyColumn{field_type::kLong, 0, 4, false}}},
  };
}

// A scrambled permutation of 0..n-1 (7919 is prime to every n used here).
int32_t Scrambled(size_t i, size_t n) { return static_cast<int32_t>((i * 7919) % n); }

void CommitIfFull(KeyTable& table) {
  if (table.file().cache().dirty_count() >= kCommitDirtyPages) {
    (void)table.file().Commit();
  }
}

void AddWithKeys(benchmark::State& state) {
  ScratchDir dir;
  KeyTable table;
  if (!table.Open(dir.File("ADD.TSR"), kRecordLength, ThreeKeys()).ok()) {
    state.SkipWithError("open failed");
    return;
  }
  size_t i = 0;
  for (auto _ : state) {
    uint32_t n = 0;
    const int32_t id = Scrambled(i, 10'000'019);
    if (!table.Add(Rec(id, id % 5000, static_cast<int16_t>(id % 100)), &n).ok()) {
      state.SkipWithError("add failed");
      break;
    }
    CommitIfFull(table);
    ++i;
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(AddWithKeys)->Name("Keys/AddWithThreeKeys")->Unit(benchmark::kMicrosecond);

// Only the key side of an add: three entries, three counters.
void MaintainKeys(benchmark::State& state) {
  ScratchDir dir;
  KeyTable table;
  if (!table.Open(dir.File("MAINT.TSR"), kRecordLength, ThreeKeys()).ok()) {
    state.SkipWithError("open failed");
    return;
  }
  uint32_t n = 1000;
  for (auto _ : state) {
    const int32_t id = Scrambled(n, 10'000'019);
    if (!table.keys().Update(Rec(id, id % 5000, static_cast<int16_t>(id % 100)), {}, n, false)
             .ok()) {
      state.SkipWithError("update failed");
      break;
    }
    CommitIfFull(table);
    ++n;
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(MaintainKeys)->Name("Keys/UpdateThreeKeysOnly")->Unit(benchmark::kMicrosecond);

// A table of `count` records with its keys built, shared by the read cases.
struct Filled {
  ScratchDir dir;
  KeyTable table;
  size_t count = 0;

  explicit Filled(size_t n) : count(n) {
    uint32_t first = 0;
    (void)table.Open(dir.File("READ.TSR"), kRecordLength, ThreeKeys());
    (void)table.BulkAppend(
        n,
        [n](size_t i) {
          const int32_t id = Scrambled(i, n);
          return Rec(id, static_cast<uint32_t>(id % 5000), static_cast<int16_t>(id % 100));
        },
        &first);
    (void)BuildAllKeys(&table.keys(), {});
    (void)table.file().Commit();
  }
};

void FindByKey(benchmark::State& state) {
  const int k = static_cast<int>(state.range(0));
  Filled filled(100'000);
  std::mt19937 rng(1);
  size_t found_count = 0;
  for (auto _ : state) {
    const int32_t id = static_cast<int32_t>(rng() % filled.count);
    uint32_t n = 0;
    bool found = false;
    (void)filled.table.keys().FindByKey(
        k, Rec(id, static_cast<uint32_t>(id % 5000), static_cast<int16_t>(id % 100)), &n,
        &found);
    found_count += found;
  }
  if (found_count != static_cast<size_t>(state.iterations())) state.SkipWithError("a key was not found");
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(FindByKey)->Name("Keys/FindByKey")->ArgName("key")->Arg(0)->Arg(1)
    ->Unit(benchmark::kMicrosecond);

void WalkKey(benchmark::State& state) {
  Filled filled(100'000);
  for (auto _ : state) {
    size_t seen = 0;
    (void)filled.table.keys().Walk(1, [&](uint32_t, std::span<const uint8_t>) { ++seen; });
    if (seen != filled.count) state.SkipWithError("walk lost entries");
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * filled.count));
}
BENCHMARK(WalkKey)->Name("Keys/WalkNameKey/100000")->Unit(benchmark::kMillisecond);

// A full build (FULLBUILD) of one key over 1,000,000 appended records: the
// first build inserts into an empty key, the next ones also delete the
// entries of the one before.
void FullBuild(benchmark::State& state) {
  const int k = static_cast<int>(state.range(0));
  constexpr size_t kRecords = 1'000'000;
  ScratchDir dir;
  KeyTable table;
  uint32_t first = 0;
  if (!table.Open(dir.File("BUILD.TSR"), kRecordLength, ThreeKeys()).ok() ||
      !table
           .BulkAppend(
               kRecords,
               [](size_t i) {
                 const int32_t id = Scrambled(i, kRecords);
                 return Rec(id, static_cast<uint32_t>(id % 5000),
                            static_cast<int16_t>(id % 100));
               },
               &first)
           .ok() ||
      !table.file().Commit().ok()) {
    state.SkipWithError("fill failed");
    return;
  }
  BuildOptions options;
  options.full_build = true;
  for (auto _ : state) {
    Status s = BuildKey(&table.keys(), k, options);
    if (!s.ok()) state.SkipWithError(s.ToString().c_str());
  }
  int32_t count = 0;
  (void)table.keys().Count(k, &count);
  if (count != static_cast<int32_t>(kRecords)) state.SkipWithError("count is wrong");
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kRecords));
}
BENCHMARK(FullBuild)->Name("Keys/FullBuild/1000000")->ArgName("key")->Arg(0)->Arg(1)
    ->Iterations(2)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tessera

BENCHMARK_MAIN();
