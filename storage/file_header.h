// FileHeader: the 512 bytes at offset 0 of every Tessera file.
//
// Layout (little-endian unless stated):
//
//   offset width name        meaning
//   0      4     ownOffset   where this block belongs: 0 for the header
//   4      2     headerSize  512
//   6      4     logStart    file offset of the first block of the commit log;
//                            equal to logEnd when no log is pending
//   10     4     logEnd      file offset just after the last logged block
//   14     4     magic       the bytes "tEsS" (0x53734574 little-endian)
//   18     2     reserved    written back unchanged; zero in new files
//   20     4     sequence    big-endian; the last number handed out
//   24     4     changeCount signed; raised by every commit
//   28     4     rootUnit    unit of the root page; -1 while it has no place
//   32     240   zoneStart   zoneStart[z], z = 0..59
//   272    240   zoneEnd     zoneEnd[z],   z = 0..59
//
// The first two fields have the layout of every block's first two fields
// (own offset, stored length), so the commit log carries the header and
// pages alike and recovery copies each logged block to its own offset.
//
// Space after the header is counted in 256-byte units: unit u lies at file
// offset 512 + 256 * u. Zone z (1..59) holds blocks of exactly z units in
// units zoneStart[z] .. zoneEnd[z] - 1. Slot 0 is no zone.
//
// Invariants:
//  1. Encode(Decode(b)) == b for every 512-byte b (every field round-trips,
//     the reserved bytes included).
//  2. The sequence number never reaches a first byte of 0xFE: the highest
//     number handed out is FD FF FF FF (internal failure 1173 beyond).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace tessera {

inline constexpr size_t kHeaderSize = 512;
inline constexpr size_t kUnitSize = 256;
inline constexpr int kZoneCount = 60;  // slots 0..59; zones are 1..59
inline constexpr int kMaxZone = 59;
inline constexpr uint32_t kMagic = 0x53734574;  // "tEsS"

// The file offset of a unit.
inline constexpr int64_t UnitOffset(int32_t unit) {
  return static_cast<int64_t>(kHeaderSize) + static_cast<int64_t>(kUnitSize) * unit;
}

struct FileHeader {
  uint32_t own_offset = 0;
  uint16_t header_size = kHeaderSize;
  uint32_t log_start = 0;
  uint32_t log_end = 0;
  uint32_t magic = 0;
  uint16_t reserved = 0;
  std::array<uint8_t, 4> sequence{};  // big-endian, as stored
  int32_t change_count = 0;
  int32_t root_unit = 0;
  std::array<int32_t, kZoneCount> zone_start{};
  std::array<int32_t, kZoneCount> zone_end{};

  bool HasMagic() const { return magic == kMagic; }

  void Encode(std::span<uint8_t, kHeaderSize> out) const;
  static FileHeader Decode(std::span<const uint8_t, kHeaderSize> in);

  // The unit just after the highest non-empty zone (zoneEnd[0] when every
  // zone is empty), and the file offset of that unit: the end of data.
  int32_t EndUnit() const;
  int64_t EndOfData() const { return UnitOffset(EndUnit()); }

  // Increments the big-endian counter and returns its new bytes, ready to be
  // placed in keys. Raises internal failure 1173 when the first byte reaches
  // 0xFE. (Intent and header checks are the caller's.)
  std::array<uint8_t, 4> NextSequence();
  uint32_t SequenceValue() const {
    return uint32_t{sequence[0]} << 24 | uint32_t{sequence[1]} << 16 |
           uint32_t{sequence[2]} << 8 | sequence[3];
  }

  bool operator==(const FileHeader&) const = default;
};

}  // namespace tessera
