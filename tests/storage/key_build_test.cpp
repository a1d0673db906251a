// Key builds: appends caught up, the duplicate rule of unique keys, full
// builds, progress figures and cancel, dynamic indexes, and a build of a
// million records through the sort's temporary file.
#include "storage/key_build.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "storage/field_types.h"
#include "storage/key_codec.h"
#include "tests/storage/support/key_table.h"
#include "tests/storage/support/scratch_dir.h"

namespace tessera {
namespace {

using testing::KeyTable;
using testing::ScratchDir;
using Buffer = KeyTable::Buffer;
using RawEntries = std::vector<RawRecords::Entry>;

// Record buffer: id LONG @0 (4), name STRING @4 (20).
constexpr uint32_t kRecordLength = 24;
const KeyColumn kId{field_type::kLong, 0, 4, false};
const KeyColumn kName{field_type::kString, 4, 20, false};

Buffer Rec(int32_t id, const std::string& name) {
  Buffer b(kRecordLength, ' ');
  std::memcpy(&b[0], &id, 4);
  std::memcpy(&b[4], name.data(), std::min<size_t>(20, name.size()));
  return b;
}

uint32_t NumberOf(const RawRecords::Entry& e) {
  const std::vector<uint8_t>& tail = e.data.empty() ? e.key : e.data;
  return GetBigEndian32(tail.data() + tail.size() - 4);
}

bool Same(const RawEntries& a, const RawEntries& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].key != b[i].key || a[i].data != b[i].data) return false;
  }
  return true;
}

class KeyBuildTest : public ::testing::Test {
 protected:
  void Open(std::vector<KeyLayout> keys) {
    ASSERT_TRUE(table.Open(dir.File("BUILD.TSR"), kRecordLength, std::move(keys)).ok());
  }
  uint32_t Add(int32_t id, const std::string& name, bool append = false) {
    uint32_t n = 0;
    Status s = table.Add(Rec(id, name), &n, append);
    EXPECT_TRUE(s.ok()) << s.ToString();
    return n;
  }
  std::vector<uint32_t> Numbers(int k) { return table.RecordNumbers(k); }

  ScratchDir dir;
  KeyTable table;
};

TEST_F(KeyBuildTest, AppendsAreCaughtUpByABuildWithExactlyTheirEntries) {
  Open({KeyLayout{0, {kId}}, KeyLayout{key_attr::kDuplicates, {kName}},
        KeyLayout{key_attr::kIndex | key_attr::kDuplicates, {kName, kId}}});
  for (int i = 0; i < 5; ++i) Add(i, "n" + std::to_string(i % 2));
  ASSERT_TRUE(BuildKey(&table.keys(), 2, {}).ok());
  std::vector<RawEntries> before;
  for (int k = 0; k < 3; ++k) {
    before.push_back(table.RawEntries(k));
    ASSERT_EQ(table.RebuildPoint(k), 0u);
  }

  const uint32_t first = Add(10, "a", true);
  Add(11, "n1", true);
  Add(12, "zz", true);
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(table.RebuildPoint(k), first) << "key " << k;
    EXPECT_TRUE(Same(table.RawEntries(k), before[k])) << "appends add no entries, key " << k;
  }
  uint32_t n = 0;
  bool found = true;
  ASSERT_TRUE(table.keys().FindByKey(0, Rec(11, ""), &n, &found).ok());
  EXPECT_FALSE(found) << "not visible before the build";

  // The table build leaves the index alone; the key build of the index
  // catches it up.
  ASSERT_TRUE(BuildAllKeys(&table.keys(), {}).ok());
  EXPECT_EQ(table.RebuildPoint(2), first);
  ASSERT_TRUE(BuildKey(&table.keys(), 2, {}).ok());
  for (int k = 0; k < 3; ++k) {
    SCOPED_TRACE(k);
    EXPECT_EQ(table.RebuildPoint(k), 0u);
    RawEntries after = table.RawEntries(k);
    // Exactly the old entries plus one for each appended record.
    ASSERT_EQ(after.size(), before[k].size() + 3);
    size_t kept = 0;
    for (const auto& e : after) {
      if (NumberOf(e) >= first) continue;
      EXPECT_EQ(e.key, before[k][kept].key);
      ++kept;
    }
    EXPECT_EQ(kept, before[k].size());
    EXPECT_EQ(table.Count(k), static_cast<int32_t>(after.size()));
  }
  ASSERT_TRUE(table.keys().FindByKey(0, Rec(11, ""), &n, &found).ok());
  EXPECT_TRUE(found);
  EXPECT_EQ(n, first + 1);
}

