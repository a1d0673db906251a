// TsrFile: opening and validating files, the sequence counter, passwords,
// page moves, commit through the log, crash recovery, fault injection and
// the internal-failure lock-out.
#include "storage/tsr_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <string>

#include "storage/cursor.h"
#include "storage/env/fault_env.h"
#include "storage/page.h"
#include "storage/raw_records.h"
#include "storage/record.h"
#include "storage/support/file_probe.h"
#include "storage/support/scratch_dir.h"

namespace tessera {
namespace {

using testing::Bytes;
using testing::ExpectSoundFile;
using testing::ReadAll;
using testing::ScratchDir;
using testing::WriteAll;

constexpr uint32_t kExclusive = mode::kCreate | mode::kReadWrite | mode::kDenyAll;
constexpr uint32_t kShared = mode::kCreate | mode::kReadWrite | mode::kDenyNone;

std::string Key(int i) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "k%07d", i);
  return buf;
}

class TsrFileTest : public ::testing::Test {
 protected:
  ScratchDir dir;
  std::string path = dir.File("T.TSR");

  // Opens, writes records [from, to) with data of `len` bytes, commits and
  // closes.
  void Fill(int from, int to, size_t len = 40, Env* env = Env::Default(),
            std::string_view password = {}) {
    TsrFile f(env);
    ASSERT_TRUE(f.Open(path, kExclusive, password).ok());
    ASSERT_TRUE(f.BeginWriteIntent().ok());
    RawRecords r(&f);
    for (int i = from; i < to; ++i) {
      std::string data(len, static_cast<char>('a' + i % 26));
      ASSERT_TRUE(r.Insert(Bytes(Key(i)), Bytes(data)).ok());
    }
    ASSERT_TRUE(f.Close().ok());
  }

  // The records of the file as key -> data.
  std::map<std::string, std::string> Contents(TsrFile& f) {
    std::map<std::string, std::string> out;
    RawRecords r(&f);
    Status s = r.Walk([&](RawRecords::Bytes k, RawRecords::Bytes d) {
      out[std::string(k.begin(), k.end())] = std::string(d.begin(), d.end());
    });
    EXPECT_TRUE(s.ok()) << s.ToString();
    return out;
  }
  std::map<std::string, std::string> Contents(uint32_t m = kExclusive,
                                              std::string_view password = {}) {
    TsrFile f;
    Status s = f.Open(path, m, password);
    EXPECT_TRUE(s.ok()) << s.ToString();
    auto out = Contents(f);
    EXPECT_TRUE(f.Close().ok());
    return out;
  }
};

// --- opening ---------------------------------------------------------------------

TEST_F(TsrFileTest, EmptyFileIsAValidNewFile) {
  WriteAll(path, {});
  TsrFile f;
  ASSERT_TRUE(f.Open(path, mode::kReadWrite | mode::kDenyNone).ok());
  EXPECT_TRUE(f.read_intent());
  EXPECT_TRUE(f.header().HasMagic());
  RawRecords r(&f);
  bool found = true;
  std::vector<uint8_t> data;
  EXPECT_TRUE(r.Find(Bytes("x"), &data, &found).ok());
  EXPECT_FALSE(found);
  RawRecords::Entry e;
  EXPECT_TRUE(r.Previous(Bytes("zzz"), &e, &found).ok());
  EXPECT_FALSE(found) << "the smallest record stays hidden";
  EXPECT_TRUE(f.Close().ok());
  EXPECT_EQ(ReadAll(path).size(), 0u) << "reading writes nothing";
}

TEST_F(TsrFileTest, NonTesseraBytesAreRefusedWith36) {
  std::vector<uint8_t> good_size(512, 0);
  std::vector<uint8_t> wrong_magic(2048, 0);
  std::memcpy(wrong_magic.data() + 14, "tEsT", 4);
  const std::vector<std::vector<uint8_t>> cases = {
      std::vector<uint8_t>(1, 'x'), std::vector<uint8_t>(100, 0),
      std::vector<uint8_t>(511, 0), good_size, wrong_magic};
  for (const auto& bytes : cases) {
    SCOPED_TRACE(bytes.size());
    WriteAll(path, bytes);
    TsrFile f;
    Status s = f.Open(path, mode::kReadWrite);
    EXPECT_EQ(s.code(), err::kInvalidDataFile);
    EXPECT_FALSE(f.is_open());
    EXPECT_EQ(ReadAll(path), bytes) << "a refused file is left alone";
  }
}

