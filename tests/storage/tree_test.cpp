#include "storage/tree.h"

#include <gtest/gtest.h>

#include <map>
#include <random>

#include "storage/cursor.h"
#include "storage/page.h"
#include "storage/record.h"
#include "storage/support/fake_page_store.h"

namespace tessera {
namespace {

using testing::Bytes;
using testing::FailureOf;
using testing::FakePageStore;
using testing::MakeRecord;
using testing::VerifyTree;

using Key = std::vector<uint8_t>;
using Model = std::map<Key, Key>;  // key -> data

Key Table(int table, std::initializer_list<int> rest = {}) {
  Key k = {0, 0, 0, static_cast<uint8_t>(table)};
  for (int b : rest) k.push_back(static_cast<uint8_t>(b));
  return k;
}

Key Number(int table, uint32_t n) {
  return Table(table, {0xF3, int(n >> 24), int(n >> 16 & 0xFF), int(n >> 8 & 0xFF), int(n & 0xFF)});
}

class TreeTest : public ::testing::Test {
 protected:
  void Put(const Key& key, const Key& data = {}) {
    ASSERT_TRUE(tree_.Insert(MakeRecord(key, data)).ok());
  }

  Model Walk() {
    Model out;
    for (TsrRecord* r = tree_.Next(Key{}); r != nullptr; r = tree_.Next(*r)) {
      out.emplace(Key(r->key().begin(), r->key().end()), Key(r->data().begin(), r->data().end()));
    }
    return out;
  }

  std::vector<Key> WalkBackwards() {
    std::vector<Key> out;
    Key key(8, 0xFF);
    while (TsrRecord* r = tree_.Previous(key)) {
      key.assign(r->key().begin(), r->key().end());
      out.push_back(key);
    }
    return out;
  }

  TsrPage* Root() { return store_.GetRootPage(); }

