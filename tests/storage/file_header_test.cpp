// FileHeader: field offsets, round trip, end of data, sequence counter.
#include "storage/file_header.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "storage/internal_failure.h"

namespace tessera {
namespace {

TEST(FileHeaderTest, FieldsLandAtTheirOffsets) {
  FileHeader h;
  h.log_start = 0x11223344;
  h.log_end = 0x55667788;
  h.magic = kMagic;
  h.reserved = 0xBEEF;
  h.sequence = {0x00, 0x00, 0x01, 0x02};
  h.change_count = -2;
  h.root_unit = -1;
  h.zone_start[1] = 7;
  h.zone_end[59] = 0x01020304;
  uint8_t b[kHeaderSize];
  h.Encode(b);
  EXPECT_EQ(b[4], 0x00);  // headerSize 512 little-endian
  EXPECT_EQ(b[5], 0x02);
  EXPECT_EQ(b[6], 0x44);
  EXPECT_EQ(b[13], 0x55);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(b + 14), 4), "tEsS");
  EXPECT_EQ(b[18], 0xEF);
  EXPECT_EQ(b[22], 0x01);  // sequence is big-endian
  EXPECT_EQ(b[23], 0x02);
  EXPECT_EQ(b[24], 0xFE);
  EXPECT_EQ(b[31], 0xFF);
  EXPECT_EQ(b[32 + 4], 7);
  EXPECT_EQ(b[272 + 4 * 59], 0x04);
  EXPECT_EQ(FileHeader::Decode(b), h);
}

TEST(FileHeaderTest, AnyBytesRoundTrip) {
  std::mt19937 rng(3);
  for (int round = 0; round < 20; ++round) {
    uint8_t b[kHeaderSize], again[kHeaderSize];
    for (auto& x : b) x = static_cast<uint8_t>(rng());
    FileHeader::Decode(b).Encode(again);
    EXPECT_EQ(0, std::memcmp(b, again, kHeaderSize));
  }
}

TEST(FileHeaderTest, EndOfDataFollowsTheHighestNonEmptyZone) {
  FileHeader h;
  EXPECT_EQ(h.EndOfData(), 512);
  h.zone_start[2] = 0;
  h.zone_end[2] = 4;
  h.zone_start[7] = 10;
  h.zone_end[7] = 24;
  h.zone_start[8] = h.zone_end[8] = 40;  // empty zones do not count
  EXPECT_EQ(h.EndUnit(), 24);
  EXPECT_EQ(h.EndOfData(), 512 + 256 * 24);
}

TEST(FileHeaderTest, SequenceCountsFromOneAndStopsBeforeFE) {
  FileHeader h;
  EXPECT_EQ(h.NextSequence(), (std::array<uint8_t, 4>{0, 0, 0, 1}));
  EXPECT_EQ(h.NextSequence(), (std::array<uint8_t, 4>{0, 0, 0, 2}));
  EXPECT_EQ(h.NextSequence(), (std::array<uint8_t, 4>{0, 0, 0, 3}));
  h.sequence = {0x00, 0x00, 0x00, 0xFF};
  EXPECT_EQ(h.NextSequence(), (std::array<uint8_t, 4>{0, 0, 1, 0})) << "carry";
  h.sequence = {0xFD, 0xFF, 0xFF, 0xFE};
  EXPECT_EQ(h.NextSequence(), (std::array<uint8_t, 4>{0xFD, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(h.SequenceValue(), 4261412863u);
  try {
    h.NextSequence();
    FAIL() << "expected internal failure 1173";
  } catch (const InternalFailure& f) {
    EXPECT_EQ(f.number(), 1173);
  }
}

}  // namespace
}  // namespace tessera
