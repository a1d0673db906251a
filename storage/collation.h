// Collation: the character tables string keys are built with, and the
// ANSI <-> OEM code-page conversion.
//
// The "ANSI" code page is Windows-1252; the "OEM" code page is CP437. Both are
// single-byte; the tables below are indexed by byte value.
//
// CollationTables (1152 bytes when stored, in this order):
//   offset  size  table
//        0   256  sort_order   ANSI byte -> weight; memcmp of weights is the order
//      256   256  key_weights  OEM byte -> weight, for tables with the OEM attribute
//      512   256  upper        ANSI byte -> its upper-case byte (itself if none)
//      768   256  classes      ANSI byte -> char_class bits
//     1024    64  rules        multi-character rules: up to 16 of
//                              {byte, first replacement, second replacement, 0};
//                              the list ends at the first rule whose byte is 0
//     1088    64  rule_companion  travels with the rules; key building never
//                              reads it, and our own tables leave it zero
//
// Collation record (one per table, key T(4, big-endian), 0xFB, 0x01), data:
//   offset  size  field
//        0     1  OEM flag (1: the table stores its text in the OEM code page)
//        1  1152  CollationTables as above
// The record is a snapshot: a table's keys keep being built with the tables
// that built them, whatever the platform's tables are later.
//
// Invariants of the platform tables (PlatformCollation):
//  1. sort_order is a permutation with sort_order[0] == 0 and space below
//     every printable character, so zero- and space-padded strings sort before
//     their extensions.
//  2. Upper- and lower-case forms of a letter have adjacent weights (upper
//     first), accented forms follow their base letter.
//  3. Every byte with class kLower maps through `upper` to a kUpper byte or to
//     itself; case folding never changes a non-letter.
//  4. AnsiToOem and OemToAnsi are inverse permutations, so text stored in the
//     OEM code page reads back unchanged, and key_weights[AnsiToOem(b)] ==
//     sort_order[b]: OEM tables order keys exactly like ANSI tables.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "storage/status.h"

namespace tessera {

namespace char_class {
inline constexpr uint8_t kLower = 0x01;  // lower-case letter: folded in case-insensitive keys
inline constexpr uint8_t kUpper = 0x02;
inline constexpr uint8_t kDigit = 0x04;  // 0-9 only
inline constexpr uint8_t kSpace = 0x08;  // white space
inline constexpr uint8_t kPunct = 0x10;  // printable symbol or punctuation
inline constexpr uint8_t kControl = 0x20;
inline constexpr uint8_t kAlpha = 0x40;       // any letter, with or without case
inline constexpr uint8_t kUnassigned = 0x80;  // no character in the code page
}  // namespace char_class

inline constexpr size_t kCollationTablesSize = 1152;
inline constexpr size_t kCollationRecordSize = 1 + kCollationTablesSize;
inline constexpr size_t kMaxCollationRules = 16;

struct CollationTables {
  std::array<uint8_t, 256> sort_order{};
  std::array<uint8_t, 256> key_weights{};
  std::array<uint8_t, 256> upper{};
  std::array<uint8_t, 256> classes{};
  std::array<uint8_t, 64> rules{};
  std::array<uint8_t, 64> rule_companion{};

  bool operator==(const CollationTables&) const = default;
};

// The platform's current tables. Immutable; built at compile time.
const CollationTables& PlatformCollation();

// Code-page conversion, byte by byte (lossless: the maps are inverse
// permutations).
uint8_t AnsiToOem(uint8_t c);
uint8_t OemToAnsi(uint8_t c);
void AnsiToOem(std::span<uint8_t> text);
void OemToAnsi(std::span<uint8_t> text);

struct CollationRecord {
  bool oem = false;
  CollationTables tables;

  bool operator==(const CollationRecord&) const = default;
};

// Key of a table's collation record: T (big-endian), 0xFB, 0x01.
std::array<uint8_t, 6> CollationRecordKey(uint32_t table_number);

void EncodeCollationRecord(const CollationRecord& record,
                           std::array<uint8_t, kCollationRecordSize>* out);
// Fails with kInvalidDataFile unless data is exactly one record long.
Status DecodeCollationRecord(std::span<const uint8_t> data, CollationRecord* out);

}  // namespace tessera