TEST_F(KeyBuildTest, UniqueBuildKeepsThePresentOrFirstEntryAndMarksTheLowestSkipped) {
  Open({KeyLayout{0, {kName}}});
  const uint32_t present = Add(1, "x");
  const uint32_t y1 = Add(2, "y", true);
  const uint32_t x2 = Add(3, "x", true);
  Add(4, "y", true);
  const uint32_t z = Add(5, "z", true);
  Add(6, "x", true);
  ASSERT_EQ(table.RebuildPoint(0), y1);

  for (bool full : {false, false, true}) {
    SCOPED_TRACE(full ? "full build" : "build from the rebuild point");
    BuildOptions options;
    options.full_build = full;
    EXPECT_EQ(BuildKey(&table.keys(), 0, options).code(), err::kCreatesDuplicateKey);
    EXPECT_EQ(Numbers(0), (std::vector<uint32_t>{present, y1, z}));
    EXPECT_EQ(table.Count(0), 3);
    EXPECT_EQ(table.RebuildPoint(0), x2) << "the lowest record whose entry was skipped";
  }
}

TEST_F(KeyBuildTest, ATableOpenForReadingOnlyIsNotBuilt) {
  Open({KeyLayout{0, {kId}}});
  const uint32_t n = Add(1, "a", true);
  const uint32_t t = table.table();
  ASSERT_TRUE(table.Close().ok());
  ASSERT_TRUE(table
                  .Open(dir.File("BUILD.TSR"), kRecordLength, {KeyLayout{0, {kId}}}, t,
                        mode::kReadOnly | mode::kDenyNone)
                  .ok());
  EXPECT_EQ(BuildKey(&table.keys(), 0, {}).code(), err::kAccessDenied);
  EXPECT_EQ(BuildAllKeys(&table.keys(), {}).code(), err::kAccessDenied);
  EXPECT_EQ(table.RebuildPoint(0), n);
}

TEST_F(KeyBuildTest, FullBuildGivesBackTheMaintainedEntries) {
  Open({KeyLayout{0, {kId}}, KeyLayout{key_attr::kDuplicates, {kName}},
        KeyLayout{key_attr::kIndex, {kId}}});
  std::mt19937 rng(7);
  std::vector<uint32_t> ns;
  for (int i = 0; i < 300; ++i) ns.push_back(Add(i, "name" + std::to_string(rng() % 17)));
  std::shuffle(ns.begin(), ns.end(), rng);
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(table.Delete(ns[i]).ok());
  ASSERT_TRUE(BuildKey(&table.keys(), 2, {}).ok());
  std::vector<RawEntries> maintained;
  for (int k = 0; k < 3; ++k) maintained.push_back(table.RawEntries(k));

  BuildOptions full;
  full.full_build = true;
  ASSERT_TRUE(BuildAllKeys(&table.keys(), full).ok());
  ASSERT_TRUE(BuildKey(&table.keys(), 2, full).ok());
  for (int k = 0; k < 3; ++k) {
    EXPECT_TRUE(Same(table.RawEntries(k), maintained[k])) << "key " << k;
    EXPECT_EQ(table.Count(k), static_cast<int32_t>(maintained[k].size()));
    EXPECT_EQ(table.RebuildPoint(k), 0u);
  }
  EXPECT_EQ(table.Count(0), table.DataCount());
}

// --- progress and cancel -------------------------------------------------------------

