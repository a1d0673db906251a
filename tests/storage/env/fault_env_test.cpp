// FaultEnv: injected write and sync faults, and the power-loss model that
// takes back unsynced writes.
#include "storage/env/fault_env.h"

#include <gtest/gtest.h>

#include <string>

#include "storage/support/scratch_dir.h"

namespace tessera {
namespace {

using testing::ScratchDir;

class FaultEnvTest : public ::testing::Test {
 protected:
  ScratchDir dir;
  std::string file = dir.File("F.TSR");
  FaultEnv env;

  std::unique_ptr<FileHandle> Open() {
    std::unique_ptr<FileHandle> h;
    EXPECT_TRUE(env.Open(file, mode::kCreate | mode::kReadWrite, &h).ok());
    return h;
  }
  static Status Put(FileHandle* h, uint64_t off, const std::string& s, size_t* n) {
    return h->Write(off, s.data(), s.size(), n);
  }
  std::string Contents() {
    std::unique_ptr<FileHandle> h;
    EXPECT_TRUE(Env::Default()->Open(file, mode::kReadOnly, &h).ok());
    uint64_t size = 0;
    EXPECT_TRUE(h->Size(&size).ok());
    std::string s(size, '\0');
    size_t n = 0;
    EXPECT_TRUE(h->Read(0, s.data(), s.size(), &n).ok());
    return s;
  }
};

TEST_F(FaultEnvTest, FailsAndShortensTheNthWriteOnce) {
  auto h = Open();
  size_t n = 0;
  env.Arm(FaultKind::kFailWrite, 2, ENOSPC);
  EXPECT_TRUE(Put(h.get(), 0, "aaaa", &n).ok());
  Status s = Put(h.get(), 4, "bbbb", &n);
  EXPECT_EQ(s.code(), ENOSPC);
  EXPECT_EQ(s.os_error(), ENOSPC);
  EXPECT_EQ(n, 0u);
  EXPECT_TRUE(Put(h.get(), 4, "cccc", &n).ok()) << "the fault fires once";
  EXPECT_TRUE(env.fired());

  env.Arm(FaultKind::kShortWrite, 1);
  EXPECT_TRUE(Put(h.get(), 8, "dddd", &n).ok());
  EXPECT_EQ(n, 2u);
  h.reset();
  EXPECT_EQ(Contents(), "aaaaccccdd");
}

TEST_F(FaultEnvTest, FailIoCountsWritesAndSyncsTogether) {
  auto h = Open();
  size_t n = 0;
  env.Arm(FaultKind::kFailIo, 3, EIO);
  EXPECT_TRUE(Put(h.get(), 0, "a", &n).ok());
  EXPECT_TRUE(h->Sync().ok());
  EXPECT_EQ(h->Sync().os_error(), EIO);
  EXPECT_TRUE(h->Sync().ok());
}

TEST_F(FaultEnvTest, CrashBeforeSyncDropsUnsyncedWrites) {
  auto h = Open();
  size_t n = 0;
  ASSERT_TRUE(Put(h.get(), 0, "0123456789", &n).ok());
  ASSERT_TRUE(h->Sync().ok());
  env.Arm(FaultKind::kCrashBeforeSync, 1);
  ASSERT_TRUE(Put(h.get(), 2, "XX", &n).ok());
  ASSERT_TRUE(Put(h.get(), 10, "tail", &n).ok());
  ASSERT_TRUE(h->Truncate(6).ok());
  EXPECT_FALSE(h->Sync().ok());
  EXPECT_TRUE(env.crashed());
  EXPECT_FALSE(Put(h.get(), 0, "z", &n).ok()) << "a dead process writes nothing";
  EXPECT_FALSE(h->Truncate(0).ok());
  EXPECT_EQ(Contents(), "0123456789");
}

TEST_F(FaultEnvTest, CrashAfterSyncKeepsThatSync) {
  auto h = Open();
  size_t n = 0;
  env.Arm(FaultKind::kCrashAfterSync, 2);
  ASSERT_TRUE(Put(h.get(), 0, "first", &n).ok());
  ASSERT_TRUE(h->Sync().ok());
  ASSERT_TRUE(Put(h.get(), 5, "second", &n).ok());
  EXPECT_FALSE(h->Sync().ok());
  EXPECT_TRUE(env.crashed());
  std::unique_ptr<FileHandle> again;
  EXPECT_FALSE(env.Open(file, mode::kReadWrite, &again).ok());
  h.reset();
  EXPECT_EQ(Contents(), "firstsecond");
}

}  // namespace
}  // namespace tessera
