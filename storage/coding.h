// Byte-level codecs of the stored page format, in Put/Get pairs.
//
// Fixed-width integers are little-endian. Variable-length numbers (used by
// the run-length compression of record streams) are unsigned base-128
// groups, least significant group first, the high bit of a byte set when
// another byte follows; 0 is the single byte 0x00. Every Get takes the
// bytes as (p, limit) and never reads at or past limit: it returns nullptr
// when the number does not fit, and callers raise their numbered failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tessera {

inline void EncodeFixed16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void EncodeFixed32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint16_t DecodeFixed16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t DecodeFixed32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline void PutFixed16(std::vector<uint8_t>* out, uint16_t v) {
  out->push_back(static_cast<uint8_t>(v));
  out->push_back(static_cast<uint8_t>(v >> 8));
}

// Longest base-128 form of a 32-bit number.
inline constexpr int kMaxVarint32Bytes = 5;

inline void PutVarint32(std::vector<uint8_t>* out, uint32_t v) {
  while (v >= 0x80) {
    out->push_back(static_cast<uint8_t>(v | 0x80));
    v >>= 7;
  }
  out->push_back(static_cast<uint8_t>(v));
}

// Reads a base-128 number from [p, limit); nullptr when it runs past limit
// or is longer than a 32-bit number allows.
inline const uint8_t* GetVarint32(const uint8_t* p, const uint8_t* limit,
                                  uint32_t* value) {
  uint32_t result = 0;
  for (int shift = 0; shift < 7 * kMaxVarint32Bytes && p < limit; shift += 7) {
    const uint32_t byte = *p++;
    if (shift == 28 && byte > 0x0F) return nullptr;  // beyond 32 bits
    result |= (byte & 0x7F) << shift;
    if ((byte & 0x80) == 0) {
      *value = result;
      return p;
    }
  }
  return nullptr;
}

}  // namespace tessera
