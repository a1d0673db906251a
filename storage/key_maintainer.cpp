// The table layer's key maintenance over the key layer; see key_maintainer.h.
#include "storage/key_maintainer.h"

namespace tessera {

std::vector<KeyLayout> KeyLayoutsOf(const TableDefinition& definition) {
  std::vector<KeyLayout> layouts;
  layouts.reserve(definition.keys.size());
  for (const KeyDefinition& key : definition.keys) {
    KeyLayout layout;
    layout.attributes = key.attributes;
    for (const KeyPart& part : key.parts) {
      const FieldDefinition& field = definition.fields[part.field];
      layout.columns.push_back(KeyColumn{field.type, field.offset, field.size, part.descending});
    }
    layouts.push_back(std::move(layout));
  }
  return layouts;
}

std::unique_ptr<TableKeys> KeysOf(const KeyTable& table) {
  return std::make_unique<TableKeys>(table.file, NumberValue(table.number),
                                     table.definition->record_length,
                                     KeyLayoutsOf(*table.definition),
                                     KeyStrings{table.tables, table.oem});
}

namespace {

// The table's own keys, or a view made for this call alone.
class KeysFor {
 public:
  explicit KeysFor(const KeyTable& table)
      : made_(table.keys != nullptr ? nullptr : KeysOf(table)),
        keys_(table.keys != nullptr ? table.keys : made_.get()) {}
  TableKeys* operator->() const { return keys_; }

 private:
  std::unique_ptr<TableKeys> made_;
  TableKeys* keys_;
};

}  // namespace

TableKeyMaintainer& TableKeyMaintainer::Instance() {
  static TableKeyMaintainer maintainer;
  return maintainer;
}

Status TableKeyMaintainer::AddEntries(const KeyTable& table, uint32_t record,
                                      std::span<const uint8_t> buffer, bool maintain) {
  return KeysFor(table)->Update(buffer, {}, record, !maintain);
}

Status TableKeyMaintainer::UpdateEntries(const KeyTable& table, uint32_t record,
                                         std::span<const uint8_t> old_buffer,
                                         std::span<const uint8_t> new_buffer) {
  return KeysFor(table)->Update(new_buffer, old_buffer, record, false);
}

void TableKeyMaintainer::DeleteEntries(const KeyTable& table, uint32_t record,
                                       std::span<const uint8_t> buffer) {
  // The data record is already gone, so the entries go with it even where
  // another key cannot be updated (a table removed by another process).
  (void)KeysFor(table)->RemoveEntries(buffer, record);
}

}  // namespace tessera
