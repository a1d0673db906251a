// TableKeyMaintainer: the table layer's KeyMaintainer (table.h) carried out
// by the key layer (keys.h).
//
// The table layer hands each call a view of the open table (file, number,
// definition, collation tables, OEM flag). This maintainer keeps nothing
// between calls: each call builds the key layer's view of the table from
// the definition and runs the key update on it, so no pointer into a file
// outlives the call. Dynamic indexes, which live only in memory, belong to
// whoever builds them (a TableKeys the table holds open); DropTable has
// nothing of them here to drop.
//
//   AddEntries(maintain)    -> Update(buffer, none, N, defer all = !maintain)
//   UpdateEntries(old, new) -> Update(new, old, N, false)
//   DeleteEntries(buffer)   -> Update(none, buffer, N, false)
//
// Invariant: an add or change that returns 40 (or 5 for a key counter that
// is gone) has left every key as it was.
#pragma once

#include <memory>
#include <span>
#include <vector>

#include "storage/definition.h"
#include "storage/keys.h"
#include "storage/table.h"

namespace tessera {

// The key layer's description of a definition's keys: each component's
// field type, offset and size, and the stored attribute byte.
std::vector<KeyLayout> KeyLayoutsOf(const TableDefinition& definition);

// The key layer's view of an open table (valid while the view's file is).
std::unique_ptr<TableKeys> KeysOf(const KeyTable& table);

class TableKeyMaintainer final : public KeyMaintainer {
 public:
  Status AddEntries(const KeyTable& table, uint32_t record, std::span<const uint8_t> buffer,
                    bool maintain) override;
  Status UpdateEntries(const KeyTable& table, uint32_t record,
                       std::span<const uint8_t> old_buffer,
                       std::span<const uint8_t> new_buffer) override;
  // A key whose counter is gone is passed by; the others lose the entry.
  void DeleteEntries(const KeyTable& table, uint32_t record,
                     std::span<const uint8_t> buffer) override;
  void DropTable(const KeyTable&) override {}
};

}  // namespace tessera
