// Field type codes and key attribute bits, as stored in table definitions.
//
// The type codes are the platform's data-declaration codes; a table
// definition stores them in one byte per field. The key attribute byte is
// stored per key. Both are part of the file format: never renumber.
#pragma once

#include <cstdint>

namespace tessera {

namespace field_type {
inline constexpr uint8_t kByte = 1;
inline constexpr uint8_t kShort = 2;     // signed, 2 bytes little-endian
inline constexpr uint8_t kUShort = 3;    // unsigned, 2 bytes
inline constexpr uint8_t kDate = 4;      // unsigned, 4 bytes
inline constexpr uint8_t kTime = 5;      // unsigned, 4 bytes
inline constexpr uint8_t kLong = 6;      // signed, 4 bytes
inline constexpr uint8_t kULong = 7;     // unsigned, 4 bytes
inline constexpr uint8_t kSReal = 8;     // IEEE 754 binary32
inline constexpr uint8_t kReal = 9;      // IEEE 754 binary64
inline constexpr uint8_t kDecimal = 10;  // packed decimal, sign in the first nibble
inline constexpr uint8_t kPDecimal = 11;
inline constexpr uint8_t kString = 18;   // fixed width, space padded
inline constexpr uint8_t kCString = 19;  // zero terminated within its width
inline constexpr uint8_t kPString = 20;  // length byte, then the text
inline constexpr uint8_t kGroup = 22;    // the fields that follow, as bytes
}  // namespace field_type

namespace key_attr {
inline constexpr uint8_t kDuplicates = 0x01;       // record number is part of the key
inline constexpr uint8_t kOptional = 0x02;         // no entry when all components are blank
inline constexpr uint8_t kCaseInsensitive = 0x04;  // strings folded to upper case
inline constexpr uint8_t kAsDeclared = 0x08;
inline constexpr uint8_t kPrimary = 0x10;          // ignored when definitions are compared
inline constexpr uint8_t kIndex = 0x20;            // built on request, not on every change
inline constexpr uint8_t kDynamicIndex = 0x40;     // in memory only, components given at build
}  // namespace key_attr

}  // namespace tessera