TEST_F(TsrFileTest, MissingFileIsTheOsError) {
  TsrFile f;
  EXPECT_EQ(f.Open(dir.File("NONE.TSR"), mode::kReadWrite).code(), err::kFileNotFound);
}

// --- sequence counter ------------------------------------------------------------

TEST_F(TsrFileTest, SequenceCounterCountsAndStops) {
  {
    TsrFile f;
    ASSERT_TRUE(f.Open(path, kExclusive).ok());
    std::array<uint8_t, 4> n;
    Status s = f.TakeSequenceNumber(&n);
    EXPECT_EQ(s.code(), err::kFileSystemError) << "read intent";
    EXPECT_EQ(s.os_error(), 1163);
    EXPECT_EQ(f.BeginWriteIntent().code(), err::kFileSystemError) << "locked out";
    ASSERT_TRUE(f.Close().ok());
  }
  {
    TsrFile f;
    ASSERT_TRUE(f.Open(path, kExclusive).ok());
    ASSERT_TRUE(f.BeginWriteIntent().ok());
    std::array<uint8_t, 4> n;
    for (uint8_t want = 1; want <= 3; ++want) {
      ASSERT_TRUE(f.TakeSequenceNumber(&n).ok());
      EXPECT_EQ(n, (std::array<uint8_t, 4>{0, 0, 0, want}));
    }
    ASSERT_TRUE(f.Close().ok());
  }
  // The counter is stored big-endian at offset 20; set it to FD FF FF FF.
  auto bytes = ReadAll(path);
  ASSERT_EQ(bytes[23], 3);
  bytes[20] = 0xFD;
  bytes[21] = bytes[22] = bytes[23] = 0xFF;
  WriteAll(path, bytes);
  TsrFile f;
  ASSERT_TRUE(f.Open(path, kExclusive).ok());
  ASSERT_TRUE(f.BeginWriteIntent().ok());
  std::array<uint8_t, 4> n;
  Status s = f.TakeSequenceNumber(&n);
  EXPECT_EQ(s.code(), err::kFileSystemError);
  EXPECT_EQ(s.os_error(), 1173);
  EXPECT_EQ(s.message(), kCorruptionText);
  ASSERT_TRUE(f.Close().ok());
  EXPECT_EQ(ReadAll(path), bytes) << "close after a failure writes nothing";
}

// --- round trips -----------------------------------------------------------------

TEST_F(TsrFileTest, RecordsSurviveCloseAndReopen) {
  Fill(0, 2000);
  auto got = Contents();
  ASSERT_EQ(got.size(), 2000u);
  EXPECT_EQ(got[Key(0)], std::string(40, 'a'));
  EXPECT_EQ(got[Key(1999)], std::string(40, 'a' + 1999 % 26));
  TsrFile f;
  ASSERT_TRUE(f.Open(path, kExclusive).ok());
  EXPECT_GE(f.header().change_count, 2);
  EXPECT_EQ(f.header().log_start, f.header().log_end);
  EXPECT_EQ(ReadAll(path).size(), static_cast<size_t>(f.header().EndOfData()))
      << "close cuts the file to its end of data";
  ExpectSoundFile(f);
  ASSERT_TRUE(f.Close().ok());
}

TEST_F(TsrFileTest, PasswordProtectedFileRoundTrips) {
  Fill(0, 300, 40, Env::Default(), "Open Sesame");
  auto bytes = ReadAll(path);
  std::string text(bytes.begin(), bytes.end());
  EXPECT_EQ(text.find("tEsS"), std::string::npos) << "the header is enciphered too";
  EXPECT_EQ(text.find(Key(7)), std::string::npos);
  EXPECT_EQ(Contents(kExclusive, "Open Sesame").size(), 300u);

  for (std::string_view wrong : {"open sesame", "", "x"}) {
    TsrFile f;
    EXPECT_EQ(f.Open(path, kExclusive, wrong).code(), err::kInvalidDataFile) << wrong;
  }
  EXPECT_EQ(ReadAll(path), bytes);
}

