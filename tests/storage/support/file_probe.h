// Helpers for container tests: raw file bytes, key/data makers, and a
// soundness check of a file's zones and page tree.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "storage/file_header.h"
#include "storage/page.h"
#include "storage/record.h"
#include "storage/tsr_file.h"
#include "storage/zones.h"

namespace tessera::testing {

inline std::vector<uint8_t> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteAll(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

// Checks, on an open file whose header is current and which has no
// uncommitted changes, that:
//  - every zone is dense: each of its slots holds a block of the zone's
//    class whose own offset names that slot;
//  - the pages reachable from the root are exactly the blocks in the zones.
inline void ExpectSoundFile(TsrFile& file) {
  const FileHeader& h = file.header();
  std::set<int32_t> slots;
  for (int z = 1; z <= kMaxZone; ++z) {
    ASSERT_LE(h.zone_start[z], h.zone_end[z]) << "zone " << z;
    ASSERT_EQ((h.zone_end[z] - h.zone_start[z]) % z, 0) << "zone " << z;
    if (z < kMaxZone) {
      ASSERT_LE(h.zone_end[z], h.zone_start[z + 1]) << "zone " << z;
    }
    for (int32_t u = h.zone_start[z]; u < h.zone_end[z]; u += z) {
      std::vector<uint8_t> block = file.ReadRawBlock(u);
      uint32_t own = block[0] | block[1] << 8 | block[2] << 16 | uint32_t{block[3]} << 24;
      ASSERT_EQ(own, UnitOffset(u)) << "zone " << z << " slot " << u;
      ASSERT_EQ(Zones::ClassOf(BlockStoredLength(block)), z);
      slots.insert(u);
    }
  }
  std::set<int32_t> reached;
  std::vector<int32_t> todo{h.root_unit};
  while (!todo.empty()) {
    int32_t u = todo.back();
    todo.pop_back();
    ASSERT_TRUE(reached.insert(u).second) << "page reached twice: " << u;
    TsrPage* page = file.GetPage(u);
    if (page->level > 0) {
      for (TsrRecord* r : page->Records()) todo.push_back(r->child);
    }
  }
  EXPECT_EQ(reached, slots) << "pages reachable from the root vs blocks in zones";
}

}  // namespace tessera::testing
