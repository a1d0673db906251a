// TableCatalogue: operations on tables by name -- remove, copy, rename and
// the list of a file's tables.
//
// The catalogue of a file is its name records: key 0xFE + table name, data
// the 4-byte table number (see table.h). Listing walks them from the
// one-byte key 0xFE.
//
// Remove: the name record (and collation record) go; when no other name
// record is left the OS file is deleted, otherwise every record of the
// table number is.
//
// Copy and rename to a destination D:
//  1. Neither name has a table part: the OS file is copied or renamed as a
//     whole; only when that fails does the table-level path run.
//  2. D's file is opened with 0x142 in write intent. An existing D table:
//     rename refuses with 5, copy deletes it.
//  3. The source is opened (rename: its name record goes).
//  4. Except for a rename inside one file (which only re-points the name),
//     every source record is copied in key order with the table number
//     replaced by a new number A of D's file and every record number N
//     replaced by N + B, B a second new number of D's file (data records and
//     memo pieces: the N after the kind byte; key entries: the record's last
//     four bytes; counters: a non-zero rebuild point). D's sequence counter
//     is raised to the highest new record number. A rename deletes each
//     source record once copied.
//  5. D's name record is inserted and D committed; when that fails the
//     source file is rolled back too. Then the source is closed (which
//     commits a rename's deletions).
// Invariant: the new numbers are above every number D has handed out, so
// no copied record collides with a record of D and numbers stay unique.
#pragma once

#include <string>
#include <vector>

#include "storage/status.h"
#include "storage/table.h"

namespace tessera {

class TableCatalogue {
 public:
  static Status Remove(const TableServices& services, const std::string& name,
                       const OpenOptions& options = {});
  static Status Copy(const TableServices& services, const std::string& source,
                     const std::string& destination, const OpenOptions& options = {});
  static Status Rename(const TableServices& services, const std::string& source,
                       const std::string& destination, const OpenOptions& options = {});
  // The table names of a file (opened with mode 0x40), in name order.
  static Status List(const TableServices& services, const std::string& file_name,
                     std::vector<std::string>* names, const std::string& password = {});

 private:
  static Status Transfer(const TableServices& services, const std::string& source,
                         const std::string& destination, const OpenOptions& options,
                         bool rename);
};

}  // namespace tessera
