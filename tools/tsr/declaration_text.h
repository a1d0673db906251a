// Declaration text: the written form of a table declaration that `tsr
// create` reads and `tsr schema` prints.
//
// Grammar (keywords and names are not case-sensitive; names are stored in
// upper case; "!" starts a comment that runs to the end of the line):
//
//   declaration := item { ("," | ";") item }
//   item        := field | memo | key
//   field       := name type { field-attr }
//   type        := BYTE | SHORT | USHORT | DATE | TIME | LONG | ULONG
//                | SREAL | REAL | DECIMAL "(" digits ["," places] ")"
//                | STRING "(" n ")" | CSTRING "(" n ")" | PSTRING "(" n ")"
//                | GROUP "(" members ")"
//   field-attr  := DIM "(" n { "," n } ")" | OVER "(" name ")"
//                | PICTURE "(" text ")" | NAME "(" text ")"
//   memo        := name ( MEMO "(" n ")" | BLOB ) { BINARY | NAME "(" text ")" }
//   key         := KEY name { DUP | OPT | NOCASE | PRIMARY | INDEX
//                           | NAME "(" text ")" }
//                  "(" component { "," component } ")"
//   component   := [ "+" | "-" ] name          ("-": descending)
//   name        := letter or "_", then letters, digits, ":", "_", "."
//   text        := "'" characters "'"          ("''" stands for one "'")
//
// Fields are laid out one after the other in the order written; a field with
// OVER starts where the named field does and takes no room of its own; a
// GROUP starts at the running end and holds the `members` fields that follow
// it (its size is theirs). DIM multiplies the element count.
//
// Invariant: ParseDeclaration(FormatDefinition(d)) describes d again for
// every definition the engine stores (the comments FormatDefinition adds are
// skipped).
#pragma once

#include <string>
#include <string_view>

#include "storage/declaration.h"
#include "storage/definition.h"

namespace tsr {

// Parses `text` into `out` (fields, memos, keys, record size; the name,
// buffer and attributes are the caller's). False with `error` set to
// "column N: what is wrong" at the first fault.
bool ParseDeclaration(std::string_view text, tessera::TableDeclaration* out,
                      std::string* error);

// The declaration text of a stored definition, one item a line, each with a
// comment giving its offset and size (fields) or its number (keys, memos).
std::string FormatDefinition(const tessera::TableDefinition& definition);

// The type word of a field type code ("STRING", ...), "TYPE<n>" when unknown.
std::string TypeName(uint8_t type);

}  // namespace tsr
