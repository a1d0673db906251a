#include "storage/key_sort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "storage/internal_failure.h"
#include "tests/storage/support/scratch_dir.h"

namespace tessera {
namespace {

using Items = std::vector<std::string>;

// Points TMPDIR at a fresh folder for the test, so the temporary files the
// sort makes (and fails to remove) can be seen.
class KeySortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(scratch_.path().empty());
    if (const char* old = std::getenv("TMPDIR")) old_tmpdir_ = old;
    ::setenv("TMPDIR", scratch_.path().c_str(), 1);
  }
  void TearDown() override {
    if (old_tmpdir_) {
      ::setenv("TMPDIR", old_tmpdir_->c_str(), 1);
    } else {
      ::unsetenv("TMPDIR");
    }
  }

  std::vector<std::string> TempFiles() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(scratch_.path())) {
      names.push_back(e.path().filename().string());
    }
    return names;
  }

  testing::ScratchDir scratch_;
  std::optional<std::string> old_tmpdir_;
};

// Items like key entries: `size - 4` random bytes, then a distinct record
// number (big-endian), so no two are equal.
Items MakeItems(size_t count, size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  Items items(count, std::string(size, '\0'));
  for (size_t i = 0; i < count; ++i) {
    std::string& s = items[i];
    for (size_t j = 0; j + 4 < size; ++j) s[j] = static_cast<char>(rng());
    uint32_t n = static_cast<uint32_t>(i) + 1;
    for (size_t j = 0; j < std::min<size_t>(4, size); ++j) {
      s[size - 1 - j] = static_cast<char>(n >> (8 * j));
    }
  }
  return items;
}

Status AddAll(KeySort* sort, const Items& items) {
  for (const std::string& s : items) {
    Status st = sort->Add(s.data());
    if (!st.ok()) return st;
  }
  return Status::OK();
}

Status TakeAll(KeySort* sort, Items* out) {
  std::string item(sort->item_size(), '\0');
  for (;;) {
    bool taken = false;
    Status st = sort->Take(item.data(), &taken);
    if (!st.ok() || !taken) return st;
    out->push_back(item);
  }
}

// std::string compares as unsigned bytes (char_traits<char>::compare), as
// the sort does.
Items Sorted(Items items) {
  std::sort(items.begin(), items.end());
  return items;
}

TEST_F(KeySortTest, RunStoreMovesFromMemoryToATemporaryFile) {
  std::vector<uint8_t> data(60000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + i / 251);
  RunStore store(Env::Default());
  ASSERT_TRUE(store.Append(data.data(), 10000).ok());
  ASSERT_TRUE(store.Append(data.data() + 10000, RunStore::kMemoryArea - 10000).ok());
  EXPECT_FALSE(store.in_file()) << "exactly the memory area still fits";
  EXPECT_TRUE(TempFiles().empty());

  ASSERT_TRUE(store.Append(data.data() + RunStore::kMemoryArea, 1).ok());
  ASSERT_TRUE(store.in_file());
  ASSERT_EQ(TempFiles().size(), 1u);
  EXPECT_EQ(TempFiles()[0].substr(0, 3), "TMP");
  EXPECT_EQ(std::filesystem::path(store.file_name()).parent_path(), scratch_.path());

  // Small appends gather in the buffer; one above the buffer size goes
  // straight to the file; reads see both.
  size_t at = RunStore::kMemoryArea + 1;
  ASSERT_TRUE(store.Append(data.data() + at, 100).ok());
  at += 100;
  ASSERT_TRUE(store.Append(data.data() + at, RunStore::kWriteBuffer + 1).ok());
  at += RunStore::kWriteBuffer + 1;
  ASSERT_TRUE(store.Append(data.data() + at, data.size() - at).ok());
  EXPECT_EQ(store.size(), data.size());
  std::vector<uint8_t> back(data.size());
  ASSERT_TRUE(store.Read(0, back.data(), back.size()).ok());
  EXPECT_EQ(back, data);
  ASSERT_TRUE(store.Read(16380, back.data(), 9).ok());
  EXPECT_TRUE(std::equal(back.begin(), back.begin() + 9, data.begin() + 16380));

  store.Close();
  EXPECT_TRUE(TempFiles().empty());
}