TEST_F(TsrFileTest, OverlongRecordsAreRefusedWithoutHarm) {
  TsrFile f;
  ASSERT_TRUE(f.Open(path, kExclusive).ok());
  ASSERT_TRUE(f.BeginWriteIntent().ok());
  RawRecords r(&f);
  std::vector<uint8_t> data(15000, 'd');
  ASSERT_TRUE(r.Insert(Bytes("123456789"), data).ok()) << "15,009 bytes fit";
  std::vector<uint8_t> big(kMaxRecordLength, 'e');
  Status s = r.Insert(Bytes("k"), big);
  EXPECT_EQ(s.code(), err::kFileSystemError);
  EXPECT_EQ(f.failure(), 0) << "a refusal, not a failure";
  ASSERT_TRUE(r.Insert(Bytes("k"), std::span(big).first(kMaxRecordLength - 1)).ok());
  ASSERT_TRUE(f.Close().ok());
  auto got = Contents();
  EXPECT_EQ(got.size(), 2u);
  EXPECT_EQ(got["123456789"].size(), 15000u);
}


// --- commit faults and crashes ---------------------------------------------------

// A committed file of 600 records, and a change that rewrites committed
// pages (so the commit uses its log), grows the file and deletes records.
class CommitFaultTest : public TsrFileTest {
 protected:
  std::vector<uint8_t> base;
  std::map<std::string, std::string> old_state, new_state;

  void SetUp() override {
    Fill(0, 600);
    base = ReadAll(path);
    old_state = Contents();
    new_state = old_state;
    for (int i = 0; i < 600; i += 7) new_state.erase(Key(i));
    for (int i = 600; i < 700; ++i) new_state[Key(i)] = std::string(300, 'n');
    new_state[Key(5) + "x"] = std::string(15000, 'B');
  }

  // Opens through `env`, makes the change and commits; returns the commit's
  // status. The file object is closed afterwards whatever happened.
  Status ChangeAndCommit(Env* env, const std::function<void()>& before_commit = {}) {
    TsrFile f(env);
    Status s = f.Open(path, kExclusive);
    if (!s.ok()) return s;
    EXPECT_TRUE(f.BeginWriteIntent().ok());
    RawRecords r(&f);
    bool found;
    for (int i = 0; i < 600; i += 7) EXPECT_TRUE(r.Delete(Bytes(Key(i)), &found).ok());
    for (int i = 600; i < 700; ++i)
      EXPECT_TRUE(r.Insert(Bytes(Key(i)), Bytes(std::string(300, 'n'))).ok());
    EXPECT_TRUE(r.Insert(Bytes(Key(5) + "x"), Bytes(std::string(15000, 'B'))).ok());
    if (before_commit) before_commit();
    s = f.Commit();
    (void)f.Close();
    return s;
  }

  // Reopens as a writer (which replays or discards a pending log) and
  // returns the contents, checking the file is sound and clean.
  std::map<std::string, std::string> RecoveredContents() {
    TsrFile f;
    EXPECT_TRUE(f.Open(path, kExclusive).ok());
    EXPECT_TRUE(f.BeginWriteIntent().ok());
    auto got = Contents(f);
    EXPECT_EQ(f.header().log_start, f.header().log_end) << "the log was dealt with";
    ExpectSoundFile(f);
    EXPECT_TRUE(f.Close().ok());
    return got;
  }

  int PhaseOneWrites() {
    FaultEnv env;
    EXPECT_FALSE(ChangeAndCommit(&env, [&] { env.Arm(FaultKind::kCrashAfterSync, 2); }).ok());
    int n = env.writes();
    WriteAll(path, base);
    return n;
  }
};

TEST_F(CommitFaultTest, PhaseOneFaultsLeaveTheFileByteForByte) {
  const int writes = PhaseOneWrites();
  ASSERT_GT(writes, 5);
  struct Case {
    FaultKind kind;
    int last;       // N = 1..last
    int want_code;  // the status the commit reports
  } cases[] = {
      {FaultKind::kFailWrite, writes, ENOSPC},
      {FaultKind::kShortWrite, writes, err::kAccessDenied},
      {FaultKind::kFailSync, 2, EIO == 5 ? 5 : EIO},
  };
  for (const Case& c : cases) {
    for (int n = 1; n <= c.last; ++n) {
      SCOPED_TRACE(::testing::Message() << "kind " << static_cast<int>(c.kind) << " n " << n);
      FaultEnv env;
      Status s = ChangeAndCommit(&env, [&] { env.Arm(c.kind, n, c.want_code == 5 ? EIO : ENOSPC); });
      ASSERT_TRUE(env.fired());
      EXPECT_EQ(s.code(), c.want_code) << s.ToString();
      ASSERT_EQ(ReadAll(path), base) << "the file must be exactly as before";
    }
  }
  EXPECT_EQ(Contents(), old_state);
}

