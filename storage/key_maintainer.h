// TableKeyMaintainer: the table layer's KeyMaintainer (table.h) carried out
// by the key layer (keys.h).
//
// This is the maintenance every Table gets unless its services name another.
// The table layer hands each call a view of the open table (file, number,
// definition, collation tables, OEM flag, and the TableKeys the table keeps
// from open to close). The maintainer keeps nothing between calls: it runs
// the key update on the table's own TableKeys, or -- for a view without one
// (a table opened only to be removed, copied or renamed) -- on one built
// from the definition for that call alone. Dynamic indexes live only in
// memory, in the table's TableKeys; the table drops them itself, so
// DropTable has nothing here to drop.
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

  static TableKeyMaintainer& Instance();  // stateless
};

}  // namespace tessera
