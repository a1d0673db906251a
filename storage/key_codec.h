// Key component encoding: record-buffer fields -> bytes whose plain unsigned
// comparison (memcmp) is the key's declared order.
//
// A component of size S always encodes to exactly S bytes, so a key of
// components c1..cn is their encodings one after another (the components'
// sizes total at most kMaxKeyComponentsSize). Record buffers hold numbers
// little-endian; keys hold them most significant byte first.
//
//   type                      encoding of the field's S bytes
//   USHORT DATE TIME ULONG    bytes reversed
//   SHORT LONG                bytes reversed, then first byte ^ 0x80
//   SREAL REAL                bytes reversed; negative (top bit set): every
//                             byte inverted; otherwise top bit set
//   DECIMAL                   as stored; negative (sign nibble != 0): sign
//                             nibble cleared and every byte inverted; then
//                             first byte ^ 0x80
//   STRING GROUP              the S bytes, then the string treatment
//   CSTRING                   text to its terminator, zero-filled to S, then
//                             the string treatment
//   PSTRING                   the L text bytes after the length byte, zero-
//                             filled to S, then the string treatment; L is a
//                             signed byte, clamped to 0..S-1 so a damaged
//                             length never reads past the field
//   anything else (BYTE ...)  as stored
//   descending                every byte of the encoding inverted
//
// String treatment (with a key's CollationTables):
//   1. case-insensitive keys: bytes whose class has kLower -> upper[byte];
//   2. when the rules table is not empty (rules[0] != 0): left to right, a byte
//      equal to a rule's byte becomes the rule's replacement(s) (second 0 =
//      one byte); rules are scanned up to the first whose byte is 0, at most
//      16; the result is cut to S bytes;
//   3. each byte -> sort_order[byte]; for OEM tables instead AnsiToOem(byte)
//      -> key_weights[oem byte].
//
// Invariants:
//  1. For every type but the string types and GROUP, DecodeComponent
//     (EncodeComponent(x)) == x, except that a negative DECIMAL comes back with
//     sign nibble 0xF (every non-zero sign nibble means negative).
//  2. Negative zero (REAL, SREAL, DECIMAL) sorts just before positive zero.
//  3. No function reads or writes outside the spans it is given; a span that
//     is too short makes the call return false and write nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "storage/collation.h"
#include "storage/field_types.h"

namespace tessera {

inline constexpr size_t kMaxKeyComponentsSize = 7526;

// One key component as the codec reads it. (Not the declaration's
// KeyComponent, which only names a field: two classes of one name in one
// program would break the one-definition rule.)
struct CodecComponent {
  uint8_t type = 0;        // field_type code
  uint32_t offset = 0;     // of the field in the record buffer
  uint32_t size = 0;       // S: the field's width, and the encoding's
  bool descending = false;
};

// How a key treats its string components.
struct StringTreatment {
  const CollationTables* tables = &PlatformCollation();
  bool case_insensitive = false;  // key attribute bit 2
  bool oem = false;               // the table's OEM attribute
};

// Encodes one component: field holds the field's bytes (at least c.size),
// out receives c.size bytes. c.offset is not used here.
[[nodiscard]] bool EncodeComponent(const CodecComponent& c, const StringTreatment& st,
                                   std::span<const uint8_t> field,
                                   std::span<uint8_t> out);

// True for the types whose encoding can be turned back into the field.
bool IsDecodable(uint8_t type);

// Turns c.size key bytes back into the stored field bytes. False for string
// types and GROUP (the treatment loses case and expands letters) and when
// either span is too short.
[[nodiscard]] bool DecodeComponent(const CodecComponent& c, std::span<const uint8_t> key,
                                   std::span<uint8_t> field);

// Blank field of an optional key: every byte a space for STRING and GROUP, a
// first byte 0 for CSTRING and PSTRING, every byte 0 otherwise.
bool IsBlankField(uint8_t type, std::span<const uint8_t> field);

// The components together: their total size; all of them encoded in order
// from a record buffer into out; whether all are blank. The record must hold
// every component's field (offset + size), else EncodeComponents returns
// false and AllComponentsBlank says not blank.
size_t ComponentsSize(std::span<const CodecComponent> components);
[[nodiscard]] bool EncodeComponents(std::span<const CodecComponent> components,
                                    const StringTreatment& st,
                                    std::span<const uint8_t> record,
                                    std::span<uint8_t> out);
bool AllComponentsBlank(std::span<const CodecComponent> components,
                        std::span<const uint8_t> record);

// Table numbers, record numbers and memo piece numbers inside keys.
inline void PutBigEndian32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}
inline uint32_t GetBigEndian32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) |
         uint32_t{p[3]};
}

}  // namespace tessera
