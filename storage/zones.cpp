#include "storage/zones.h"

#include "storage/internal_failure.h"

namespace tessera {

int Zones::ZoneOf(int32_t unit) const {
  if (unit < 0) return 0;
  for (int z = 1; z <= kMaxZone; ++z) {
    if (h_->zone_start[z] <= unit && unit < h_->zone_end[z]) return z;
  }
  RaiseInternalFailure(1735);
}

int32_t Zones::Allocate(int c) {
  if (MakeGapBelow(c - 1, c)) {
    start(c) -= c;
    return start(c);
  }
  GrowAbove(c, c);
  int32_t unit = end(c);
  end(c) += c;
  return unit;
}

bool Zones::MakeGapBelow(int z, int32_t n) {
  if (z <= 0) return false;
  int32_t gap = start(z + 1) - end(z);
  if (gap >= n) return true;
  int32_t k = (n - gap + z - 1) / z;
  if (!MakeGapBelow(z - 1, k * z)) return false;
  while (start(z + 1) - end(z) < n) {
    // The zone slides down one block: its last block goes in front of its
    // first. An empty zone just slides.
    if (Size(z) > 0) Move(end(z) - z, start(z) - z);
    start(z) -= z;
    end(z) -= z;
  }
  return true;
}

void Zones::GrowAbove(int z, int32_t n) {
  Check(n <= z, 1781);
  if (z >= kMaxZone) return;
  int32_t gap = start(z + 1) - end(z);
  if (gap >= n) return;
  int y = z + 1;
  if (Size(y) <= y) {
    // At most one block: slide the whole zone up by what is missing.
    int32_t need = n - gap;
    GrowAbove(y, need);
    if (Size(y) > 0) Move(start(y), start(y) + need);
    start(y) += need;
    end(y) += need;
  } else {
    // Rotate the zone up by one block: its first block goes after its last.
    GrowAbove(y, y);
    Move(start(y), end(y));
    start(y) += y;
    end(y) += y;
  }
}

void Zones::Free(int32_t unit) {
  int z = ZoneOf(unit);
  if (z == 0) return;
  Move(end(z) - z, unit);
  end(z) -= z;
}

void Zones::Compact() {
  for (int z = 2; z <= kMaxZone; ++z) {
    if (Size(z) <= z) {
      int32_t size = Size(z);
      if (size > 0) Move(start(z), end(z - 1));
      start(z) = end(z - 1);
      end(z) = start(z) + size;
    } else {
      while (start(z) - end(z - 1) >= z) {
        Move(end(z) - z, start(z) - z);
        start(z) -= z;
        end(z) -= z;
      }
    }
  }
}

}  // namespace tessera
