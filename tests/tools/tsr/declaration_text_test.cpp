// Declaration text: what `tsr create` reads, faults reported at their
// column, and the schema text reading back to the same definition.
#include "tools/tsr/declaration_text.h"

#include <gtest/gtest.h>

namespace tsr {
namespace {

using tessera::TableDeclaration;
using tessera::TableDefinition;

TableDefinition Described(const std::string& text) {
  TableDeclaration d;
  std::string error;
  EXPECT_TRUE(ParseDeclaration(text, &d, &error)) << error;
  d.attributes = tessera::kTableCreate;
  TableDefinition def;
  tessera::DefinitionReport report;
  tessera::Status s = tessera::Describe(d, &def, &report);
  EXPECT_TRUE(s.ok()) << s.ToString() << " " << report.code_text;
  return def;
}

TEST(DeclarationTextTest, ItemsDeclaration) {
  TableDeclaration d;
  std::string error;
  ASSERT_TRUE(ParseDeclaration(
      "ite:checklistname STRING(40), ITE:SUBCATEGORY STRING(20), ITE:PRIORITY REAL, "
      "ITE:ITEM STRING(60); KEY ITE:BYITEM DUP OPT NOCASE (ITE:CHECKLISTNAME, ITE:SUBCATEGORY, "
      "-ITE:PRIORITY, ITE:ITEM)",
      &d, &error))
      << error;
  ASSERT_EQ(d.fields.size(), 4u);
  EXPECT_EQ(d.fields[0].label, "ITE:CHECKLISTNAME");
  EXPECT_EQ(d.fields[2].offset, 60u);
  EXPECT_EQ(d.fields[3].offset, 68u);
  EXPECT_EQ(d.record_size, 128u);
  ASSERT_EQ(d.keys.size(), 1u);
  EXPECT_EQ(d.keys[0].attributes, tessera::kKeyDuplicates | tessera::kKeyOptional | tessera::kKeyNoCase);
  ASSERT_EQ(d.keys[0].components.size(), 4u);
  EXPECT_EQ(d.keys[0].components[1].index(), 1);
  EXPECT_TRUE(d.keys[0].components[2].descending());
}

TEST(DeclarationTextTest, FaultsAreReportedWithTheirColumn) {
  const struct {
    const char* text;
    const char* error;
  } cases[] = {
      {"", "column 1: the declaration is empty"},
      {"A:X STRING(", "column 12: expected the length at the end"},
      {"A:X STRING(0)", "column 12: the length must be from 1 to 15001"},
      {"A:X FLOAT", "column 5: unknown type FLOAT"},
      {"A:X LONG A:Y LONG", "column 10: expected ',' or ';' before 'A:Y'"},
      {"A:X LONG, A:X SHORT", "column 11: A:X is declared twice"},
      {"A:X LONG OVER(A:Z)", "column 15: A:Z is no earlier field"},
      {"A:X STRING(4); KEY K UNIQUE (A:X)", "column 22: expected a key attribute"},
      {"A:X STRING(4); KEY K (A:X, A:Q)", "column 28: key component A:Q is no field"},
      {"A:X STRING(4) PICTURE('@s4)", "column 23: text without its closing quote"},
      {"A:X STRING(4) # A:Y", "column 15: unexpected character '#'"},
      {"A:N MEMO(10)", "column 1: the declaration has no fields"},
      {"A:X STRING(10000), A:Y STRING(6000)", "column 20: the record would be longer than 15000"},
  };
  for (const auto& c : cases) {
    TableDeclaration d;
    std::string error;
    EXPECT_FALSE(ParseDeclaration(c.text, &d, &error)) << c.text;
    EXPECT_EQ(error.rfind(c.error, 0), 0u) << c.text << " -> " << error;
  }
}

// Every construct, formatted from the stored definition and read again,
// gives the same definition.
TEST(DeclarationTextTest, SchemaTextReadsBackToTheSameDefinition) {
  const TableDefinition def = Described(
      "T:CODE CSTRING(9) PICTURE('@s8'), T:NAME PSTRING(21), T:PARTS SHORT DIM(2,3), "
      "T:LOW USHORT OVER(T:PARTS), T:AMOUNT DECIMAL(9,2), T:WHEN DATE, T:AT TIME, T:B BYTE, "
      "T:L LONG, T:U ULONG, T:S SREAL, T:ADDR GROUP(2), T:STREET STRING(30), T:TOWN STRING(20); "
      "T:NOTES MEMO(500); T:PICTURE BLOB BINARY; "
      "KEY T:BYCODE PRIMARY (T:CODE); KEY T:BYAMOUNT DUP OPT (-T:AMOUNT, T:NAME); "
      "KEY T:TOWNS INDEX NOCASE (T:TOWN)");
  ASSERT_EQ(def.fields.size(), 14u);
  EXPECT_EQ(def.fields[11].size, 50u) << "a group spans its members";
  EXPECT_TRUE(def.fields[3].over);
  EXPECT_EQ(Described(FormatDefinition(def)), def) << FormatDefinition(def);
}

}  // namespace
}  // namespace tsr
