// Zones: allocation, freeing and compaction against a model of the blocks,
// checking after every step that each zone is dense and the zones ordered.
#include "storage/zones.h"

#include <gtest/gtest.h>

#include <map>
#include <random>

#include "storage/internal_failure.h"

namespace tessera {
namespace {

struct Block {
  int id;
  int cls;
};

class ZonesTest : public ::testing::Test {
 protected:
  FileHeader h;
  std::map<int32_t, Block> blocks;  // first unit -> block, the "disk"
  int moves = 0;
  Zones zones{&h, [this](int32_t from, int32_t to) { OnMove(from, to); }};
  int next_id = 0;

  void OnMove(int32_t from, int32_t to) {
    ++moves;
    auto it = blocks.find(from);
    ASSERT_NE(it, blocks.end()) << "moved a block that is not there: " << from;
    Block b = it->second;
    blocks.erase(it);
    for (const auto& [u, other] : blocks) {
      ASSERT_TRUE(u + other.cls <= to || to + b.cls <= u)
          << "move onto a live block at " << u;
    }
    blocks[to] = b;
  }

  int32_t Alloc(int c) {
    int32_t u = zones.Allocate(c);
    EXPECT_EQ(blocks.count(u), 0u);
    blocks[u] = Block{next_id++, c};
    return u;
  }

  void Free(int32_t u) {
    ASSERT_EQ(blocks.count(u), 1u);
    // The zone's last block fills the hole: the model drops the freed block
    // first so that the move lands in free space.
    blocks.erase(u);
    zones.Free(u);
  }

  // Every zone dense, zones ordered, zone 1 fixed, every block in its zone.
  void ExpectSound() {
    EXPECT_EQ(h.zone_start[1], 0);
    size_t in_zones = 0;
    for (int z = 1; z <= kMaxZone; ++z) {
      ASSERT_LE(h.zone_start[z], h.zone_end[z]) << "zone " << z;
      ASSERT_EQ((h.zone_end[z] - h.zone_start[z]) % z, 0) << "zone " << z;
      if (z < kMaxZone) {
        ASSERT_LE(h.zone_end[z], h.zone_start[z + 1]) << "zone " << z;
      }
      for (int32_t u = h.zone_start[z]; u < h.zone_end[z]; u += z) {
        auto it = blocks.find(u);
        ASSERT_NE(it, blocks.end()) << "hole in zone " << z << " at " << u;
        ASSERT_EQ(it->second.cls, z);
        ++in_zones;
      }
    }
    EXPECT_EQ(in_zones, blocks.size());
  }
};

TEST_F(ZonesTest, FirstBlocksOfANewFile) {
  EXPECT_EQ(Alloc(1), 0);
  EXPECT_EQ(Alloc(3), 1);
  EXPECT_EQ(Alloc(1), 1) << "zone 3 rotates up to make room above zone 1";
  EXPECT_EQ(Alloc(2), 2);
  ExpectSound();
  EXPECT_EQ(zones.ZoneOf(-5), 0);
  EXPECT_EQ(zones.ZoneOf(1), 1);
  EXPECT_EQ(zones.ZoneOf(4), 3);
}

TEST_F(ZonesTest, GrowingZone59ExtendsTheFile) {
  Alloc(59);
  int32_t end = h.EndUnit();
  EXPECT_EQ(end, 59);
  int32_t u = Alloc(59);
  EXPECT_EQ(u, 59);
  EXPECT_EQ(h.EndUnit(), 118);
  // Room above zone 1: the empty zones slide up by one unit, and zone 59,
  // holding two blocks, rotates its first block to its end.
  Alloc(1);
  ExpectSound();
  EXPECT_EQ(h.EndUnit(), 177);
  // Compaction slides a zone only by whole blocks: the 58-unit gap stays.
  zones.Compact();
  ExpectSound();
  EXPECT_EQ(h.EndUnit(), 177);
  EXPECT_EQ(h.zone_start[59] - h.zone_end[58], 58);
}

TEST_F(ZonesTest, FreeMovesTheZonesLastBlockIntoTheHole) {
  int32_t a = Alloc(4), b = Alloc(4), c = Alloc(4);
  (void)b;
  int last_id = blocks[c].id;
  moves = 0;
  Free(a);
  EXPECT_EQ(moves, 1);
  EXPECT_EQ(blocks[a].id, last_id);
  ExpectSound();
  moves = 0;
  Free(h.zone_end[4] - 4);  // the last block needs no move
  EXPECT_EQ(moves, 0);
  ExpectSound();
}

TEST_F(ZonesTest, CompactionClosesGapsAndShrinksTheEnd) {
  std::vector<int32_t> big;
  for (int i = 0; i < 3; ++i) Alloc(2);
  for (int i = 0; i < 4; ++i) big.push_back(Alloc(10));
  for (int i = 0; i < 2; ++i) Alloc(30);
  // Empty zone 10 except one block; the zones above then lie far up.
  while (h.zone_end[10] - h.zone_start[10] > 10) Free(h.zone_start[10]);
  int32_t before = h.EndUnit();
  zones.Compact();
  ExpectSound();
  EXPECT_LT(h.EndUnit(), before);
  for (int z = 2; z <= kMaxZone; ++z) {
    int32_t size = h.zone_end[z] - h.zone_start[z];
    if (size > z) {
      EXPECT_LT(h.zone_start[z] - h.zone_end[z - 1], z) << "zone " << z;
    } else {
      EXPECT_EQ(h.zone_start[z], h.zone_end[z - 1]) << "zone " << z;
    }
  }
  EXPECT_EQ(h.EndUnit(), 3 * 2 + 10 + 2 * 30) << "dense from unit 0 after compaction";
}

TEST_F(ZonesTest, RandomAllocateFreeCompactStaysDense) {
  std::mt19937 rng(11);
  for (int step = 0; step < 4000; ++step) {
    int op = rng() % 10;
    if (op < 6 || blocks.empty()) {
      // Mostly small classes, sometimes large ones.
      int c = (rng() % 4 == 0) ? 1 + rng() % 59 : 1 + rng() % 6;
      Alloc(c);
    } else if (op < 9) {
      auto it = blocks.begin();
      std::advance(it, rng() % blocks.size());
      Free(it->first);
    } else {
      zones.Compact();
    }
    ExpectSound();
    if (HasFatalFailure()) return;
  }
}

TEST_F(ZonesTest, NumberedFailures) {
  Alloc(2);
  h.zone_start[5] = h.zone_end[5] = 10;
  struct Case {
    std::function<void()> call;
    int number;
  } cases[] = {
      {[&] { (void)zones.ZoneOf(7); }, 1735},  // in the gap above zone 2
      {[&] { zones.GrowAbove(3, 4); }, 1781},
  };
  for (auto& c : cases) {
    try {
      c.call();
      ADD_FAILURE() << "expected " << c.number;
    } catch (const InternalFailure& f) {
      EXPECT_EQ(f.number(), c.number);
    }
  }
}

}  // namespace
}  // namespace tessera
