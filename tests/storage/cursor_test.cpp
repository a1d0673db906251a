#include "storage/cursor.h"

#include <gtest/gtest.h>

#include "storage/page.h"
#include "storage/record.h"
#include "storage/support/fake_page_store.h"
#include "storage/tree.h"

namespace tessera {
namespace {

using testing::Bytes;
using testing::FailureOf;
using testing::FakePageStore;
using testing::MakeRecord;
using testing::VerifyTree;

using Key = std::vector<uint8_t>;

Key Number(uint32_t n) {
  return Bytes({0, 0, 0, 1, 0xF3, int(n >> 24), int(n >> 16 & 0xFF), int(n >> 8 & 0xFF),
                int(n & 0xFF)});
}

Key KeyOf(const TsrRecord* r) { return Key(r->key().begin(), r->key().end()); }

class CursorTest : public ::testing::Test {
 protected:
  // Records 1..n of 100 bytes each, committed: several leaves.
  void Fill(uint32_t n) {
    for (uint32_t i = 1; i <= n; ++i) {
      ASSERT_TRUE(tree_.Insert(MakeRecord(Number(i), Key(91, 0x20))).ok());
    }
    store_.Commit();
  }

  FakePageStore store_;
  TsrTree tree_{&store_};
};

TEST_F(CursorTest, StandsNowhereUntilCurrentThenOnTheExactKey) {
  Fill(10);
  TsrCursor cursor(&tree_);
  EXPECT_EQ(cursor.page(), nullptr);
  EXPECT_EQ(cursor.Current(), nullptr);  // empty key: the hidden smallest record
  cursor.Set(Number(4));
  EXPECT_EQ(cursor.page(), nullptr);
  ASSERT_NE(cursor.Current(), nullptr);
  EXPECT_EQ(KeyOf(cursor.Current()), Number(4));
  cursor.Set(Bytes({0, 0, 0, 1, 0xF3, 0, 0, 0}));  // between keys
  EXPECT_EQ(cursor.Current(), nullptr);
  EXPECT_NE(cursor.page(), nullptr);
}

// A cursor whose record another cursor deletes finds nothing at that key
// and stands on the leaf that covers it: whether the record was unlinked in
// place (it had a predecessor in its page) or removed through the tree (it
// was the first of its leaf).
TEST_F(CursorTest, RecordDeletedUnderAnotherCursor) {
  Fill(200);
  TsrPage* root = store_.GetRootPage();
  ASSERT_GE(root->level, 1);
  const Key first_of_second_leaf = KeyOf(TsrPage::Next(root->First()));
  const Key after_first = KeyOf(tree_.Next(first_of_second_leaf));
  for (const Key& victim : {after_first, first_of_second_leaf}) {
    TsrCursor a(&tree_), b(&tree_);
    a.Set(victim);
    b.Set(victim);
    ASSERT_NE(a.Current(), nullptr);
    ASSERT_NE(b.Current(), nullptr);
    ASSERT_TRUE(a.Delete());
    EXPECT_EQ(b.Current(), nullptr);
    ASSERT_NE(b.page(), nullptr);
    EXPECT_EQ(b.page(), tree_.Descend(victim, 0));
    EXPECT_TRUE(std::ranges::equal(b.key(), victim));
    // The deleting cursor stands on the record before.
    ASSERT_NE(a.Current(), nullptr);
    EXPECT_LT(CompareKeys(a.Current()->key(), victim), 0);
    EXPECT_EQ(tree_.Next(KeyOf(a.Current())), tree_.Next(victim));
  }
  EXPECT_EQ(VerifyTree(&store_), "");
}

TEST_F(CursorTest, AppendsGoStraightIntoThePageAndSplitsDetach) {
  TsrCursor cursor(&tree_);
  int splits = 0;
  for (uint32_t n = 1; n <= 2000; ++n) {
    TsrPage* before = cursor.page();
    ASSERT_TRUE(cursor.Insert(MakeRecord(Number(n), Key(30, 0x20))).ok());
    ASSERT_NE(cursor.record(), nullptr);
    EXPECT_EQ(KeyOf(cursor.record()), Number(n));
    if (before != nullptr && cursor.page() != before) ++splits;
    if (n % 500 == 0) store_.Commit();  // pages leave memory under the cursor
  }
  EXPECT_GT(splits, 5);
  EXPECT_EQ(VerifyTree(&store_), "");
  uint32_t n = 0;
  for (TsrRecord* r = tree_.Next(Key{}); r != nullptr; r = tree_.Next(*r)) {
    ASSERT_EQ(KeyOf(r), Number(++n));
  }
  EXPECT_EQ(n, 2000u);
}

TEST_F(CursorTest, DeletingBackwardsEmptiesTheTree) {
  Fill(300);
  TsrCursor cursor(&tree_);
  cursor.Set(Number(300));
  uint32_t expected = 300;
  while (TsrRecord* r = cursor.Current()) {
    ASSERT_EQ(KeyOf(r), Number(expected--));
    ASSERT_TRUE(cursor.Delete());
  }
  EXPECT_EQ(expected, 0u);
  EXPECT_FALSE(cursor.Delete());
  EXPECT_EQ(tree_.Next(Key{}), nullptr);
  EXPECT_EQ(VerifyTree(&store_), "");
}

TEST_F(CursorTest, EvictionDetachesWithAKeyCopy) {
  Fill(50);
  TsrCursor cursor(&tree_);
  cursor.Set(Number(17));
  ASSERT_NE(cursor.Current(), nullptr);
  store_.EvictClean();
  EXPECT_EQ(cursor.page(), nullptr);
  EXPECT_EQ(cursor.record(), nullptr);
  ASSERT_NE(cursor.Current(), nullptr);
  EXPECT_EQ(KeyOf(cursor.Current()), Number(17));
}

TEST_F(CursorTest, RefusalsAndFailures) {
  Fill(5);
  TsrCursor cursor(&tree_);
  cursor.Set(Number(5));
  ASSERT_NE(cursor.Current(), nullptr);
  EXPECT_FALSE(cursor.Insert(MakeRecord(Number(6), Key(kMaxRecordLength, 1))).ok());
  EXPECT_EQ(tree_.Find(Number(6)), nullptr);
  EXPECT_EQ(FailureOf([&] { (void)cursor.Insert(MakeRecord(Number(5))); }), 706);

  store_.write_intent = false;
  EXPECT_EQ(FailureOf([&] { (void)cursor.Insert(MakeRecord(Number(7))); }), 231);
  EXPECT_EQ(FailureOf([&] { cursor.Delete(); }), 337);
  store_.write_intent = true;
  store_.header_valid = false;
  EXPECT_EQ(FailureOf([&] { (void)cursor.Insert(MakeRecord(Number(7))); }), 232);
  EXPECT_EQ(FailureOf([&] { cursor.Current(); }), 256);
  store_.header_valid = true;
  EXPECT_NE(cursor.Current(), nullptr);
}

}  // namespace
}  // namespace tessera