TEST_F(KeySortTest, SortsInMemoryUnderTheRunSizeAndThroughAFileOverIt) {
  struct Case {
    size_t count;
    size_t size;
    int runs;  // 0: all from the heap, no file
  };
  const Case cases[] = {
      {0, 10, 0},
      {1, 10, 0},
      {99'999, 10, 0},   // 999,990 bytes
      {100'000, 10, 0},  // 1,000,000: the check comes before an add
      {100'001, 10, 2},  // one item more: two runs
      {200'000, 7, 2},   // items straddle the 500-byte reader buffers
      {1'700, 600, 2},   // items larger than a reader buffer
      {350'000, 9, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("count " + std::to_string(c.count) + " size " + std::to_string(c.size));
    Items items = MakeItems(c.count, c.size, static_cast<uint32_t>(c.count));
    KeySort sort(Env::Default(), c.size);
    ASSERT_TRUE(AddAll(&sort, items).ok());
    Items out;
    std::string first(c.size, '\0');
    bool taken = false;
    ASSERT_TRUE(sort.Take(first.data(), &taken).ok());
    EXPECT_EQ(sort.runs(), c.runs);
    EXPECT_EQ(sort.store().in_file(), c.runs > 0);
    EXPECT_EQ(TempFiles().size(), c.runs > 0 ? 1u : 0u);
    if (taken) out.push_back(first);
    ASSERT_TRUE(TakeAll(&sort, &out).ok());
    EXPECT_TRUE(out == Sorted(items)) << "every item once, ascending";
    ASSERT_TRUE(sort.Take(first.data(), &taken).ok());
    EXPECT_FALSE(taken);
    sort.End();
    EXPECT_TRUE(TempFiles().empty());
  }
}

TEST_F(KeySortTest, SortsAMillionEntriesThroughTheTemporaryFile) {
  // Entries of a LONG key: 4 component bytes and the record number.
  Items items = MakeItems(1'000'000, 8, 99);
  std::shuffle(items.begin(), items.end(), std::mt19937(5));
  Items out;
  {
    KeySort sort(Env::Default(), 8);
    ASSERT_TRUE(AddAll(&sort, items).ok());
    ASSERT_TRUE(TakeAll(&sort, &out).ok());
    EXPECT_EQ(sort.runs(), 8);
    EXPECT_TRUE(sort.store().in_file());
  }
  EXPECT_TRUE(TempFiles().empty());
  ASSERT_EQ(out.size(), items.size());
  EXPECT_TRUE(std::is_sorted(out.begin(), out.end()));
  EXPECT_TRUE(out == Sorted(items));
}

TEST_F(KeySortTest, EqualItemsAreAllHandedOut) {
  Items items;
  std::mt19937 rng(1);
  for (int i = 0; i < 600'000; ++i) items.push_back(std::string(1, static_cast<char>(rng() % 5)) + "k");
  KeySort sort(Env::Default(), 2);
  ASSERT_TRUE(AddAll(&sort, items).ok());
  Items out;
  ASSERT_TRUE(TakeAll(&sort, &out).ok());
  EXPECT_EQ(sort.runs(), 2);
  EXPECT_TRUE(out == Sorted(items));
}

TEST_F(KeySortTest, EndingEarlyLeavesNoTemporaryFile) {
  Items items = MakeItems(250'000, 10, 3);
  for (int taken_before_end : {-1, 0, 5, 249'999}) {  // -1: end while adding
    SCOPED_TRACE(taken_before_end);
    {
      KeySort sort(Env::Default(), 10);
      ASSERT_TRUE(AddAll(&sort, items).ok());
      EXPECT_EQ(TempFiles().size(), 1u) << "runs already written while adding";
      std::string item(10, '\0');
      for (int i = 0; i < taken_before_end; ++i) {
        bool taken = false;
        ASSERT_TRUE(sort.Take(item.data(), &taken).ok());
        ASSERT_TRUE(taken);
      }
      if (taken_before_end == 0) {
        sort.End();
        EXPECT_TRUE(TempFiles().empty());
        bool taken = true;
        EXPECT_TRUE(sort.Take(item.data(), &taken).ok());
        EXPECT_FALSE(taken) << "an ended sort hands out nothing";
      }
      // Otherwise the destructor ends it.
    }
    EXPECT_TRUE(TempFiles().empty());
  }
}

TEST_F(KeySortTest, MisuseIsAnInternalFailure) {
  EXPECT_THROW(KeySort(Env::Default(), 0), InternalFailure);
  KeySort sort(Env::Default(), 4);
  ASSERT_TRUE(sort.Add("abcd").ok());
  std::string item(4, '\0');
  bool taken = false;
  ASSERT_TRUE(sort.Take(item.data(), &taken).ok());
  try {
    (void)sort.Add("efgh");
    ADD_FAILURE() << "add after take";
  } catch (const InternalFailure& f) {
    EXPECT_EQ(f.number(), 3003);
  }
}

// --- faults in the temporary file ---------------------------------------------

enum class Fault { kNone, kFailCreate, kFailWrite, kShortWrite, kFailRead, kShortRead };

class FaultyTempEnv;

// A temporary-file handle that fails its Nth write or read.
class FaultyHandle : public FileHandle {
 public:
  FaultyHandle(std::unique_ptr<FileHandle> base, FaultyTempEnv* env)
      : base_(std::move(base)), env_(env) {}
  Status Read(uint64_t offset, void* buf, size_t n, size_t* read) override;
  Status Write(uint64_t offset, const void* buf, size_t n, size_t* written) override;
  Status Sync() override { return base_->Sync(); }
  Status Truncate(uint64_t length) override { return base_->Truncate(length); }
  Status Size(uint64_t* size) override { return base_->Size(size); }
  Status Lock(uint64_t offset, uint64_t length) override { return base_->Lock(offset, length); }
  Status Unlock(uint64_t offset, uint64_t length) override {
    return base_->Unlock(offset, length);
  }

 private:
  std::unique_ptr<FileHandle> base_;
  FaultyTempEnv* env_;
};

class FaultyTempEnv : public EnvWrapper {
 public:
  FaultyTempEnv(Fault fault, int nth) : EnvWrapper(Env::Default()), fault_(fault), nth_(nth) {}

  Status CreateTempFile(std::string* name, std::unique_ptr<FileHandle>* out) override {
    if (fault_ == Fault::kFailCreate) {
      return Status::Error(err::kAccessDenied, "temporary folder not writable", EACCES);
    }
    Status s = target()->CreateTempFile(name, out);
    if (s.ok()) *out = std::make_unique<FaultyHandle>(std::move(*out), this);
    return s;
  }

  // True when this call is the one to fail.
  bool WriteFails(Fault* how) { return Hit(++writes, how, Fault::kFailWrite, Fault::kShortWrite); }
  bool ReadFails(Fault* how) { return Hit(++reads, how, Fault::kFailRead, Fault::kShortRead); }

  int writes = 0;
  int reads = 0;

 private:
  bool Hit(int count, Fault* how, Fault fail, Fault shorten) {
    *how = fault_;
    return (fault_ == fail || fault_ == shorten) && count == nth_;
  }
  Fault fault_;
  int nth_;
};

Status FaultyHandle::Write(uint64_t offset, const void* buf, size_t n, size_t* written) {
  Fault how;
  if (!env_->WriteFails(&how)) return base_->Write(offset, buf, n, written);
  if (how == Fault::kShortWrite) return base_->Write(offset, buf, n / 2, written);
  *written = 0;
  return Status::Error(ENOSPC, "No space left on device", ENOSPC);
}

Status FaultyHandle::Read(uint64_t offset, void* buf, size_t n, size_t* read) {
  Fault how;
  if (!env_->ReadFails(&how)) return base_->Read(offset, buf, n, read);
  if (how == Fault::kShortRead) return base_->Read(offset, buf, n - 1, read);
  *read = 0;
  return Status::Error(EIO, "Input/output error", EIO);
}

TEST_F(KeySortTest, TemporaryFileFaultsAreReportedAndLeaveNoFile) {
  const Items items = MakeItems(150'000, 10, 11);  // two runs, 1.5 MB
  // A clean run counts the writes and reads the faults aim at.
  FaultyTempEnv counter(Fault::kNone, 0);
  {
    KeySort sort(&counter, 10);
    ASSERT_TRUE(AddAll(&sort, items).ok());
    Items out;
    ASSERT_TRUE(TakeAll(&sort, &out).ok());
  }
  ASSERT_GT(counter.writes, 3);
  ASSERT_GT(counter.reads, 3);

  struct Case {
    Fault fault;
    int nth;
    int code;
  };
  const Case cases[] = {
      {Fault::kFailCreate, 0, err::kAccessDenied},
      {Fault::kFailWrite, 1, ENOSPC},  // moving the memory area out
      {Fault::kFailWrite, 2, ENOSPC},
      {Fault::kFailWrite, counter.writes / 2, ENOSPC},
      {Fault::kFailWrite, counter.writes, ENOSPC},  // the flush before merging
      {Fault::kShortWrite, 3, err::kFileSystemError},
      {Fault::kShortWrite, counter.writes, err::kFileSystemError},
      {Fault::kFailRead, 1, EIO},  // the first run's length
      {Fault::kFailRead, counter.reads / 2, EIO},
      {Fault::kFailRead, counter.reads, EIO},
      {Fault::kShortRead, 2, err::kFileSystemError},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("fault " + std::to_string(static_cast<int>(c.fault)) + " at " +
                 std::to_string(c.nth));
    FaultyTempEnv env(c.fault, c.nth);
    KeySort sort(&env, 10);
    Status st = AddAll(&sort, items);
    Items out;
    if (st.ok()) st = TakeAll(&sort, &out);
    ASSERT_FALSE(st.ok()) << "a fault must not pass for a shorter sort";
    EXPECT_EQ(st.code(), c.code) << st.ToString();
    EXPECT_FALSE(st.message().empty());
    EXPECT_LT(out.size(), items.size());
    // The failure sticks, and the file is gone at once, before End.
    std::string item(10, '\0');
    bool taken = true;
    EXPECT_EQ(sort.Take(item.data(), &taken).code(), c.code);
    EXPECT_FALSE(taken);
    EXPECT_TRUE(TempFiles().empty());
  }
  EXPECT_TRUE(TempFiles().empty());
}

}  // namespace
}  // namespace tessera
