#include "storage/record.h"

#include <gtest/gtest.h>

#include "storage/support/fake_page_store.h"

namespace tessera {
namespace {

using testing::Bytes;
using testing::FailureOf;

TEST(CompareKeysTest, UnsignedBytesThenLength) {
  struct Case {
    std::vector<uint8_t> a, b;
    int expected;
  } cases[] = {
      {{}, {}, 0},
      {{}, {0x00}, -1},
      {{0x01}, {0x01}, 0},
      {{0x01}, {0x01, 0x00}, -1},   // shorter key first
      {{0x7F}, {0x80}, -1},         // unsigned, not signed, bytes
      {{0xFF}, {0x00, 0xFF}, 1},
      {{0x00, 0x00, 0x00, 0x02}, {0x00, 0x00, 0x00, 0x01, 0xF3}, 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CompareKeys(c.a, c.b), c.expected);
    EXPECT_EQ(CompareKeys(c.b, c.a), -c.expected);
  }
}

TEST(RecordTest, KeyAndDataSplitAndKeyCopy) {
  TsrRecord r(Bytes({1, 2, 3}), Bytes({9, 8}));
  EXPECT_EQ(r.size(), 5u);
  EXPECT_EQ(r.key_size(), 3u);
  EXPECT_EQ(std::vector<uint8_t>(r.data().begin(), r.data().end()), Bytes({9, 8}));
  auto copy = TsrRecord::KeyCopy(r, 42);
  EXPECT_EQ(copy->size(), 3u);
  EXPECT_EQ(copy->key_size(), 3u);
  EXPECT_EQ(copy->child, 42);
  EXPECT_FALSE(copy->linked());
}

TEST(RecordTest, LongestRecordObjectAndOneByteMore) {
  std::vector<uint8_t> key(10, 1), data(kMaxRecordBytes - 10, 2);
  EXPECT_EQ(FailureOf([&] { TsrRecord r(key, data); }), 0);
  data.push_back(3);
  EXPECT_EQ(FailureOf([&] { TsrRecord r(key, data); }), 824);
}

}  // namespace
}  // namespace tessera
