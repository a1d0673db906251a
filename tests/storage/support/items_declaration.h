// The program's `items` table as the data dictionary declares it, for tests
// of the engine that want a real-world table: four fields in 128 bytes and a
// duplicate, optional, case-insensitive key over all four.
#pragma once

#include "storage/declaration.h"

namespace tessera::testing {

// Appends a one-element field to a declaration.
inline void AddField(TableDeclaration* d, const char* label, FieldType type, uint32_t offset,
                     uint32_t length) {
  FieldDescription f;
  f.type = type;
  f.offset = offset;
  f.label = label;
  f.element_length = length;
  d->fields.push_back(f);
}

inline TableDeclaration ItemsDeclaration(std::string name = "ITEMS") {
  TableDeclaration d;
  d.name = std::move(name);
  d.attributes = kTableCreate | kTablePerThread;
  d.record_size = 128;
  auto field = [&](const char* label, FieldType type, uint32_t offset, uint32_t length) {
    AddField(&d, label, type, offset, length);
  };
  field("ITE:CHECKLISTNAME", FieldType::kString, 0, 40);
  field("ITE:SUBCATEGORY", FieldType::kString, 40, 20);
  field("ITE:PRIORITY", FieldType::kReal, 60, 8);
  field("ITE:ITEM", FieldType::kString, 68, 60);
  KeyDescription key;
  key.label = "ITE:BYITEM";
  key.attributes = kKeyDuplicates | kKeyOptional | kKeyNoCase;
  for (int i = 0; i < 4; ++i) key.components.push_back(KeyComponent::Ascending(i));
  d.keys.push_back(key);
  return d;
}

}  // namespace tessera::testing
