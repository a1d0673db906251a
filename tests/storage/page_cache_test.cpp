// PageCache: the eviction rule with its 20/100 bounds and idle factor,
// pinned and dirty pages, hashing by unit.
#include "storage/page_cache.h"

#include <gtest/gtest.h>

#include "storage/page.h"
#include "storage/record.h"

namespace tessera {
namespace {

class PageCacheTest : public ::testing::Test {
 protected:
  TsrRecord sentinel{std::span<const uint8_t>{}, std::span<const uint8_t>{}};
  PageCache cache;

  PageCache::Entry* Add(int32_t unit) {
    return cache.Add(std::make_unique<TsrPage>(unit, 0, &sentinel));
  }
  void AddMany(int n) {
    for (int i = 0; i < n; ++i) Add(i);
  }
};

TEST_F(PageCacheTest, FindsByUnitAcrossChainsAndRehomes) {
  // Units 5, 105 and -95 share a chain (unsigned unit mod 100).
  PageCache::Entry* a = Add(5);
  PageCache::Entry* b = Add(105);
  PageCache::Entry* c = Add(-95);
  EXPECT_EQ(static_cast<uint32_t>(-95) % 100, 1u) << "negative units hash as unsigned";
  EXPECT_EQ(cache.Find(5), a);
  EXPECT_EQ(cache.Find(105), b);
  EXPECT_EQ(cache.Find(-95), c);
  EXPECT_EQ(cache.Find(205), nullptr);
  cache.Rehome(b, 77);
  EXPECT_EQ(cache.Find(105), nullptr);
  EXPECT_EQ(cache.Find(77), b);
  EXPECT_EQ(cache.EntryOf(b->page.get()), b);
  cache.Drop(a);
  EXPECT_EQ(cache.Find(5), nullptr);
  EXPECT_EQ(cache.clean_count(), 2u);
}

// The rule for the least recently used clean page P, with `count` clean
// pages: P stays when count < 100 and
//   (clock - P.last_use) < 4 * ((clock - P.load_stamp) / count).
TEST_F(PageCacheTest, IdleRuleDecidesForTheLeastRecentlyUsedPage) {
  struct Case {
    int count;
    uint32_t load, last_use;  // P's stamps, with the clock at 1000
    bool dropped;
  } cases[] = {
      {19, 0, 0, false},       // fewer than 20 clean pages: nothing goes
      {25, 0, 990, false},     // idle 10 < 4 * (1000 / 25) = 160
      {25, 0, 841, false},     // idle 159
      {25, 0, 840, true},      // idle 160
      {25, 990, 999, true},    // young: 4 * (10 / 25) = 0, unsigned division
      {100, 0, 999, true},     // 100 or more: the least recent goes anyway
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.count << " " << c.load << " " << c.last_use);
    PageCache cache;
    for (int i = 0; i < c.count; ++i)
      cache.Add(std::make_unique<TsrPage>(i, 0, &sentinel));
    // Every other page was used just now; P (unit 0) is the least recent.
    while (cache.clock() < 1000) cache.Use(cache.Find(c.count - 1));
    for (int i = 1; i < c.count; ++i) {
      cache.Find(i)->page->load_stamp = 0;
      cache.Find(i)->page->last_use = 1000;
    }
    TsrPage* p = cache.Find(0)->page.get();
    p->load_stamp = c.load;
    p->last_use = c.last_use;
    cache.Evict();
    EXPECT_EQ(cache.Find(0) == nullptr, c.dropped);
    // The pages after P were just used: eviction stops at the first of them.
    EXPECT_EQ(cache.clean_count(), static_cast<size_t>(c.count - (c.dropped ? 1 : 0)));
  }
}

TEST_F(PageCacheTest, PagesUsedOnceLeaveDownToTheFloor) {
  AddMany(150);
  cache.Evict();
  EXPECT_EQ(cache.clean_count(), PageCache::kKeepClean - 1);
  EXPECT_NE(cache.Find(149), nullptr) << "the most recent stay";
  EXPECT_EQ(cache.Find(0), nullptr);
}

TEST_F(PageCacheTest, PinnedAndDirtyPagesStay) {
  AddMany(150);
  for (int u : {0, 1, 2}) ++cache.Find(u)->page->pins;
  for (int u : {3, 4}) cache.MarkDirty(cache.Find(u));
  EXPECT_EQ(cache.dirty_count(), 2u);
  cache.Evict();
  for (int u : {0, 1, 2, 3, 4}) EXPECT_NE(cache.Find(u), nullptr) << u;
  EXPECT_EQ(cache.dirty_count(), 2u);
  EXPECT_EQ(cache.clean_count(), PageCache::kKeepClean - 1);
  cache.Clear();
  EXPECT_EQ(cache.clean_count() + cache.dirty_count(), 0u);
}

TEST_F(PageCacheTest, UseMakesAPageMostRecent) {
  AddMany(30);
  cache.Use(cache.Find(0));
  cache.Evict();
  EXPECT_NE(cache.Find(0), nullptr);
  EXPECT_EQ(cache.Find(1), nullptr);
}

}  // namespace
}  // namespace tessera
