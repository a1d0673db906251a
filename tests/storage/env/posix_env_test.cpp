// The real OS layer: files, error codes, share modes and byte-range locks,
// with second processes made by fork.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "storage/env/env.h"
#include "storage/support/scratch_dir.h"

namespace tessera {
namespace {

using testing::ScratchDir;

constexpr uint64_t kLockBase = uint64_t{1} << 31;

// Runs `body` in a child process and returns its exit code.
int InChild(const std::function<int()>& body) {
  pid_t pid = ::fork();
  if (pid == 0) ::_exit(body());
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 255;
}

int OpenCode(const std::string& name, uint32_t m) {
  std::unique_ptr<FileHandle> h;
  return Env::Default()->Open(name, m, &h).code();
}

class PosixEnvTest : public ::testing::Test {
 protected:
  Env* env = Env::Default();
  ScratchDir dir;
  std::string file = dir.File("DATA.TSR");

  std::unique_ptr<FileHandle> MustOpen(uint32_t m) {
    std::unique_ptr<FileHandle> h;
    Status s = env->Open(file, m, &h);
    EXPECT_TRUE(s.ok()) << s.ToString();
    return h;
  }
};

TEST_F(PosixEnvTest, ReadWriteSizeTruncateRoundTrip) {
  auto h = MustOpen(mode::kCreate | mode::kReadWrite);
  std::vector<uint8_t> data(1000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
  size_t n = 0;
  ASSERT_TRUE(h->Write(512, data.data(), data.size(), &n).ok());
  EXPECT_EQ(n, data.size());
  ASSERT_TRUE(h->Sync().ok());
  uint64_t size = 0;
  ASSERT_TRUE(h->Size(&size).ok());
  EXPECT_EQ(size, 1512u);

  std::vector<uint8_t> back(2000, 0xEE);
  ASSERT_TRUE(h->Read(512, back.data(), back.size(), &n).ok());
  EXPECT_EQ(n, 1000u) << "a read past the end is short, not an error";
  EXPECT_TRUE(std::equal(data.begin(), data.end(), back.begin()));

  ASSERT_TRUE(h->Truncate(700).ok());
  ASSERT_TRUE(h->Size(&size).ok());
  EXPECT_EQ(size, 700u);
}

TEST_F(PosixEnvTest, AccessIsEnforcedByTheHandle) {
  MustOpen(mode::kCreate | mode::kReadWrite).reset();
  auto ro = MustOpen(mode::kReadOnly);
  size_t n = 0;
  uint8_t b = 1;
  EXPECT_EQ(ro->Write(0, &b, 1, &n).code(), err::kAccessDenied);
  EXPECT_EQ(ro->Truncate(0).code(), err::kAccessDenied);
  // A read-only handle still takes exclusive locks (reader slots need them).
  EXPECT_TRUE(ro->Lock(kLockBase, 1).ok());
}

TEST_F(PosixEnvTest, OpenErrorsMapToEngineCodes) {
  MustOpen(mode::kCreate | mode::kReadWrite).reset();  // a plain file
  struct Case {
    std::string name;
    uint32_t mode;
    int code;
  } cases[] = {
      {dir.File("MISSING.TSR"), mode::kReadWrite, err::kFileNotFound},
      {dir.File("NOFOLDER/X.TSR"), mode::kReadWrite, err::kPathNotFound},
      {dir.File("NOFOLDER/X.TSR"), mode::kCreate | mode::kReadWrite, err::kPathNotFound},
      {file + "/X.TSR", mode::kReadWrite, err::kPathNotFound},  // ENOTDIR
      {dir.File(std::string(300, 'N')), mode::kCreate | mode::kReadWrite, err::kBadFileName},
      {dir.path(), mode::kReadWrite, err::kAccessDenied},
      {"", mode::kReadWrite, err::kBadFileName},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<FileHandle> h;
    EXPECT_EQ(env->Open(c.name, c.mode, &h).code(), c.code);
    EXPECT_EQ(h, nullptr);
  }
}

TEST_F(PosixEnvTest, PermissionDeniedIsAccessDenied) {
  if (::geteuid() == 0) GTEST_SKIP() << "root ignores file permissions";
  MustOpen(mode::kCreate | mode::kReadWrite).reset();
  ::chmod(file.c_str(), 0);
  EXPECT_EQ(OpenCode(file, mode::kReadOnly), err::kAccessDenied);
}

// Second opener against a first open handle; the same answer is expected
// from another handle of this process and from another process.
TEST_F(PosixEnvTest, ShareModesBetweenHandlesAndProcesses) {
  MustOpen(mode::kCreate | mode::kReadWrite).reset();
  using namespace mode;
  struct Case {
    uint32_t first, second;
    bool allowed;
  } cases[] = {
      {kReadWrite | kDenyNone, kReadWrite | kDenyNone, true},
      {kReadWrite, kReadOnly, true},  // no sharing bits: deny none
      {kReadWrite | kDenyNone, kReadOnly | kDenyWrite, false},
      {kReadOnly | kDenyNone, kReadOnly | kDenyWrite, true},
      {kReadOnly | kDenyWrite, kReadWrite | kDenyNone, false},
      {kReadOnly | kDenyWrite, kReadOnly | kDenyNone, true},
      {kReadOnly | kDenyWrite, kReadOnly | kDenyWrite, true},
      {kReadWrite | kDenyWrite, kReadWrite | kDenyWrite, false},
      {kReadWrite | kDenyAll, kReadOnly | kDenyNone, false},
      {kReadOnly | kDenyNone, kReadOnly | kDenyAll, false},
      {kReadOnly | kDenyRead, kReadOnly | kDenyNone, false},
      {kReadOnly | kDenyRead, kWriteOnly | kDenyNone, true},
      {kWriteOnly | kDenyNone, kReadOnly | kDenyRead, true},
      // Opened with create, deny read shares nothing.
      {kCreate | kReadOnly | kDenyRead, kWriteOnly | kDenyNone, false},
      {kCreate | kReadWrite | kDenyNone, kReadOnly | kDenyNone, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << std::hex << "first 0x" << c.first
                                      << " second 0x" << c.second);
    auto h = MustOpen(c.first);
    int want = c.allowed ? 0 : err::kAccessDenied;
    EXPECT_EQ(OpenCode(file, c.second), want) << "same process";
    EXPECT_EQ(InChild([&] { return OpenCode(file, c.second); }), want) << "other process";
  }
  // Once every handle is gone, anything goes again.
  EXPECT_EQ(OpenCode(file, mode::kReadWrite | mode::kDenyAll), 0);
}

TEST_F(PosixEnvTest, LocksBelongToTheirHandle) {
  auto a = MustOpen(mode::kCreate | mode::kReadWrite);
  auto b = MustOpen(mode::kReadWrite);
  const uint64_t byte = kLockBase + 1023;

  ASSERT_TRUE(a->Lock(byte, 1).ok());
  EXPECT_EQ(b->Lock(byte, 1).code(), err::kAccessDenied) << "second handle, same process";
  EXPECT_TRUE(b->Lock(byte + 1, 1).ok()) << "a neighbouring byte is free";
  EXPECT_EQ(InChild([&] {
              std::unique_ptr<FileHandle> h;
              if (!Env::Default()->Open(file, mode::kReadWrite, &h).ok()) return 99;
              return h->Lock(byte, 1).code();
            }),
            err::kAccessDenied);

  // The trap of process-owned locks: closing some other descriptor of the
  // file must not drop a's lock.
  MustOpen(mode::kReadOnly).reset();
  EXPECT_EQ(b->Lock(byte, 1).code(), err::kAccessDenied);

  ASSERT_TRUE(a->Unlock(byte, 1).ok());
  EXPECT_TRUE(b->Lock(byte, 1).ok());
  ASSERT_TRUE(b->Unlock(byte, 1).ok());

  // Locks far above 2^32 (application locks of large numbers) work too, and
  // closing the holder frees them for another process.
  const uint64_t high = kLockBase + 1024 + 0xFDFFFFFFull + 1;
  ASSERT_TRUE(a->Lock(high, 1).ok());
  a.reset();
  EXPECT_EQ(InChild([&] {
              std::unique_ptr<FileHandle> h;
              if (!Env::Default()->Open(file, mode::kReadWrite, &h).ok()) return 99;
              return h->Lock(high, 1).code();
            }),
            0);
}

TEST_F(PosixEnvTest, LocksOfAnEndedProcessAreGone) {
  // A lock held by a process that has ended is gone.
  ASSERT_EQ(InChild([&] {
              std::unique_ptr<FileHandle> h;
              if (!Env::Default()->Open(file, mode::kCreate | mode::kReadWrite, &h).ok())
                return 99;
              return h->Lock(kLockBase, 1023).code();
            }),
            0);
  auto h = MustOpen(mode::kReadWrite);
  EXPECT_TRUE(h->Lock(kLockBase, 1023).ok());
}

TEST_F(PosixEnvTest, TempFilesAreExclusiveAndNamedTmp) {
  ::setenv("TMPDIR", dir.path().c_str(), 1);
  std::string name;
  std::unique_ptr<FileHandle> h;
  Status s = env->CreateTempFile(&name, &h);
  ::unsetenv("TMPDIR");
  ASSERT_TRUE(s.ok()) << s.ToString();
  EXPECT_EQ(name.rfind(dir.path() + "/TMP", 0), 0u) << name;
  EXPECT_TRUE(env->Exists(name));
  EXPECT_EQ(OpenCode(name, mode::kReadOnly), err::kAccessDenied);
  size_t n = 0;
  EXPECT_TRUE(h->Write(0, "abc", 3, &n).ok());
  h.reset();
  EXPECT_TRUE(env->Delete(name).ok());
  EXPECT_FALSE(env->Exists(name));
}

TEST_F(PosixEnvTest, CopyRenameDelete) {
  {
    auto h = MustOpen(mode::kCreate | mode::kReadWrite);
    size_t n = 0;
    ASSERT_TRUE(h->Write(0, "hello", 5, &n).ok());
  }
  std::string copy = dir.File("COPY.TSR"), moved = dir.File("MOVED.TSR");
  ASSERT_TRUE(env->Copy(file, copy).ok());
  ASSERT_TRUE(env->Rename(copy, moved).ok());
  EXPECT_FALSE(env->Exists(copy));
  std::unique_ptr<FileHandle> h;
  ASSERT_TRUE(env->Open(moved, mode::kReadOnly, &h).ok());
  char buf[8] = {};
  size_t n = 0;
  ASSERT_TRUE(h->Read(0, buf, sizeof buf, &n).ok());
  EXPECT_EQ(std::string(buf, n), "hello");
  h.reset();
  EXPECT_TRUE(env->Delete(moved).ok());
  EXPECT_EQ(env->Delete(moved).code(), err::kFileNotFound);
  EXPECT_EQ(env->Copy(moved, copy).code(), err::kFileNotFound);
}

TEST_F(PosixEnvTest, ClockAndLocalTime) {
  uint32_t t0 = env->ClockHundredths();
  env->SleepMillis(30);
  uint32_t t1 = env->ClockHundredths();
  EXPECT_GE(t1 - t0, 2u);
  EXPECT_LT(t1 - t0, 100u);
  LocalTime now = env->Now();
  EXPECT_GE(now.year, 2024);
  EXPECT_GE(now.month, 1);
  EXPECT_LE(now.month, 12);
  EXPECT_GE(now.day, 1);
  EXPECT_LE(now.day, 31);
}

}  // namespace
}  // namespace tessera
