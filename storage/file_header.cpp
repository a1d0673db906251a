#include "storage/file_header.h"

#include "storage/internal_failure.h"

namespace tessera {
namespace {

void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Get32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

}  // namespace

void FileHeader::Encode(std::span<uint8_t, kHeaderSize> out) const {
  uint8_t* p = out.data();
  Put32(p + 0, own_offset);
  Put16(p + 4, header_size);
  Put32(p + 6, log_start);
  Put32(p + 10, log_end);
  Put32(p + 14, magic);
  Put16(p + 18, reserved);
  for (int i = 0; i < 4; ++i) p[20 + i] = sequence[i];
  Put32(p + 24, static_cast<uint32_t>(change_count));
  Put32(p + 28, static_cast<uint32_t>(root_unit));
  for (int z = 0; z < kZoneCount; ++z) {
    Put32(p + 32 + 4 * z, static_cast<uint32_t>(zone_start[z]));
    Put32(p + 272 + 4 * z, static_cast<uint32_t>(zone_end[z]));
  }
}

FileHeader FileHeader::Decode(std::span<const uint8_t, kHeaderSize> in) {
  const uint8_t* p = in.data();
  FileHeader h;
  h.own_offset = Get32(p + 0);
  h.header_size = Get16(p + 4);
  h.log_start = Get32(p + 6);
  h.log_end = Get32(p + 10);
  h.magic = Get32(p + 14);
  h.reserved = Get16(p + 18);
  for (int i = 0; i < 4; ++i) h.sequence[i] = p[20 + i];
  h.change_count = static_cast<int32_t>(Get32(p + 24));
  h.root_unit = static_cast<int32_t>(Get32(p + 28));
  for (int z = 0; z < kZoneCount; ++z) {
    h.zone_start[z] = static_cast<int32_t>(Get32(p + 32 + 4 * z));
    h.zone_end[z] = static_cast<int32_t>(Get32(p + 272 + 4 * z));
  }
  return h;
}

int32_t FileHeader::EndUnit() const {
  for (int z = kMaxZone; z >= 1; --z) {
    if (zone_end[z] != zone_start[z]) return zone_end[z];
  }
  return zone_end[0];
}

std::array<uint8_t, 4> FileHeader::NextSequence() {
  for (int i = 3; i >= 0; --i) {
    if (++sequence[i] != 0) break;  // no carry
  }
  Check(sequence[0] < 0xFE, 1173);
  return sequence;
}

}  // namespace tessera
