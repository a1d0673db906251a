// Record text: the columns of a table as `tsr dump` writes them and `tsr
// import` reads them, and the CSV, JSON and base64 forms around them.
//
// Columns, in order: every field that neither lies over another nor is a
// GROUP (its members are columns of their own), one column per element --
// "NAME" for a single element, "NAME[i]" (i from 1) for dimensioned fields --
// then every memo by its label.
//
// Values:
//   STRING                 the text without its trailing blanks
//   CSTRING, PSTRING       the text up to the terminator / of the length byte
//   BYTE .. ULONG, DATE,   the number in decimal
//   TIME
//   SREAL, REAL            the shortest decimal that reads back to the same
//                          value
//   DECIMAL, PDECIMAL      the number with its declared places
//   text memo              the text without trailing blanks
//   binary memo, BLOB      base64 (RFC 4648, with padding)
// Reading a value back refuses text that does not fit: too long, not a
// number, out of range, too many places.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "storage/definition.h"

namespace tsr {

struct Column {
  std::string name;
  bool memo = false;
  size_t index = 0;    // field or memo index
  uint32_t element = 0;
  bool numeric = false;  // written as a JSON number
  bool binary = false;   // written as base64
};

std::vector<Column> ColumnsOf(const tessera::TableDefinition& definition);

// A column's value from a record buffer and its memos.
std::string ColumnText(const tessera::TableDefinition& definition, const Column& column,
                       std::span<const uint8_t> record,
                       const std::vector<std::vector<uint8_t>>& memos);
// Puts a column's value into the record buffer (or memo buffer). False with
// `error` when the text does not fit.
bool SetColumn(const tessera::TableDefinition& definition, const Column& column,
               std::string_view text, std::span<uint8_t> record,
               std::vector<std::vector<uint8_t>>* memos, std::string* error);
// A record with every field blank: STRING spaces, everything else zero.
std::vector<uint8_t> BlankRecord(const tessera::TableDefinition& definition);

// --- CSV -----------------------------------------------------------------
// One CSV value: quoted when it holds a comma, quote, CR or LF.
std::string CsvField(std::string_view value);

struct CsvRow {
  size_t line = 0;  // the line the row starts on, from 1
  std::vector<std::string> values;
};
// Splits CSV text (commas, "double quotes" with "" inside, LF or CRLF line
// ends, line ends inside quotes kept). False with `error` ("line N: ...")
// for an unterminated quote or a character after a closing quote. A last
// empty line is no row.
bool ParseCsv(std::string_view text, std::vector<CsvRow>* rows, std::string* error);

// --- JSON and base64 --------------------------------------------------------
// A JSON string literal; bytes 0x80-0xFF are taken as Latin-1.
std::string JsonString(std::string_view text);
std::string Base64(std::span<const uint8_t> bytes);
std::optional<std::vector<uint8_t>> FromBase64(std::string_view text);

}  // namespace tsr
