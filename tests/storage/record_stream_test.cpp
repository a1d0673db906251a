#include "storage/record_stream.h"

#include <gtest/gtest.h>

#include <random>

#include "storage/coding.h"
#include "storage/record.h"
#include "storage/support/fake_page_store.h"

namespace tessera {
namespace {

using testing::Bytes;
using testing::FailureOf;

std::vector<uint8_t> Stream(const std::vector<std::unique_ptr<TsrRecord>>& records) {
  std::vector<const TsrRecord*> raw;
  for (const auto& r : records) raw.push_back(r.get());
  std::vector<uint8_t> out;
  EncodeRecordStream(raw, &out);
  return out;
}

std::vector<uint8_t> Rle(const std::vector<uint8_t>& in, bool* compressed = nullptr) {
  std::vector<uint8_t> out;
  const bool c = RunLengthEncode(in, &out);
  if (compressed != nullptr) *compressed = c;
  return out;
}

std::vector<uint8_t> Unrle(const std::vector<uint8_t>& in, size_t length) {
  // An exact-size heap copy, so that reading one byte too far is caught.
  std::unique_ptr<uint8_t[]> copy(new uint8_t[in.size() + 1]);
  std::copy(in.begin(), in.end(), copy.get());
  std::vector<uint8_t> out(length);
  RunLengthDecode(copy.get(), copy.get() + in.size(), out.data(), length);
  return out;
}

TEST(RecordStreamTest, TwoDataRecordsOfTableOne) {
  std::vector<std::unique_ptr<TsrRecord>> records;
  records.push_back(testing::MakeRecord(Bytes({0, 0, 0, 1, 0xF3, 0, 0, 0, 2}), Bytes({0x41, 0x42})));
  records.push_back(testing::MakeRecord(Bytes({0, 0, 0, 1, 0xF3, 0, 0, 0, 3}), Bytes({0x41, 0x42})));
  const std::vector<uint8_t> expected =
      Bytes({0xC0, 0x0B, 0x00, 0x09, 0x00, 0x00, 0x00, 0x00, 0x01, 0xF3, 0x00, 0x00,
             0x00, 0x02, 0x41, 0x42, 0x08, 0x03, 0x41, 0x42});
  const std::vector<uint8_t> stream = Stream(records);
  EXPECT_EQ(stream, expected);

  auto decoded = DecodeRecordStream(stream.data(), stream.data() + stream.size(), 2);
  ASSERT_EQ(decoded.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_TRUE(std::ranges::equal(decoded[i]->bytes(), records[i]->bytes()));
    EXPECT_EQ(decoded[i]->key_size(), 9u);
  }
}

TEST(RecordStreamTest, SharedCountStopsAt63AndLengthsOnlyWhenTheyChange) {
  std::vector<uint8_t> a(100, 0x55), b(100, 0x55);
  b[99] = 0x56;
  std::vector<uint8_t> c(50, 0x55);  // shorter: new T, same K
  std::vector<std::unique_ptr<TsrRecord>> records;
  records.push_back(testing::MakeRecord(std::vector<uint8_t>(a.begin(), a.begin() + 20),
                                        std::vector<uint8_t>(a.begin() + 20, a.end())));
  records.push_back(testing::MakeRecord(std::vector<uint8_t>(b.begin(), b.begin() + 20),
                                        std::vector<uint8_t>(b.begin() + 20, b.end())));
  records.push_back(testing::MakeRecord(std::vector<uint8_t>(c.begin(), c.begin() + 20),
                                        std::vector<uint8_t>(c.begin() + 20, c.end())));
  // Order does not matter to the stream codec; keys here are equal on
  // purpose (the stream does not check order).
  const std::vector<uint8_t> s = Stream(records);
  const size_t first = 1 + 2 + 2 + 100;
  EXPECT_EQ(s[first], 0x3F);            // 63 shared, both lengths as before
  const size_t second = first + 1 + (100 - 63);
  EXPECT_EQ(s[second], 0x80 | 50);      // T changed (50 shared: min(T, 63, P.T))
  EXPECT_EQ(s.size(), second + 1 + 2);  // nothing after the shared part
  auto decoded = DecodeRecordStream(s.data(), s.data() + s.size(), 3);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_TRUE(std::ranges::equal(decoded[i]->bytes(), records[i]->bytes()));
  }
}

TEST(RecordStreamTest, DamagedStreamsRaise1602) {
  const std::vector<uint8_t> good = Bytes({0xC0, 0x02, 0x00, 0x01, 0x00, 0x41, 0x42,
                                           0x01, 0x43});
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    size_t count;
    int failure;
  } cases[] = {
      {"good", good, 2, 0},
      {"one record too many", good, 3, 1602},
      {"bytes left over", good, 1, 1602},
      {"truncated data", std::vector<uint8_t>(good.begin(), good.end() - 1), 2, 1602},
      {"truncated length", Bytes({0xC0, 0x02}), 1, 1602},
      {"first without lengths", Bytes({0x00, 0x41}), 1, 1602},
      {"key longer than record", Bytes({0xC0, 0x01, 0x00, 0x02, 0x00, 0x41}), 1, 1602},
      {"shares more than previous", Bytes({0xC0, 0x01, 0x00, 0x01, 0x00, 0x41, 0x82, 0x03, 0x00, 0x43}), 2, 1602},
      {"record too long", Bytes({0xC0, 0xF6, 0x3A, 0x00, 0x00}), 1, 824},
  };
  for (const Case& c : cases) {
    std::unique_ptr<uint8_t[]> copy(new uint8_t[c.bytes.size() + 1]);
    std::copy(c.bytes.begin(), c.bytes.end(), copy.get());
    EXPECT_EQ(FailureOf([&] {
                DecodeRecordStream(copy.get(), copy.get() + c.bytes.size(), c.count);
              }),
              c.failure)
        << c.what;
  }
}

