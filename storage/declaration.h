// Table declarations: what the program hands the engine for each table.
//
// A declaration is built by the application and only read by the engine. It
// names the table, carries the record buffer the engine reads and fills, and
// describes the record (fields, memos) and its keys. The engine turns it into
// its working description when the table is first used and, on a declared
// open, checks it against the definition stored in the file.
//
// Fields
//   type            one of FieldType; others are refused unless the field
//                   lies over another field
//   offset          byte offset in the record buffer
//   label           the program's name for the field, handed over in the
//                   stored (upper-case) form, e.g. "ITE:PRIORITY"
//   external_name   overrides the label as stored name when not empty
//   element_count   product of the field's dimensions (1 without dimensions)
//   element_length  bytes per element; size = element_count * element_length
//   places          DECIMAL only: decimal places
//   picture         STRING, CSTRING, PSTRING only: display picture, may be empty
//   group_members   GROUP only: the number of fields that follow and belong to
//                   the group
//
// Keys
//   A component names a field by a signed number, as declarations do: n > 0 is
//   field n - 1 ascending, n < 0 is field ~n (that is -n - 1) descending.
//   KeyComponent::Ascending / Descending build them from a field index.
//   Attribute word bits are the kKey* constants below.
//
// Table attribute byte: kTableCreate, kTablePerThread, kTableOem; bits 1 and 3
// are kept and reported as properties, bit 0 is not used. The engine copies
// bits 1 to 6 into its own table flags.
//
// Invariants a well-formed declaration keeps (the engine checks them and
// refuses the table otherwise):
//  1. Fields are listed in offset order without gaps; a field starting before
//     the running end lies over an earlier field of the same level.
//  2. With kTableCreate, every field not lying over another and every key has
//     a label or an external name.
//  3. Key components name existing fields that have one element each.
//  4. record_size equals the end of the last field laid out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tessera {

enum class FieldType : uint8_t {
  kByte = 1,
  kShort = 2,
  kUShort = 3,
  kDate = 4,
  kTime = 5,
  kLong = 6,
  kULong = 7,
  kSReal = 8,
  kReal = 9,
  kDecimal = 10,
  kString = 18,
  kCString = 19,
  kPString = 20,
  kGroup = 22,
};

struct FieldDescription {
  FieldType type = FieldType::kString;
  uint32_t offset = 0;
  std::string label;
  std::string external_name;
  uint32_t element_count = 1;
  uint32_t element_length = 0;
  uint8_t places = 0;
  std::string picture;
  uint32_t group_members = 0;

  uint32_t size() const { return element_count * element_length; }
  // The name the engine stores: the external name when there is one.
  const std::string& stored_name() const {
    return external_name.empty() ? label : external_name;
  }
};

// Memo flags.
inline constexpr uint16_t kMemoBinary = 1u << 1;
inline constexpr uint16_t kMemoBlob = 1u << 2;

struct MemoDescription {
  std::string label;
  std::string external_name;
  uint32_t size = 0;
  uint16_t flags = 0;
};

// Key attribute word.
inline constexpr uint16_t kKeyDuplicates = 1u << 0;
inline constexpr uint16_t kKeyOptional = 1u << 1;
inline constexpr uint16_t kKeyNoCase = 1u << 2;
inline constexpr uint16_t kKeyAsDeclared = 1u << 3;
inline constexpr uint16_t kKeyPrimary = 1u << 4;
inline constexpr uint16_t kKeyIndex = 1u << 14;

struct KeyComponent {
  int16_t field = 1;  // declaration number: see the header comment

  static KeyComponent Ascending(int index) {
    return {static_cast<int16_t>(index + 1)};
  }
  static KeyComponent Descending(int index) {
    return {static_cast<int16_t>(~index)};
  }
  int index() const { return field > 0 ? field - 1 : ~field; }
  bool descending() const { return field < 0; }
};

struct KeyDescription {
  std::string label;
  std::string external_name;
  uint16_t attributes = 0;
  std::vector<KeyComponent> components;

  const std::string& stored_name() const {
    return external_name.empty() ? label : external_name;
  }
};

// Table attribute byte.
inline constexpr uint8_t kTableCreate = 1u << 2;
inline constexpr uint8_t kTablePerThread = 1u << 4;
inline constexpr uint8_t kTableOem = 1u << 5;

struct TableDeclaration {
  // The table's name as given to the engine: a file name, optionally with a
  // directory, extension and a table part. Without an extension the engine
  // adds its default ".TSR".
  std::string name;
  std::string owner;   // owner password; empty for none
  std::string driver;  // driver option string; empty for none
  uint8_t* record = nullptr;  // the record buffer, record_size bytes
  size_t record_size = 0;
  std::vector<FieldDescription> fields;
  std::vector<MemoDescription> memos;
  std::vector<KeyDescription> keys;
  uint8_t attributes = 0;
};

}  // namespace tessera
