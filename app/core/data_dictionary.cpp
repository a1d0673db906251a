#include "app/core/data_dictionary.h"

#include <bit>
#include <cctype>
#include <cmath>
#include <cstring>

namespace ravelin {
namespace {

using tessera::FieldDescription;
using tessera::FieldType;
using tessera::KeyComponent;
using tessera::KeyDescription;
using tessera::TableDeclaration;

constexpr uint16_t kKeyAttributes =
    tessera::kKeyDuplicates | tessera::kKeyOptional | tessera::kKeyNoCase;
constexpr uint8_t kTableAttributes = tessera::kTableCreate | tessera::kTablePerThread;

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

struct FieldSpec {
  const char* name;
  FieldType type;
  uint32_t length;
};

TableShape MakeShape(const char* label, const char* prefix, const char* message_name,
                     std::vector<FieldSpec> fields, const char* key_name,
                     std::vector<int> key_fields) {
  TableShape shape;
  shape.label = label;
  shape.prefix = prefix;
  shape.message_name = message_name;
  TableDeclaration& d = shape.declaration;
  d.name = Upper(std::string(label).substr(0, 8));
  d.attributes = kTableAttributes;
  uint32_t offset = 0;
  for (const FieldSpec& f : fields) {
    FieldDescription field;
    field.type = f.type;
    field.offset = offset;
    field.label = Upper(f.name);
    field.element_length = f.length;
    d.fields.push_back(field);
    shape.field_names.push_back(f.name);
    offset += f.length;
  }
  d.record_size = offset;
  KeyDescription key;
  key.label = Upper(key_name);
  key.attributes = kKeyAttributes;
  for (int index : key_fields) key.components.push_back(KeyComponent::Ascending(index));
  d.keys.push_back(key);
  shape.key_names.push_back(key_name);
  return shape;
}

const std::array<TableShape, kTableCount>& Shapes() {
  static const std::array<TableShape, kTableCount> shapes = {
      MakeShape("CheckLists", "CHE", "CheckLists",
                {{"CHE:CheckListName", FieldType::kString, 40}}, "CHE:ByName", {0}),
      MakeShape("Categories", "CAT", "Categories",
                {{"CAT:Category", FieldType::kString, 40}}, "CAT:ByCategory", {0}),
      MakeShape("items", "ITE", "items",
                {{"ITE:ChecklistName", FieldType::kString, 40},
                 {"ITE:SubCategory", FieldType::kString, 20},
                 {"ITE:Priority", FieldType::kReal, 8},
                 {"ITE:Item", FieldType::kString, 60}},
                "ITE:ByItem", {0, 1, 2, 3}),
  };
  return shapes;
}

}  // namespace

const TableShape& Shape(TableId table) { return Shapes()[static_cast<int>(table)]; }

const std::vector<RelationLink>& Relations() {
  static const std::vector<RelationLink> relations = {
      {TableId::kCheckLists, TableId::kItems, true, {{0, 0}}, 0,
       RelationRule::kCascade, RelationRule::kCascade},
      {TableId::kCheckLists, TableId::kCategories, true, {{0, 0}}, 0,
       RelationRule::kNone, RelationRule::kCascade},
      {TableId::kCategories, TableId::kCheckLists, false, {{0, 0}}, 0,
       RelationRule::kNone, RelationRule::kNone},
      {TableId::kItems, TableId::kCheckLists, false, {{0, 0}}, 0,
       RelationRule::kNone, RelationRule::kNone},
  };
  return relations;
}

const ManagerSettings& TableManagerSettings() {
  static const ManagerSettings settings;
  return settings;
}

// --- TableInstance ---------------------------------------------------------

TableInstance::TableInstance(TableId table)
    : id_(table),
      buffer_(Shape(table).declaration.record_size),
      declaration_(Shape(table).declaration) {
  declaration_.record = buffer_.data();
  Clear();
}

void TableInstance::Clear() {
  for (const auto& f : declaration_.fields) {
    const bool text = f.type == FieldType::kString;
    std::memset(buffer_.data() + f.offset, text ? ' ' : 0, f.size());
  }
}

const tessera::FieldDescription& TableInstance::Field(int field) const {
  return declaration_.fields.at(static_cast<size_t>(field));
}

std::string TableInstance::GetText(int field) const {
  const auto& f = Field(field);
  std::string text(reinterpret_cast<const char*>(buffer_.data() + f.offset), f.size());
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

void TableInstance::SetText(int field, std::string_view text) {
  const auto& f = Field(field);
  uint8_t* at = buffer_.data() + f.offset;
  std::memset(at, ' ', f.size());
  std::memcpy(at, text.data(), std::min<size_t>(text.size(), f.size()));
}

double TableInstance::GetReal(int field) const {
  const auto& f = Field(field);
  uint64_t bits = 0;
  for (int i = 7; i >= 0; --i) bits = (bits << 8) | buffer_[f.offset + i];
  return std::bit_cast<double>(bits);
}

void TableInstance::SetReal(int field, double value) {
  const auto& f = Field(field);
  uint64_t bits = std::bit_cast<uint64_t>(value);
  for (int i = 0; i < 8; ++i, bits >>= 8) buffer_[f.offset + i] = static_cast<uint8_t>(bits);
}

DictionaryInstance::DictionaryInstance() {
  for (int i = 0; i < kTableCount; ++i)
    tables_[i] = std::make_unique<TableInstance>(static_cast<TableId>(i));
}

// --- validation --------------------------------------------------------------

platform::Level ValidateItemsField(int field, bool report, const TableInstance& items,
                                   platform::ErrorManager& errors) {
  // The common checks of the window library (must-be-in-list and the like)
  // have nothing to check here: the dictionary declares none for items.
  if (field != items_field::kPriority) return platform::Level::kBenign;
  const double priority = items.GetReal(field - 1);
  // Written so that NaN fails too: it is no number between 0 and 99.
  if (priority >= 0.0 && priority <= 99.0) return platform::Level::kBenign;
  if (!report) return platform::Level::kNotify;
  platform::MessageArgs args;
  args.field = QStringLiteral("ITE:Priority");
  args.message = QStringLiteral("0 .. 99");
  const platform::Level answer = errors.Throw(18, args);
  return answer == platform::Level::kBenign ? platform::Level::kNotify : answer;
}

}  // namespace ravelin