TEST(RunLengthTest, WorkedExamples) {
  struct Case {
    const char* what;
    std::vector<uint8_t> input;
    bool compressed;
    std::vector<uint8_t> expected;
  } cases[] = {
      {"run inside", Bytes({0x41, 0x42, 0x43, 0x44, 0x44, 0x44, 0x44, 0x44, 0x45}), true,
       Bytes({0x04, 0x41, 0x42, 0x43, 0x44, 0x04, 0x01, 0x45})},
      {"only runs of 3", Bytes({1, 1, 1, 2, 2, 2, 3, 3, 3}), false, {}},
      {"run of exactly 4", Bytes({7, 7, 7, 7}), true, Bytes({0x01, 0x07, 0x03, 0x00})},
      {"ends in spaces", [] { std::vector<uint8_t> v = {0x41, 0x42}; v.resize(202, 0x20); return v; }(),
       true, Bytes({0x03, 0x41, 0x42, 0x20, 0xC7, 0x01, 0x00})},
      {"empty", {}, false, {}},
  };
  for (const Case& c : cases) {
    bool compressed = false;
    EXPECT_EQ(Rle(c.input, &compressed), c.expected) << c.what;
    EXPECT_EQ(compressed, c.compressed) << c.what;
    if (c.compressed) {
      EXPECT_EQ(Unrle(c.expected, c.input.size()), c.input) << c.what;
    }
  }
}

TEST(RunLengthTest, LongStreamWithoutRunsStaysPlain) {
  std::vector<uint8_t> input;
  for (int i = 0; i < 10000; ++i) input.push_back(static_cast<uint8_t>(i % 3 == 2 ? i / 3 : i % 251));
  // Runs are at most 3 long here (x, x, x patterns occur but never 4).
  bool compressed = true;
  Rle(input, &compressed);
  EXPECT_FALSE(compressed);
}

TEST(RunLengthTest, RandomRoundTrips) {
  std::mt19937 rng(7);
  for (int round = 0; round < 500; ++round) {
    std::vector<uint8_t> input;
    const size_t n = rng() % 3000;
    while (input.size() < n) {
      const uint8_t b = static_cast<uint8_t>(rng() % 4);
      const size_t run = rng() % 8 == 0 ? rng() % 400 : 1 + rng() % 3;
      input.insert(input.end(), run, b);
    }
    bool compressed = false;
    const std::vector<uint8_t> packed = Rle(input, &compressed);
    if (compressed) {
      ASSERT_EQ(Unrle(packed, input.size()), input);
    }
  }
}

TEST(RunLengthTest, OverrunsRaiseTheirNumbers) {
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    size_t length;
    int failure;
  } cases[] = {
      {"literal count past the output", Bytes({0x05, 1, 2, 3, 4, 5}), 4, 522},
      {"literal count past the input", Bytes({0x04, 1, 2}), 4, 522},
      {"literal count truncated", Bytes({0x81}), 4, 522},
      {"no group at all", {}, 4, 522},
      {"repeat count past the output", Bytes({0x01, 7, 0x09}), 4, 530},
      {"repeat count missing", Bytes({0x01, 7}), 4, 530},
      {"repeat with nothing before", Bytes({0x00, 0x03}), 3, 530},
      {"closing 00 never read", Bytes({0x01, 7, 0x03}), 4, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FailureOf([&] { Unrle(c.bytes, c.length); }), c.failure) << c.what;
  }
}

TEST(CodingTest, Varint32RoundTripsAtPowersOfTwo) {
  std::vector<uint32_t> values = {0, 0xFFFFFFFFu};
  for (int k = 0; k < 32; ++k) {
    const uint32_t p = 1u << k;
    values.insert(values.end(), {p - 1, p, p + 1});
  }
  for (uint32_t v : values) {
    std::vector<uint8_t> buf;
    PutVarint32(&buf, v);
    uint32_t got = 0;
    ASSERT_EQ(GetVarint32(buf.data(), buf.data() + buf.size(), &got), buf.data() + buf.size());
    EXPECT_EQ(got, v);
    // Every truncation is refused.
    for (size_t cut = 0; cut < buf.size(); ++cut) {
      EXPECT_EQ(GetVarint32(buf.data(), buf.data() + cut, &got), nullptr);
    }
  }
  const std::vector<uint8_t> too_long = Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0x1F});
  uint32_t got = 0;
  EXPECT_EQ(GetVarint32(too_long.data(), too_long.data() + too_long.size(), &got), nullptr);
}

}  // namespace
}  // namespace tessera
