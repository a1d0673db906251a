// The data dictionary: the program's three tables as the engine receives
// them, their relations and rules, the settings of their managers, and the
// one field-validation rule.
//
//   table       prefix  disk name   record  key (components)
//   CheckLists  CHE     "CHECKLIS"  40      CHE:ByName (CHE:CheckListName)
//   Categories  CAT     "CATEGORI"  40      CAT:ByCategory (CAT:Category)
//   items       ITE     "ITEMS"     128     ITE:ByItem (ITE:ChecklistName,
//                                             ITE:SubCategory, ITE:Priority,
//                                             ITE:Item)
//
// The disk name is the label cut to eight characters and upper-cased, with no
// directory and no extension: the file lies in the working directory and the
// engine adds ".TSR". Every table is declared create + per-thread and nothing
// else (no OEM translation, no owner, no driver options). Every key is
// duplicates + optional + case-insensitive, ascending, not primary; stored
// field and key names are the upper-case forms of the labels.
//
// items record: 0 ITE:ChecklistName STRING(40), 40 ITE:SubCategory
// STRING(20), 60 ITE:Priority REAL (8-byte IEEE double, little-endian),
// 68 ITE:Item STRING(60).
//
// Relations: CheckLists is the parent of items (linked by the checklist name,
// name change and delete cascade) and of Categories (name change leaves it
// alone, delete cascades). Categories and items name CheckLists as a plain
// many-to-one parent, so opening either opens CheckLists with it.
//
// Each window context has its own DictionaryInstance: its own record buffers
// and declarations (the tables are per-thread), created at context start and
// released at its end. The shapes below are shared and never change.
#pragma once

#include <QString>
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/error_manager.h"
#include "storage/declaration.h"

namespace ravelin {

enum class TableId { kCheckLists = 0, kCategories = 1, kItems = 2 };
inline constexpr int kTableCount = 3;

struct TableShape {
  std::string label;         // "CheckLists"
  std::string prefix;        // "CHE"
  std::string message_name;  // %File in messages: "CheckLists", "items"
  std::vector<std::string> field_names;  // program names, "ITE:Priority"
  std::vector<std::string> key_names;    // program names, "ITE:ByItem"
  // The declaration without a record buffer (record == nullptr).
  tessera::TableDeclaration declaration;
};

const TableShape& Shape(TableId table);

// Field numbers of the items record, counted from 1 as validation counts them.
namespace items_field {
inline constexpr int kChecklistName = 1;
inline constexpr int kSubCategory = 2;
inline constexpr int kPriority = 3;
inline constexpr int kItem = 4;
}  // namespace items_field

enum class RelationRule { kNone, kCascade };

// A relation as one table's relation manager registers it.
struct RelationLink {
  TableId table;             // the registering table
  TableId related;           // the other table
  bool related_is_child;     // true: `related` is a child of `table`
  std::vector<std::pair<int, int>> fields;  // (parent field, child field), 0-based
  int child_key;             // key index in the child
  RelationRule on_update;    // rules apply when `related` is a child
  RelationRule on_delete;
};

// The relations in registration order: for CheckLists first items, then
// Categories; then Categories' and items' links to their parent.
const std::vector<RelationLink>& Relations();

struct ManagerSettings {
  bool create = true;
  int lock_recovery = 10;
  uint32_t open_mode = 0x42;  // read and write, deny none
  bool transaction_framing = true;
  bool auto_number = false;
};
const ManagerSettings& TableManagerSettings();

// One context's instance of a table: its record buffer and the declaration
// pointing at it.
class TableInstance {
 public:
  explicit TableInstance(TableId table);
  TableInstance(const TableInstance&) = delete;
  TableInstance& operator=(const TableInstance&) = delete;

  TableId id() const { return id_; }
  const TableShape& shape() const { return Shape(id_); }
  tessera::TableDeclaration& declaration() { return declaration_; }
  uint8_t* record() { return buffer_.data(); }
  const uint8_t* record() const { return buffer_.data(); }
  void Clear();  // blank strings, zero numbers

  // Field access by 0-based field index.
  std::string GetText(int field) const;  // without trailing padding
  void SetText(int field, std::string_view text);  // cut or space padded
  double GetReal(int field) const;
  void SetReal(int field, double value);

 private:
  const tessera::FieldDescription& Field(int field) const;

  TableId id_;
  std::vector<uint8_t> buffer_;
  tessera::TableDeclaration declaration_;
};

// A context's set of the three tables (the thread's file and relation
// managers will hold them).
class DictionaryInstance {
 public:
  DictionaryInstance();
  TableInstance& table(TableId id) { return *tables_[static_cast<int>(id)]; }

 private:
  std::array<std::unique_ptr<TableInstance>, kTableCount> tables_;
};

// Validates field `field` (1..4) of the items record in `items`. Only the
// priority has a rule: it must lie in 0 .. 99, both ends included, fractions
// allowed. A value outside (or not a number) answers kNotify, after showing
// message 18 with ITE:Priority and "0 .. 99" when `report` is set; the
// message's answer is then the result, but never a passing one.
platform::Level ValidateItemsField(int field, bool report,
                                   const TableInstance& items,
                                   platform::ErrorManager& errors);

}  // namespace ravelin
