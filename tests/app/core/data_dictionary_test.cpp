#include "app/core/data_dictionary.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "support/recording_presenter.h"

namespace ravelin {
namespace {

using tessera::FieldType;

struct FieldExpect {
  uint32_t offset;
  const char* stored;
  FieldType type;
  uint32_t size;
};

struct TableExpect {
  TableId id;
  const char* name;
  const char* message_name;
  size_t record_size;
  std::vector<FieldExpect> fields;
  const char* key;
  std::vector<int> key_fields;
};

TEST(DataDictionary, DeclarationsAsTheEngineReceivesThem) {
  const TableExpect tables[] = {
      {TableId::kCheckLists, "CHECKLIS", "CheckLists", 40,
       {{0, "CHE:CHECKLISTNAME", FieldType::kString, 40}}, "CHE:BYNAME", {0}},
      {TableId::kCategories, "CATEGORI", "Categories", 40,
       {{0, "CAT:CATEGORY", FieldType::kString, 40}}, "CAT:BYCATEGORY", {0}},
      {TableId::kItems, "ITEMS", "items", 128,
       {{0, "ITE:CHECKLISTNAME", FieldType::kString, 40},
        {40, "ITE:SUBCATEGORY", FieldType::kString, 20},
        {60, "ITE:PRIORITY", FieldType::kReal, 8},
        {68, "ITE:ITEM", FieldType::kString, 60}},
       "ITE:BYITEM", {0, 1, 2, 3}},
  };
  for (const TableExpect& t : tables) {
    SCOPED_TRACE(t.name);
    const TableShape& shape = Shape(t.id);
    const tessera::TableDeclaration& d = shape.declaration;
    EXPECT_EQ(d.name, t.name);
    EXPECT_EQ(shape.message_name, t.message_name);
    EXPECT_EQ(d.record_size, t.record_size);
    EXPECT_EQ(d.attributes, tessera::kTableCreate | tessera::kTablePerThread);
    EXPECT_EQ(d.attributes, 0x14);
    EXPECT_TRUE(d.owner.empty());
    EXPECT_TRUE(d.driver.empty());
    EXPECT_TRUE(d.memos.empty());
    ASSERT_EQ(d.fields.size(), t.fields.size());
    uint32_t end = 0;
    for (size_t i = 0; i < t.fields.size(); ++i) {
      const tessera::FieldDescription& f = d.fields[i];
      EXPECT_EQ(f.offset, t.fields[i].offset);
      EXPECT_EQ(f.offset, end);  // no gaps, no overlays
      EXPECT_EQ(f.stored_name(), t.fields[i].stored);
      EXPECT_EQ(f.type, t.fields[i].type);
      EXPECT_EQ(f.size(), t.fields[i].size);
      EXPECT_EQ(f.element_count, 1u);
      EXPECT_EQ(QString::fromStdString(shape.field_names[i]).toUpper().toStdString(),
                f.stored_name());
      end += f.size();
    }
    EXPECT_EQ(end, d.record_size);
    ASSERT_EQ(d.keys.size(), 1u);
    const tessera::KeyDescription& key = d.keys[0];
    EXPECT_EQ(key.stored_name(), t.key);
    EXPECT_EQ(key.attributes, 0x07);  // duplicates, optional, case-insensitive
    ASSERT_EQ(key.components.size(), t.key_fields.size());
    for (size_t i = 0; i < t.key_fields.size(); ++i) {
      EXPECT_EQ(key.components[i].index(), t.key_fields[i]);
      EXPECT_FALSE(key.components[i].descending());
    }
  }
  EXPECT_EQ(Shape(TableId::kItems).field_names[2], "ITE:Priority");
}

TEST(DataDictionary, KeyComponentsUseTheDeclarationNumbering) {
  EXPECT_EQ(tessera::KeyComponent::Ascending(0).field, 1);
  EXPECT_EQ(tessera::KeyComponent::Descending(0).field, -1);
  EXPECT_EQ(tessera::KeyComponent::Descending(3).index(), 3);
  EXPECT_TRUE(tessera::KeyComponent::Descending(3).descending());
}

TEST(DataDictionary, RelationsAndManagerSettings) {
  const auto& r = Relations();
  ASSERT_EQ(r.size(), 4u);
  // CheckLists registers items first, then Categories.
  EXPECT_EQ(r[0].table, TableId::kCheckLists);
  EXPECT_EQ(r[0].related, TableId::kItems);
  EXPECT_TRUE(r[0].related_is_child);
  EXPECT_EQ(r[0].on_update, RelationRule::kCascade);
  EXPECT_EQ(r[0].on_delete, RelationRule::kCascade);
  EXPECT_EQ(r[1].related, TableId::kCategories);
  EXPECT_EQ(r[1].on_update, RelationRule::kNone);
  EXPECT_EQ(r[1].on_delete, RelationRule::kCascade);
  for (int i : {2, 3}) {
    EXPECT_EQ(r[i].related, TableId::kCheckLists);
    EXPECT_FALSE(r[i].related_is_child);
  }
  EXPECT_EQ(r[2].table, TableId::kCategories);
  EXPECT_EQ(r[3].table, TableId::kItems);

  const ManagerSettings& m = TableManagerSettings();
  EXPECT_TRUE(m.create);
  EXPECT_EQ(m.lock_recovery, 10);
  EXPECT_EQ(m.open_mode, 0x42u);
  EXPECT_TRUE(m.transaction_framing);
  EXPECT_FALSE(m.auto_number);
}

TEST(TableInstance, RecordImageAndPerContextBuffers) {
  DictionaryInstance one, two;
  TableInstance& items = one.table(TableId::kItems);
  EXPECT_EQ(items.declaration().record, items.record());
  EXPECT_NE(items.record(), two.table(TableId::kItems).record());

  items.SetText(0, "Camping");
  items.SetText(3, std::string(70, 'x'));  // longer than the field: cut
  items.SetReal(2, 1.0);
  EXPECT_EQ(items.GetText(0), "Camping");
  EXPECT_EQ(items.GetText(3), std::string(60, 'x'));
  EXPECT_EQ(items.record()[7], ' ');  // padded with spaces
  const uint8_t one_le[8] = {0, 0, 0, 0, 0, 0, 0xF0, 0x3F};  // 1.0, little-endian
  EXPECT_EQ(std::memcmp(items.record() + 60, one_le, 8), 0);
  EXPECT_EQ(items.GetReal(2), 1.0);
  EXPECT_EQ(two.table(TableId::kItems).GetText(0), "");
}

TEST(PriorityValidation, ZeroToNinetyNineInclusive) {
  auto log = std::make_shared<testing_support::PresenterLog>();
  platform::ErrorManager errors(std::make_unique<testing_support::RecordingPresenter>(log));
  DictionaryInstance dictionary;
  TableInstance& items = dictionary.table(TableId::kItems);
  const struct {
    double priority;
    bool passes;
  } cases[] = {
      {0, true},     {99, true},  {42.5, true}, {0.01, true}, {98.999, true},
      {99.5, false}, {-1, false}, {100, false}, {-0.001, false},
      {std::numeric_limits<double>::quiet_NaN(), false},
      {std::numeric_limits<double>::infinity(), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.priority);
    log->shown.clear();
    items.SetReal(items_field::kPriority - 1, c.priority);
    const platform::Level level =
        ValidateItemsField(items_field::kPriority, true, items, errors);
    if (c.passes) {
      EXPECT_EQ(level, platform::Level::kBenign);
      EXPECT_TRUE(log->shown.empty());
    } else {
      EXPECT_EQ(level, platform::Level::kNotify);
      ASSERT_EQ(log->shown.size(), 1u);
      EXPECT_EQ(log->shown[0].number, 18);
      EXPECT_EQ(log->shown[0].title, "Range Error");
      EXPECT_EQ(log->shown[0].text, "The value of ITE:Priority must be in range 0 .. 99.");
      EXPECT_EQ(log->shown[0].buttons, unsigned(platform::kButtonOk));
    }
  }

  // Unreported: the same answer, no message. Other fields have no rule.
  log->shown.clear();
  items.SetReal(items_field::kPriority - 1, 99.5);
  EXPECT_EQ(ValidateItemsField(items_field::kPriority, false, items, errors),
            platform::Level::kNotify);
  for (int field : {items_field::kChecklistName, items_field::kSubCategory, items_field::kItem})
    EXPECT_EQ(ValidateItemsField(field, true, items, errors), platform::Level::kBenign);
  EXPECT_TRUE(log->shown.empty());
}

}  // namespace
}  // namespace ravelin
