// Table definitions: the working description of a table, built from the
// program's declaration (Describe) or from the copy stored in the file
// (LoadDefinition), the byte stream that copy is stored as, and the check of
// a declaration against it (CompareDefinition).
//
// Definition stream (integers 2 bytes little-endian unless noted; a text is
// its bytes and a zero byte, except that an empty text is the two bytes 00 00
// and an absent text the two bytes 00 01):
//
//   version            2   1, or 2 when at least one memo is a BLOB
//   record length      2
//   field count        2
//   memo count         2
//   key count          2
//   per field:
//     type             1   FieldType code (any code for a field lying over
//                          another)
//     offset           2
//     name             text
//     element count    2
//     size             2   element count x element length
//     over flag        2   1 when the field lies over earlier bytes
//     field index      2   position in the declaration, from 0
//     DECIMAL and PDECIMAL only:   places 1, element length 1
//     STRING, CSTRING, PSTRING only: element length 2, picture text
//   per memo:   label text, external name text, size 2, flags 2
//   per key:    label text, external name text, attribute byte 1,
//               component count 2, then per component:
//               field index 2, descending flag 2 (1 descending, 0 ascending)
//
// Stored as records [T, 0xFA, block (2 bytes little-endian)]: block 0 holds the
// first 512 bytes, block 1 the next 512, ...; the last block the rest. On
// reading, a block that does not exist reads as 512 zero bytes, so a
// truncated definition shows up as a count or type mismatch.
//
// Invariants of a TableDefinition that Describe or LoadDefinition returned
// (the table layer and key building rely on them; a stream that breaks them
// is refused as damaged, never used):
//  1. Every field lies inside the record: offset + size <= record_length,
//     and record_length <= kMaxDataSize.
//  2. A field that does not lie over another has a supported type.
//  3. A group's members directly follow it and stay inside the field list.
//  4. Every key component names an existing field with one element.
//  5. At most kMaxMemos memos and kMaxKeys keys.
//
// Reports. Refusals of the declaration's limits and mismatches with the
// stored definition return 47 and fill a DefinitionReport: the code text
// "KIND : number : ATTRIBUTE : Dccccc" (ccccc = column + 1) and the file-error
// text for the kind and column (or the given text). Gaps, impossible
// overlays and dimensioned key components give 75; memory exhaustion 8.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "storage/declaration.h"
#include "storage/field_types.h"
#include "storage/status.h"

namespace tessera {

namespace err {
inline constexpr int kInsufficientMemory = 8;
inline constexpr int kInvalidRecordDeclaration = 47;
inline constexpr int kInvalidFieldTypeDescriptor = 75;
}  // namespace err

// Limits.
inline constexpr uint32_t kMaxDataSize = 15000;        // record data bytes
inline constexpr uint32_t kMaxStringLength = 15000;    // STRING element
inline constexpr uint32_t kMaxCStringLength = 15001;   // CSTRING element
inline constexpr uint32_t kMaxMemoSize = 64000;
inline constexpr size_t kMaxMemos = 255;
inline constexpr size_t kMaxKeys = 240;
inline constexpr uint32_t kMaxKeyComponentBytes = 7526;
inline constexpr size_t kDefinitionBlockSize = 512;
inline constexpr uint16_t kHighestDefinitionVersion = 2;

struct FieldDefinition {
  uint8_t type = 0;  // field_type code
  uint32_t offset = 0;
  std::string name;
  uint32_t element_count = 1;
  uint32_t size = 0;
  bool over = false;
  uint32_t index = 0;
  uint8_t places = 0;                  // DECIMAL, PDECIMAL
  uint32_t element_length = 0;         // DECIMAL, PDECIMAL, strings
  std::optional<std::string> picture;  // strings; nullopt when none
  uint32_t group_members = 0;          // GROUP: fields that follow inside it

  bool operator==(const FieldDefinition&) const = default;
};

struct MemoDefinition {
  std::string label;
  std::optional<std::string> external_name;
  uint32_t size = 0;
  uint16_t flags = 0;  // kMemoBinary, kMemoBlob, others as declared
  uint32_t number = 0;  // index + 1

  bool blob() const { return (flags & kMemoBlob) != 0; }
  bool binary() const { return (flags & kMemoBinary) != 0; }
  bool operator==(const MemoDefinition&) const = default;
};

struct KeyPart {
  uint16_t field = 0;  // field index, from 0
  bool descending = false;

  bool operator==(const KeyPart&) const = default;
};

struct KeyDefinition {
  std::string label;
  std::optional<std::string> external_name;
  uint8_t attributes = 0;  // key_attr bits
  std::vector<KeyPart> parts;

  bool duplicates() const { return (attributes & key_attr::kDuplicates) != 0; }
  bool optional() const { return (attributes & key_attr::kOptional) != 0; }
  bool nocase() const { return (attributes & key_attr::kCaseInsensitive) != 0; }
  bool operator==(const KeyDefinition&) const = default;
};

struct TableDefinition {
  uint32_t record_length = 0;
  std::vector<FieldDefinition> fields;
  std::vector<MemoDefinition> memos;
  std::vector<KeyDefinition> keys;

  bool has_blob() const;
  uint16_t version() const { return has_blob() ? 2 : 1; }
  bool operator==(const TableDefinition&) const = default;
};

// What a refusal of 47 reports besides its code.
struct DefinitionReport {
  std::string code_text;  // e.g. "FILE : 0 : FIELDS : D00001"
  std::string text;       // the file-error text
  // Message number the platform may translate `text` by (0: none).
  int text_number = 0;
};

inline constexpr int kVersionTextNumber = 210101;
inline constexpr int kKeyLengthTextNumber = 230100;

enum class ReportKind { kFile, kField, kMemo, kBlob, kKey, kComponent };
const char* ReportKindWord(ReportKind kind);
// The file-error text for a kind and column; "Unknown Error" past the last.
const char* DefinitionErrorText(ReportKind kind, int column);
// "%s : %d : %s : %s%05d" with "D" and column + 1.
std::string DefinitionCodeText(ReportKind kind, int number,
                               const std::string& attribute, int column);

// Builds the working description of a declaration. 0, 47 (with `report`),
// 75 or 8.
Status Describe(const TableDeclaration& declaration, TableDefinition* out,
                DefinitionReport* report);

// The stream of a definition, and the stream cut into blocks of
// kDefinitionBlockSize bytes (the last one shorter; an empty stream is
// never produced).
std::vector<uint8_t> EncodeDefinition(const TableDefinition& definition);
std::vector<std::vector<uint8_t>> CutDefinitionBlocks(
    const std::vector<uint8_t>& stream);

// Reads stored block `block` into `data`; leaves `data` empty when the block
// does not exist. Errors are passed through.
using DefinitionBlockReader =
    std::function<Status(uint16_t block, std::vector<uint8_t>* data)>;

// Undeclared open: the stored definition as it is (any version). 36 for a
// damaged stream.
Status LoadDefinition(const DefinitionBlockReader& read, TableDefinition* out);

// Declared open: compares the stored stream with `declared` item by item in
// stream order. 0, 47 with `report` at the first difference, or 36 for a
// damaged stream. `decimal_check` false skips the DECIMAL places and length.
Status CompareDefinition(const DefinitionBlockReader& read,
                         const TableDefinition& declared, bool decimal_check,
                         DefinitionReport* report);

// Reads a definition from blocks held in memory (index = block number).
DefinitionBlockReader BlocksReader(
    const std::vector<std::vector<uint8_t>>& blocks);

}  // namespace tessera