class Recorder : public BuildProgress {
 public:
  bool Report(int percent) override {
    seen.push_back(percent);
    return cancel_at && static_cast<int>(seen.size()) >= *cancel_at && (check(), true);
  }
  std::vector<int> seen;
  std::optional<int> cancel_at;
  std::function<void()> check = [] {};
};

TEST_F(KeyBuildTest, ProgressFiguresFollowRecordsWalkedAndKeysBuilt) {
  Open({KeyLayout{0, {kId}}, KeyLayout{key_attr::kDuplicates, {kName}}});
  uint32_t first = 0;
  ASSERT_TRUE(table.BulkAppend(1000, [](size_t i) { return Rec(static_cast<int32_t>(i), "n"); },
                               &first)
                  .ok());
  Recorder recorder;
  BuildOptions options;
  options.progress = &recorder;
  options.progress_setting = 1;  // every 128 records
  ASSERT_TRUE(BuildKey(&table.keys(), 0, options).ok());
  // 127, 255, ... 895 records walked of 1000 expected.
  EXPECT_EQ(recorder.seen, (std::vector<int>{13, 26, 38, 51, 64, 77, 90}));

  recorder.seen.clear();
  options.full_build = true;
  options.progress_setting = 2;  // M = 383: at 383, 511 and 895
  ASSERT_TRUE(BuildAllKeys(&table.keys(), options).ok());
  // Second key: 50 plus its share of the other half.
  EXPECT_EQ(recorder.seen, (std::vector<int>{19, 26, 45, 69, 76, 95}));
}

TEST_F(KeyBuildTest, CancelGives93AndLeavesNoTemporaryFile) {
  ScratchDir temp;
  std::optional<std::string> old;
  if (const char* t = std::getenv("TMPDIR")) old = t;
  ::setenv("TMPDIR", temp.path().c_str(), 1);
  auto temp_files = [&] {
    return std::distance(std::filesystem::directory_iterator(temp.path()),
                         std::filesystem::directory_iterator());
  };

  Open({KeyLayout{0, {kName, kId}}});
  uint32_t first = 0;
  // 60,000 items of 28 bytes pass the sort's 1,000,000-byte run size.
  ASSERT_TRUE(table
                  .BulkAppend(60000,
                              [](size_t i) {
                                return Rec(static_cast<int32_t>(i),
                                           "name" + std::to_string(i * 7919 % 60000));
                              },
                              &first)
                  .ok());
  Recorder recorder;
  recorder.cancel_at = 420;  // after 53,760 records walked
  long files_at_cancel = -1;
  recorder.check = [&] { files_at_cancel = temp_files(); };
  BuildOptions options;
  options.progress = &recorder;
  options.progress_setting = 1;
  Status s = BuildKey(&table.keys(), 0, options);
  EXPECT_EQ(s.code(), err::kBuildCancelled) << s.ToString();
  EXPECT_EQ(s.message(), "BUILD Cancelled");
  EXPECT_EQ(files_at_cancel, 1) << "the sort had spilled into its temporary file";
  EXPECT_EQ(temp_files(), 0) << "and removed it";
  EXPECT_EQ(table.RebuildPoint(0), first) << "still stale from its start";
  EXPECT_EQ(table.Count(0), 0);

  ASSERT_TRUE(BuildKey(&table.keys(), 0, {}).ok());
  EXPECT_EQ(table.Count(0), 60000);
  EXPECT_EQ(table.RebuildPoint(0), 0u);
  EXPECT_EQ(temp_files(), 0);

  if (old) {
    ::setenv("TMPDIR", old->c_str(), 1);
  } else {
    ::unsetenv("TMPDIR");
  }
}

// --- dynamic indexes -----------------------------------------------------------------