  FakePageStore store_;
  TsrTree tree_{&store_};
};

TEST_F(TreeTest, NewTreeFindsNothing) {
  EXPECT_EQ(tree_.Find(Table(1)), nullptr);
  EXPECT_EQ(tree_.Find(Key{}), nullptr);
  EXPECT_EQ(tree_.Previous(Table(1)), nullptr);  // the smallest record hides
  EXPECT_EQ(tree_.Next(Key{}), nullptr);
  Put(Table(1), Bytes({5}));
  EXPECT_EQ(Root()->level, 0);
  EXPECT_EQ(Root()->count(), 2u);  // next to the smallest record
  ASSERT_NE(tree_.Find(Table(1)), nullptr);
  EXPECT_EQ(tree_.Previous(Table(2))->data()[0], 5);
  EXPECT_EQ(tree_.Previous(Table(1)), nullptr);
}

TEST_F(TreeTest, EqualKeyRaises706AndReadIntentIsRefused) {
  Put(Table(1));
  EXPECT_EQ(FailureOf([&] { (void)tree_.Insert(MakeRecord(Table(1), Bytes({1}))); }), 706);
  store_.write_intent = false;
  EXPECT_EQ(FailureOf([&] { (void)tree_.Insert(MakeRecord(Table(2))); }), 1194);
  EXPECT_EQ(FailureOf([&] { tree_.Delete(tree_.Find(Table(1))); }), 1203);
  store_.write_intent = true;
  EXPECT_EQ(Walk().size(), 1u);
}

TEST_F(TreeTest, RecordsUpToThePageLimitAreStoredAndLongerOnesRefused) {
  struct Case {
    size_t key, total;
    bool ok;
  } cases[] = {{9, 15009, true},  {9, kMaxRecordLength, true}, {9, kMaxRecordLength + 1, false},
               {kMaxKeyLength, kMaxKeyLength, true}, {kMaxKeyLength + 1, kMaxKeyLength + 1, false}};
  int n = 0;
  for (const Case& c : cases) {
    Key key = Number(1, ++n);
    key.resize(c.key, 0x41);
    const Status s = tree_.Insert(MakeRecord(key, Key(c.total - c.key, 0x5A)));
    EXPECT_EQ(s.ok(), c.ok) << c.total << " " << s.ToString();
    EXPECT_EQ(tree_.Find(key) != nullptr, c.ok);
  }
  EXPECT_EQ(VerifyTree(&store_), "");
  store_.Commit();
  EXPECT_EQ(Walk().size(), 3u);
  EXPECT_EQ(VerifyTree(&store_), "");
}

// Key entries of up to 7535 bytes (the largest key a table declares): no
// two fit in one index page, and the splits must still settle.
TEST_F(TreeTest, LargestKeyEntriesSettle) {
  Model model;
  for (uint32_t n = 1; n <= 12; ++n) {
    Key key = Number(1, n * 7 % 13);
    key.resize(7535, static_cast<uint8_t>(n));
    Put(key);
    model[key] = {};
    ASSERT_EQ(VerifyTree(&store_), "") << n;
  }
  store_.Commit();
  EXPECT_EQ(Walk(), model);
  EXPECT_EQ(VerifyTree(&store_), "");
}

TEST_F(TreeTest, RootSplitKeepsItsUnitAndGrowsALevel) {
  const int32_t root_unit = Root()->unit;
  uint32_t n = 0;
  while (Root()->level == 0) Put(Number(1, ++n), Key(50, 1));
  EXPECT_EQ(Root()->unit, root_unit);
  EXPECT_EQ(Root()->level, 1);
  EXPECT_EQ(Root()->First()->key_size(), 0u);  // leftmost separator: empty key
  store_.Commit();
  const int32_t committed_unit = store_.root_unit();
  while (Root()->level == 1) Put(Number(1, ++n), Key(50, 1));
  EXPECT_EQ(Root()->unit, committed_unit);
  EXPECT_EQ(Root()->level, 2);
  EXPECT_EQ(VerifyTree(&store_), "");
  EXPECT_EQ(Walk().size(), n);
}

TEST_F(TreeTest, DeletingTheFirstRecordOfALeafReplacesItsSeparator) {
  uint32_t n = 0;
  while (Root()->level == 0 || Root()->count() < 3) Put(Number(1, ++n), Key(100, 2));
  store_.Commit();
  // The second leaf's entry and its first record.
  TsrRecord* entry = TsrPage::Next(Root()->First());
  const Key old_key(entry->key().begin(), entry->key().end());
  const int32_t leaf_unit = entry->child;
  TsrRecord* first = tree_.Find(old_key);
  ASSERT_NE(first, nullptr);
  const Key new_first(TsrPage::Next(first)->key().begin(), TsrPage::Next(first)->key().end());
  tree_.Delete(first);
  TsrRecord* replaced = Root()->FindLE(new_first);
  EXPECT_TRUE(std::ranges::equal(replaced->key(), new_first));
  EXPECT_EQ(replaced->child, leaf_unit);
  EXPECT_EQ(Root()->Find(old_key), nullptr);
  EXPECT_EQ(VerifyTree(&store_), "");
}

TEST_F(TreeTest, DeletingTheOnlyRecordOfALeafFreesIt) {
  // Records of 8000 bytes: a leaf holds one of them.
  for (uint32_t n = 1; n <= 4; ++n) Put(Number(1, n), Key(8000, 3));
  store_.Commit();
  const size_t entries = Root()->count();
  const size_t blocks = store_.blocks();
  TsrRecord* victim = tree_.Find(Number(1, 3));
  const int32_t leaf = Root()->FindLE(Number(1, 3))->child;
  ASSERT_EQ(victim->page()->count(), 1u);
  tree_.Delete(victim);
  EXPECT_EQ(store_.freed_pages(), 1u);
  EXPECT_FALSE(store_.HasBlock(leaf));
  EXPECT_EQ(store_.blocks(), blocks - 1);
  EXPECT_EQ(Root()->count(), entries - 1);
  EXPECT_EQ(VerifyTree(&store_), "");
  EXPECT_EQ(Walk().size(), 3u);
}

TEST_F(TreeTest, DeleteTableRecordsRemovesOnlyThatTable) {
  Model model;
  for (int table = 1; table <= 3; ++table) {
    for (uint32_t n = 1; n <= 300; ++n) {
      Put(Number(table, n), Key(20, table));
      model[Number(table, n)] = Key(20, table);
    }
  }
  store_.Commit();
  tree_.DeleteTableRecords(std::span<const uint8_t, 4>(Table(2).data(), 4));
  std::erase_if(model, [](const auto& kv) { return kv.first[3] == 2; });
  EXPECT_EQ(Walk(), model);
  EXPECT_EQ(VerifyTree(&store_), "");
  tree_.DeleteTableRecords(std::span<const uint8_t, 4>(Table(9).data(), 4));  // none
  EXPECT_EQ(Walk(), model);
}

// Random inserts and deletes against a std::map, with commits (every page
// through the block codec) and a merciless cache in between.
TEST_F(TreeTest, RandomisedAgainstAModel) {
  std::mt19937 rng(20240611);
  Model model;
  TsrCursor cursor(&tree_);
  auto random_key = [&] {
    Key k = Table(1 + rng() % 3);
    for (size_t n = rng() % 24; n > 0; --n) k.push_back(static_cast<uint8_t>("\x00\x01\x41\xF3"[rng() % 4]));
    return k;
  };
  auto random_data = [&](size_t key_size) {
    const uint32_t roll = rng() % 1000;
    size_t n = roll < 900 ? rng() % 40 : roll < 990 ? 100 + rng() % 2000 : 5000 + rng() % 10010;
    n = std::min(n, 15009 - key_size);
    Key d(n);
    for (auto& b : d) b = static_cast<uint8_t>(rng() % 3 == 0 ? 0x20 : rng());
    return d;
  };
  for (int round = 0; round < 30; ++round) {
    store_.evict_on_get = round % 3 == 2;
    for (int op = 0; op < 800; ++op) {
      const uint32_t what = rng() % 10;
      if (what < 6) {
        const Key key = random_key();
        const Key data = random_data(key.size());
        if (model.count(key)) {
          ASSERT_EQ(FailureOf([&] { (void)tree_.Insert(MakeRecord(key, data)); }), 706);
        } else {
          ASSERT_TRUE(tree_.Insert(MakeRecord(key, data)).ok());
          model[key] = data;
        }
      } else if (!model.empty()) {
        auto it = model.lower_bound(random_key());
        if (it == model.end()) it = model.begin();
        if (what < 8) {
          TsrRecord* r = tree_.Find(it->first);
          ASSERT_NE(r, nullptr);
          tree_.Delete(r);
        } else {
          cursor.Set(it->first);
          ASSERT_NE(cursor.Current(), nullptr);
          ASSERT_TRUE(cursor.Delete());
          auto before = model.lower_bound(it->first);
          TsrRecord* now = cursor.Current();
          if (before == model.begin()) {
            ASSERT_EQ(now, nullptr);
          } else {
            ASSERT_NE(now, nullptr);
            ASSERT_TRUE(std::ranges::equal(now->key(), std::prev(before)->first));
          }
        }
        model.erase(it);
      }
    }
    store_.evict_on_get = false;
    ASSERT_EQ(VerifyTree(&store_), "") << "round " << round;
    ASSERT_EQ(Walk(), model) << "round " << round;
    std::vector<Key> backwards;
    for (auto it = model.rbegin(); it != model.rend(); ++it) backwards.push_back(it->first);
    ASSERT_EQ(WalkBackwards(), backwards) << "round " << round;
    if (round % 2 == 1) store_.Commit();
  }
  EXPECT_GE(Root()->level, 2);
}

}  // namespace
}  // namespace tessera