TEST_F(CommitFaultTest, FaultLoopGivesWhollyOldOrWhollyNew) {
  int n = 1;
  for (;; ++n) {
    SCOPED_TRACE(::testing::Message() << "I/O call " << n);
    WriteAll(path, base);
    FaultEnv env;
    Status s = ChangeAndCommit(&env, [&] { env.Arm(FaultKind::kFailIo, n, EIO); });
    auto got = RecoveredContents();
    if (!env.fired()) {
      ASSERT_TRUE(s.ok()) << s.ToString();
      ASSERT_EQ(got, new_state);
      break;
    }
    EXPECT_FALSE(s.ok()) << "a failed I/O call is never reported as success";
    ASSERT_TRUE(got == old_state || got == new_state);
    ASSERT_LT(n, 1000);
  }
  EXPECT_GT(n, 10);
}

TEST_F(CommitFaultTest, CrashesAtEachSyncOfTheCommit) {
  struct Case {
    FaultKind kind;
    int sync;
    bool survives;  // the new state stands after recovery
  } cases[] = {
      {FaultKind::kCrashBeforeSync, 1, false},  // log not durable
      {FaultKind::kCrashAfterSync, 1, false},   // log durable, header not
      {FaultKind::kCrashBeforeSync, 2, false},  // header at 0 not durable
      {FaultKind::kCrashAfterSync, 2, true},    // prepared: replayed
      {FaultKind::kCrashBeforeSync, 3, true},   // phase 2 writes lost
      {FaultKind::kCrashAfterSync, 3, true},
      {FaultKind::kCrashBeforeSync, 4, true},   // log reset lost
      {FaultKind::kCrashAfterSync, 4, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "kind " << static_cast<int>(c.kind) << " sync " << c.sync);
    WriteAll(path, base);
    FaultEnv env;
    (void)ChangeAndCommit(&env, [&] { env.Arm(c.kind, c.sync); });
    ASSERT_TRUE(env.crashed());
    if (c.sync == 1 && c.kind == FaultKind::kCrashBeforeSync) {
      EXPECT_EQ(ReadAll(path), base) << "nothing of the commit reached the disk";
    }
    EXPECT_EQ(RecoveredContents(), c.survives ? new_state : old_state);
  }
}

TEST_F(CommitFaultTest, PreparedFileIsReadThroughTheLogThenReplayed) {
  FaultEnv env;
  (void)ChangeAndCommit(&env, [&] { env.Arm(FaultKind::kCrashAfterSync, 2); });
  ASSERT_TRUE(env.crashed());
  const auto prepared = ReadAll(path);
  FileHeader at0 = FileHeader::Decode(std::span<const uint8_t, kHeaderSize>(prepared.data(), kHeaderSize));
  ASSERT_NE(at0.log_start, at0.log_end) << "the header at 0 points at the log";
  // The header at 0 is the old committed one but for the log pointers.
  FileHeader old0 = FileHeader::Decode(std::span<const uint8_t, kHeaderSize>(base.data(), kHeaderSize));
  old0.log_start = at0.log_start;
  old0.log_end = at0.log_end;
  EXPECT_EQ(at0, old0);

  {
    // A reader sees the committed state through the log and writes nothing.
    TsrFile f;
    ASSERT_TRUE(f.Open(path, mode::kReadOnly | mode::kDenyNone).ok());
    EXPECT_EQ(Contents(f), new_state);
    EXPECT_FALSE(f.log_map().empty());
    ASSERT_TRUE(f.Close().ok());
    EXPECT_EQ(ReadAll(path), prepared);
  }
  EXPECT_EQ(RecoveredContents(), new_state);
  auto after = ReadAll(path);
  FileHeader clean = FileHeader::Decode(std::span<const uint8_t, kHeaderSize>(after.data(), kHeaderSize));
  EXPECT_EQ(clean.log_start, clean.log_end);
  EXPECT_EQ(static_cast<int64_t>(after.size()), clean.EndOfData());
}

TEST_F(CommitFaultTest, DiscardedPreparedFileKeepsItsOldZones) {
  // Prepare, then discard instead of replaying (what a multi-file
  // transaction does when it does not reach its commit point).
  {
    TsrFile f;
    ASSERT_TRUE(f.Open(path, kExclusive).ok());
    ASSERT_TRUE(f.BeginWriteIntent().ok());
    RawRecords r(&f);
    bool found;
    for (int i = 0; i < 600; i += 3) ASSERT_TRUE(r.Delete(Bytes(Key(i)), &found).ok());
    std::array<uint8_t, 4> n;
    ASSERT_TRUE(f.TakeSequenceNumber(&n).ok());
    ASSERT_TRUE(f.CommitPhase1().ok());
    ASSERT_TRUE(f.DiscardPrepared().ok());
    ASSERT_TRUE(f.Close().ok());
  }
  EXPECT_EQ(RecoveredContents(), old_state);
}

