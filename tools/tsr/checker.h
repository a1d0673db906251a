// Checker: the integrity check of a Tessera file behind `tsr check`.
//
// It reads the file through a TsrFile opened read-only (deny none), never
// through the page cache: every block of every zone is read and decoded on
// its own, and the record tree is rebuilt from the decoded pages, so a
// damaged file can neither make it loop (each page is visited once) nor
// change what it finds. Nothing is ever written.
//
// Checked, in this order:
//  1. Header: magic, header size, zone tables (dense, ordered, non-negative),
//     end of data within the file, root unit in a zone.
//  2. Blocks: every block of every zone is wholly inside the file, carries
//     its own offset, has the stored length of its zone and decodes.
//  3. Tree: from the root, every child exists, is one level below its parent,
//     is reached once, and its first key equals its parent's separator; keys
//     ascend inside and across pages; every block belongs to the tree.
//  4. Records: every table record belongs to a named table; definitions
//     load; data records have the record length; counters equal the counts
//     of their records; every maintained key (below its rebuild point) has
//     exactly the entries its records make; every entry names a record;
//     memo pieces are complete; no table or record number lies beyond the
//     file's sequence counter.
// Internal failures and errors met on the way become problems; the check
// goes on where it can.
#pragma once

#include <string>
#include <vector>

#include "storage/env/env.h"
#include "storage/status.h"

namespace tsr {

struct CheckReport {
  std::vector<std::string> problems;
  std::vector<std::string> notes;  // facts worth knowing that are no fault
};

// Checks `path`. A Status error when the file cannot be checked at all (not
// found, not a Tessera file or wrong password); otherwise OK with the
// problems in `report` (none: the file is sound).
tessera::Status CheckFile(const std::string& path, const std::string& password,
                          CheckReport* report, tessera::Env* env = tessera::Env::Default());

}  // namespace tsr
