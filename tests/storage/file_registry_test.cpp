// TsrFileRegistry: sharing one TsrFile by name without regard to case, use
// counts, mode merging with reopen, and per-thread registries.
#include "storage/file_registry.h"

#include <gtest/gtest.h>

#include <thread>

#include "storage/raw_records.h"
#include "storage/support/scratch_dir.h"

namespace tessera {
namespace {

using testing::ScratchDir;
using namespace mode;

TEST(FileRegistryTest, MergeModesTable) {
  struct Case {
    uint32_t a, b, merged;
  } cases[] = {
      {kReadOnly | kDenyNone, kReadOnly | kDenyNone, kReadOnly | kDenyNone},
      {kReadOnly | kDenyNone, kReadWrite | kDenyNone, kReadWrite | kDenyNone},
      {kWriteOnly | kDenyNone, kReadOnly | kDenyNone, kReadWrite | kDenyNone},
      {kReadWrite | kDenyNone, kReadWrite | kDenyWrite, kReadWrite | kDenyWrite},
      {kReadWrite | kDenyAll, kReadWrite | kDenyNone, kReadWrite | kDenyAll},
      {kReadWrite | kDenyWrite, kReadWrite | kDenyRead, kReadWrite | kDenyAll},
      {kReadWrite, kReadOnly | kDenyWrite, kReadWrite | kDenyWrite},  // no bits: deny none
      {kCreate | kReadWrite | kDenyNone, kReadWrite | kDenyNone, kReadWrite | kDenyNone},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TsrFileRegistry::MergeModes(c.a, c.b), c.merged) << std::hex << c.a << " " << c.b;
    EXPECT_EQ(TsrFileRegistry::MergeModes(c.b, c.a), c.merged) << "symmetric";
  }
}

class FileRegistryFileTest : public ::testing::Test {
 protected:
  ScratchDir dir;
  TsrFileRegistry registry;
};

TEST_F(FileRegistryFileTest, NamesShareOneFileWithoutRegardToCase) {
  TsrFile *a = nullptr, *b = nullptr;
  ASSERT_TRUE(registry.OpenShared(dir.File("Data.tsr"), kCreate | kReadWrite | kDenyNone, "", &a).ok());
  ASSERT_TRUE(registry.OpenShared(dir.File("DATA.TSR"), kReadWrite | kDenyNone, "", &b).ok());
  EXPECT_EQ(a, b);
  EXPECT_EQ(registry.size(), 1u);
  EXPECT_EQ(registry.UseCount(dir.File("data.tsr")), 2);

  ASSERT_TRUE(a->BeginWriteIntent().ok());
  RawRecords r(a);
  ASSERT_TRUE(r.Insert(RawRecords::Bytes(reinterpret_cast<const uint8_t*>("key"), 3), {}).ok());
  ASSERT_TRUE(registry.Release(a).ok());
  EXPECT_TRUE(a->read_intent()) << "a release that is not the last ends write intent";
  EXPECT_FALSE(a->dirty()) << "and commits";
  EXPECT_EQ(registry.UseCount(dir.File("Data.tsr")), 1);
  ASSERT_TRUE(registry.Release(b).ok());
  EXPECT_EQ(registry.size(), 0u);
  EXPECT_FALSE(registry.Release(b).ok()) << "no longer registered";
}

TEST_F(FileRegistryFileTest, AnotherModeReopensWithTheMergedMode) {
  const std::string name = dir.File("M.TSR");
  TsrFile *a = nullptr, *b = nullptr;
  ASSERT_TRUE(registry.OpenShared(name, kCreate | kReadOnly | kDenyNone, "", &a).ok());
  EXPECT_EQ(a->open_mode() & (kAccessMask | kShareMask), kReadOnly | kDenyNone);
  ASSERT_TRUE(registry.OpenShared(name, kReadWrite | kDenyWrite, "", &b).ok());
  EXPECT_EQ(a, b);
  EXPECT_EQ(a->open_mode(), kReadWrite | kDenyWrite);
  // The reopened handle enforces the merged sharing against others.
  std::unique_ptr<FileHandle> other;
  EXPECT_EQ(Env::Default()->Open(name, kReadWrite | kDenyNone, &other).code(), err::kAccessDenied);
  EXPECT_TRUE(registry.Release(a).ok());
  EXPECT_TRUE(registry.Release(b).ok());
  EXPECT_TRUE(Env::Default()->Open(name, kReadWrite | kDenyNone, &other).ok());
}

TEST_F(FileRegistryFileTest, FailedOpensRegisterNothing) {
  TsrFile* f = nullptr;
  EXPECT_EQ(registry.OpenShared(dir.File("NONE.TSR"), kReadWrite, "", &f).code(), err::kFileNotFound);
  EXPECT_EQ(f, nullptr);
  EXPECT_EQ(registry.size(), 0u);
}

TEST_F(FileRegistryFileTest, EachThreadHasItsOwnRegistry) {
  const std::string name = dir.File("P.TSR");
  TsrFileRegistry* mine = &TsrFileRegistry::ThisThread();
  TsrFileRegistry* theirs = nullptr;
  TsrFile* their_file = nullptr;
  std::thread t([&] {
    theirs = &TsrFileRegistry::For(/*per_thread=*/true);
    ASSERT_TRUE(theirs->OpenShared(name, kCreate | kReadWrite | kDenyNone, "", &their_file).ok());
    ASSERT_TRUE(theirs->Release(their_file).ok());
  });
  t.join();
  EXPECT_NE(mine, theirs);
  EXPECT_EQ(&TsrFileRegistry::For(false), &TsrFileRegistry::Process());
  EXPECT_EQ(mine->UseCount(name), 0);
}

}  // namespace
}  // namespace tessera