TEST_F(KeyBuildTest, DynamicIndexLivesInMemoryWithTheFilteredRecords) {
  Open({KeyLayout{0, {kId}}, KeyLayout{key_attr::kDynamicIndex | key_attr::kDuplicates, {}}});
  const std::vector<NamedField> fields = {{"T:ID", kId}, {"T:NAME", kName}};
  std::vector<uint32_t> ns;
  for (int i = 0; i < 6; ++i) ns.push_back(Add(i, std::string(1, static_cast<char>('a' + i))));
  const uint64_t changes_before = table.file().header().change_count;

  EXPECT_EQ(BuildKey(&table.keys(), 1, {}).code(), err::kInvalidIndexString)
      << "never given components";
  EXPECT_EQ(BuildDynamicIndex(&table.keys(), 1, "t:nope", fields, nullptr, {}).code(),
            err::kInvalidIndexString);

  RecordFilter even = [](std::span<const uint8_t> buffer, uint32_t) {
    int32_t id;
    std::memcpy(&id, buffer.data(), 4);
    return id % 2 == 0;
  };
  ASSERT_TRUE(BuildDynamicIndex(&table.keys(), 1, " -t:name", fields, even, {}).ok());
  EXPECT_EQ(Numbers(1), (std::vector<uint32_t>{ns[4], ns[2], ns[0]})) << "e, c, a";
  EXPECT_EQ(table.Count(1), 3);
  EXPECT_TRUE(table.RawEntries(1).empty()) << "nothing of it in the file";
  EXPECT_EQ(table.file().header().change_count, changes_before);
  uint32_t n = 0;
  bool found = false;
  ASSERT_TRUE(table.keys().FindByKey(1, Rec(0, "c"), &n, &found).ok());
  EXPECT_TRUE(found);
  EXPECT_EQ(n, ns[2]);

  // Maintenance passes it by; a new list replaces it.
  Add(6, "g");
  EXPECT_EQ(table.Count(1), 3);
  ASSERT_TRUE(BuildDynamicIndex(&table.keys(), 1, "t:id", fields, nullptr, {}).ok());
  EXPECT_EQ(table.Count(1), 7);
  EXPECT_EQ(Numbers(1).front(), ns[0]);
}

// --- a million records -----------------------------------------------------------------

class TempFileCounter : public EnvWrapper {
 public:
  TempFileCounter() : EnvWrapper(Env::Default()) {}
  Status CreateTempFile(std::string* name, std::unique_ptr<FileHandle>* out) override {
    ++created;
    return EnvWrapper::CreateTempFile(name, out);
  }
  int created = 0;
};

TEST_F(KeyBuildTest, FullBuildOfAMillionRecordsGoesThroughTheTemporaryFile) {
  constexpr int kRecords = 1000000;
  Open({KeyLayout{0, {kId}}});
  uint32_t first = 0;
  // Ids in a scrambled order (a multiplicative permutation of 0..N-1).
  ASSERT_TRUE(table
                  .BulkAppend(kRecords,
                              [](size_t i) {
                                return Rec(static_cast<int32_t>((i * 7919) % kRecords) - 500000,
                                           "");
                              },
                              &first)
                  .ok());
  ASSERT_TRUE(table.file().Commit().ok());
  const uint64_t commits_before = table.file().header().change_count;

  TempFileCounter env;
  BuildOptions options;
  options.full_build = true;
  options.env = &env;
  Status s = BuildAllKeys(&table.keys(), options);
  ASSERT_TRUE(s.ok()) << s.ToString();
  EXPECT_EQ(env.created, 1);
  EXPECT_GE(table.file().header().change_count - commits_before, 3u)
      << "commits every 400 dirty pages";
  EXPECT_EQ(table.Count(0), kRecords);
  EXPECT_EQ(table.RebuildPoint(0), 0u);

  int64_t seen = 0;
  int32_t previous = INT32_MIN;
  bool ordered = true;
  ASSERT_TRUE(table.keys()
                  .Walk(0,
                        [&](uint32_t n, std::span<const uint8_t> c) {
                          int32_t id = static_cast<int32_t>(GetBigEndian32(c.data()) ^ 0x80000000u);
                          ordered = ordered && id > previous &&
                                    (static_cast<int64_t>(n - first) * 7919) % kRecords ==
                                        id + 500000;
                          previous = id;
                          ++seen;
                        })
                  .ok());
  EXPECT_EQ(seen, kRecords);
  EXPECT_TRUE(ordered);
}

}  // namespace
}  // namespace tessera