TEST_F(CommitFaultTest, DamagedLogIsDiscardedByTheNextWriter) {
  FaultEnv env;
  (void)ChangeAndCommit(&env, [&] { env.Arm(FaultKind::kCrashAfterSync, 2); });
  auto bytes = ReadAll(path);
  FileHeader at0 = FileHeader::Decode(std::span<const uint8_t, kHeaderSize>(bytes.data(), kHeaderSize));
  bytes.resize(at0.log_end - 300);  // the log's tail is gone
  WriteAll(path, bytes);
  EXPECT_EQ(Contents(mode::kReadOnly | mode::kDenyNone), old_state);
  EXPECT_EQ(RecoveredContents(), old_state);
}

// --- internal failures -------------------------------------------------------------

TEST_F(TsrFileTest, InternalFailureLocksTheFileOutAndCloseWritesNothing) {
  Fill(0, 300);
  const auto before = ReadAll(path);
  TsrFile f;
  ASSERT_TRUE(f.Open(path, kExclusive).ok());
  ASSERT_TRUE(f.BeginWriteIntent().ok());
  RawRecords r(&f);
  for (int i = 300; i < 400; ++i) ASSERT_TRUE(r.Insert(Bytes(Key(i)), Bytes("new")).ok());
  Status dup = r.Insert(Bytes(Key(3)), Bytes("again"));
  EXPECT_EQ(dup.code(), err::kFileSystemError);
  EXPECT_EQ(dup.os_error(), 706);
  EXPECT_EQ(dup.message(), "Possible data corruption in file");

  bool found = false;
  std::vector<uint8_t> data;
  for (Status s : {r.Find(Bytes(Key(1)), &data, &found), f.Commit(), f.BeginWriteIntent(),
                   f.EndWriteIntent(), r.Insert(Bytes("zz"), Bytes("x"))}) {
    EXPECT_EQ(s.code(), err::kFileSystemError);
    EXPECT_EQ(s.os_error(), 706) << "the same number every time";
  }
  EXPECT_TRUE(f.Close().ok());
  EXPECT_EQ(ReadAll(path), before);
  EXPECT_EQ(Contents().size(), 300u) << "usable again after close";
}

// Each case damages or misuses an open file and expects the numbered
// failure, reported as 90 and locking the file out.
TEST_F(TsrFileTest, NumberedFailuresOfTheContainer) {
  Fill(0, 500);
  const auto good = ReadAll(path);
  std::vector<uint8_t> buf(128);
  struct Case {
    const char* what;
    uint32_t mode;
    std::function<Status(TsrFile&, RawRecords&)> act;
    int number;
  } cases[] = {
      {"read length not a multiple of 64", kExclusive,
       [&](TsrFile& f, RawRecords&) {
         return f.Guard([&] { f.ReadBlock(0, buf.data(), 100); return Status::OK(); });
       }, 2272},
      {"write length not a multiple of 64", kExclusive,
       [&](TsrFile& f, RawRecords&) {
         return f.Guard([&] { f.WriteBlock(0, buf.data(), 65); return Status::OK(); });
       }, 2286},
      {"exact read past the end", kExclusive,
       [&](TsrFile& f, RawRecords&) {
         return f.Guard([&] { f.ReadExact(f.header().EndOfData(), buf.data(), 128); return Status::OK(); });
       }, 2172},
      {"insert in read intent", kExclusive,
       [&](TsrFile&, RawRecords& r) { return r.Insert(Bytes("new"), Bytes("x")); }, 1194},
      {"delete in read intent", kExclusive,
       [&](TsrFile&, RawRecords& r) { bool found; return r.Delete(Bytes(Key(1)), &found); }, 1203},
      {"root needed but the header is gone", kShared,
       [&](TsrFile& f, RawRecords& r) {
         EXPECT_TRUE(f.EndOperation().ok());
         WriteAll(path, std::vector<uint8_t>(100, 0));
         std::vector<uint8_t> d;
         bool found;
         return r.Find(Bytes(Key(1)), &d, &found);
       }, 1013},
      {"block length does not fit its zone", kExclusive,
       [&](TsrFile& f, RawRecords& r) {
         auto bytes = ReadAll(path);
         int64_t at = UnitOffset(f.header().root_unit);
         bytes[at + 4] = 0x00;
         bytes[at + 5] = 0x30;  // 12288 bytes: 48 units
         WriteAll(path, bytes);
         std::vector<uint8_t> d;
         bool found;
         return r.Find(Bytes(Key(1)), &d, &found);
       }, 1477},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WriteAll(path, good);
    TsrFile f;
    ASSERT_TRUE(f.Open(path, c.mode).ok());
    RawRecords r(&f);
    Status s = c.act(f, r);
    EXPECT_EQ(s.code(), err::kFileSystemError);
    EXPECT_EQ(s.os_error(), c.number);
    EXPECT_EQ(f.failure(), c.number);
    std::vector<uint8_t> d;
    bool found;
    EXPECT_EQ(r.Find(Bytes(Key(2)), &d, &found).os_error(), c.number) << "locked out";
    EXPECT_TRUE(f.Close().ok());
  }
}

