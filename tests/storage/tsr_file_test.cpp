// TsrFile: opening and validating files, the sequence counter, passwords,
// page moves, commit through the log, crash recovery, fault injection and
// the internal-failure lock-out.
#include "storage/tsr_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>
#include <string>

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

}  // namespace
}  // namespace tessera
