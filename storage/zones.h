// Zones: where blocks live in a Tessera file, and how they are kept dense.
//
// File space after the 512-byte header is counted in 256-byte units. A block
// of class c occupies c units (c = 1..59, 256 to 15104 bytes). Zone z holds
// only blocks of class z, back to back, in units zoneStart[z] up to (not
// including) zoneEnd[z]; the zone tables live in the FileHeader.
//
//   | header | zone 1 |gap| zone 2 | zone 3 |  gap  | zone 4 | ... | zone 59 |
//   0       512
//
// Invariants (checked by tests after every operation):
//  1. Dense: (zoneEnd[z] - zoneStart[z]) is a multiple of z and every z units
//     from zoneStart[z] on hold a block in use; there are no holes.
//  2. Ordered: zoneEnd[z] <= zoneStart[z + 1] for z = 1..58; free space is
//     only the gaps between one zone's end and the next zone's start.
//  3. Zone 1 never moves down. The last zone grows at the end of the file.
//
// Zones never write anything. Every block that changes place is announced to
// the move callback (from unit, to unit), which in the file re-homes the
// cached page and its parent's reference; the page reaches its new place at
// the next commit. Moves may overlap their old place; they are logical.
#pragma once

#include <cstdint>
#include <functional>

#include "storage/file_header.h"

namespace tessera {

class Zones {
 public:
  using MoveFn = std::function<void(int32_t from, int32_t to)>;

  // Works on the zone tables of `header`; both must outlive this object.
  Zones(FileHeader* header, MoveFn move) : h_(header), move_(std::move(move)) {}

  // The size class of a block with the given stored length (rounded up to
  // whole units).
  static int ClassOf(size_t stored_length) {
    return static_cast<int>((stored_length + kUnitSize - 1) / kUnitSize);
  }

  // The zone holding `unit`; 0 for a temporary (negative) unit. Raises 1735
  // when the unit lies in no zone.
  int ZoneOf(int32_t unit) const;

  // Allocates a block of class c (1..59) and returns its first unit.
  int32_t Allocate(int c);
  // Frees the block at `unit`: the zone's last block moves into its place.
  void Free(int32_t unit);
  // Slides every zone of 2..59 down against the zone below it (once per
  // commit, after all pages found their zone).
  void Compact();

  // Makes at least n free units between zone z and zone z + 1 by sliding
  // zone z (and, recursively, the zones below it) down. False when that is
  // not possible (zone 1 never moves down).
  bool MakeGapBelow(int z, int32_t n);
  // Makes at least n (<= z, else failure 1781) free units above zone z by
  // moving the zones above it up.
  void GrowAbove(int z, int32_t n);

 private:
  int32_t& start(int z) { return h_->zone_start[z]; }
  int32_t& end(int z) { return h_->zone_end[z]; }
  int32_t Size(int z) const { return h_->zone_end[z] - h_->zone_start[z]; }
  void Move(int32_t from, int32_t to) {
    if (from != to) move_(from, to);
  }

  FileHeader* h_;
  MoveFn move_;
};

}  // namespace tessera