TEST_F(TsrFileTest, DeleteRemovesTheOsFile) {
  Fill(0, 10);
  TsrFile f;
  ASSERT_TRUE(f.Open(path, kExclusive).ok());
  EXPECT_GT(f.Size(), 512u);
  EXPECT_TRUE(f.Delete().ok());
  EXPECT_FALSE(f.is_open());
  EXPECT_EQ(f.Size(), 0u);
  EXPECT_FALSE(Env::Default()->Exists(path));
}

// --- page moves and the cache -------------------------------------------------------

TEST_F(TsrFileTest, MovesUpdateRootUnitOrExactlyOneParentEntry) {
  Fill(0, 3000);
  TsrFile f;
  ASSERT_TRUE(f.Open(path, kExclusive).ok());
  ASSERT_TRUE(f.BeginWriteIntent().ok());
  const auto before = Contents(f);
  ASSERT_GE(f.GetRootPage()->level, 1);

  // Every page by unit, and how many entries name each unit.
  auto census = [&] {
    std::map<int32_t, int> refs;
    std::vector<int32_t> todo{f.header().root_unit}, pages;
    while (!todo.empty()) {
      int32_t u = todo.back();
      todo.pop_back();
      pages.push_back(u);
      TsrPage* p = f.GetPage(u);
      if (p->level > 0)
        for (TsrRecord* e : p->Records()) {
          ++refs[e->child];
          todo.push_back(e->child);
        }
    }
    return std::make_pair(pages, refs);
  };
  auto [pages, refs] = census();
  int32_t far = f.header().EndUnit() + 100;
  int moved = 0;
  for (size_t i = 1; i < pages.size(); i += 5, far += 60) {
    int32_t from = pages[i];
    f.MoveBlock(from, far);
    auto [after_pages, after_refs] = census();
    EXPECT_EQ(after_refs[far], 1) << "exactly one entry names the new place";
    EXPECT_EQ(after_refs.count(from), 0u);
    EXPECT_EQ(after_pages.size(), pages.size());
    ++moved;
  }
  EXPECT_GT(moved, 3);
  int32_t root = f.header().root_unit;
  f.MoveBlock(root, far);
  EXPECT_EQ(f.header().root_unit, far);
  EXPECT_EQ(Contents(f), before);
  f.Rollback();  // the moves went nowhere
  ASSERT_TRUE(f.Close().ok());
  EXPECT_EQ(Contents(), before);
}

TEST_F(TsrFileTest, EvictionDetachesCursorsWhichFindTheirPlaceAgain) {
  Fill(0, 5000, 60);
  TsrFile f;
  ASSERT_TRUE(f.Open(path, kExclusive).ok());
  RawRecords r(&f);
  TsrCursor cursor(r.tree());
  cursor.Set(Bytes(Key(17)));
  ASSERT_NE(cursor.Current(), nullptr);
  ASSERT_NE(cursor.page(), nullptr);
  // Reading the whole file pushes the cursor's clean page out of the cache.
  ASSERT_EQ(Contents(f).size(), 5000u);
  EXPECT_LT(f.cache().clean_count(), PageCache::kMaxClean);
  EXPECT_EQ(cursor.page(), nullptr) << "detached when its page was dropped";
  TsrRecord* again = cursor.Current();
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(std::string(again->key().begin(), again->key().end()), Key(17));
  ASSERT_TRUE(f.Close().ok());
}

}  // namespace
}  // namespace tessera
