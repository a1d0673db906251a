// Record text: values to and from their text, CSV splitting, base64.
#include "tools/tsr/record_text.h"

#include <gtest/gtest.h>

#include "tools/tsr/declaration_text.h"

namespace tsr {
namespace {

tessera::TableDefinition Definition(const std::string& text) {
  tessera::TableDeclaration d;
  std::string error;
  EXPECT_TRUE(ParseDeclaration(text, &d, &error)) << error;
  d.attributes = tessera::kTableCreate;
  tessera::TableDefinition def;
  EXPECT_TRUE(tessera::Describe(d, &def, nullptr).ok());
  return def;
}

// Each value as written, as read back, or refused.
TEST(RecordTextTest, ValuesRoundTripOrAreRefused) {
  const auto def = Definition(
      "T:S STRING(5), T:C CSTRING(4), T:P PSTRING(4), T:B BYTE, T:SH SHORT, T:U ULONG, T:R REAL, "
      "T:F SREAL, T:D DECIMAL(5,2), T:X LONG DIM(2)");
  const auto columns = ColumnsOf(def);
  ASSERT_EQ(columns.size(), 11u);
  EXPECT_EQ(columns[10].name, "T:X[2]");
  const struct {
    size_t column;
    const char* in;
    const char* out;  // nullptr: refused
  } cases[] = {
      {0, "ab", "ab"},      {0, "abcdef", nullptr}, {1, "abc", "abc"},   {1, "abcd", nullptr},
      {2, "xyz", "xyz"},    {2, "wxyz", nullptr},   {3, "255", "255"},   {3, "256", nullptr},
      {4, "-32768", "-32768"}, {4, "1.5", nullptr}, {5, "4294967295", "4294967295"},
      {5, "-1", nullptr},   {6, "0.1", "0.1"},      {6, "-2.5e-300", "-2.5e-300"},
      {6, "12abc", nullptr}, {6, "", "0"},          {7, "0.1", "0.1"},   {8, "-123.45", "-123.45"},
      {8, "7", "7.00"},     {8, "0.005", nullptr},  {8, "1234", nullptr}, {8, "-0", "0.00"},
      {10, "-7", "-7"},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> record = BlankRecord(def);
    std::vector<std::vector<uint8_t>> memos;
    std::string error;
    const bool ok = SetColumn(def, columns[c.column], c.in, record, &memos, &error);
    EXPECT_EQ(ok, c.out != nullptr) << columns[c.column].name << " " << c.in << " " << error;
    if (ok && c.out) {
      EXPECT_EQ(ColumnText(def, columns[c.column], record, memos), c.out) << c.in;
    }
  }
}

TEST(RecordTextTest, CsvSplitting) {
  std::vector<CsvRow> rows;
  std::string error;
  ASSERT_TRUE(ParseCsv("a,\"b,\"\"c\"\"\"\r\n\"x\ny\",\n,z", &rows, &error)) << error;
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].values, (std::vector<std::string>{"a", "b,\"c\""}));
  EXPECT_EQ(rows[1].values, (std::vector<std::string>{"x\ny", ""}));
  EXPECT_EQ(rows[2].line, 4u);
  EXPECT_EQ(rows[2].values, (std::vector<std::string>{"", "z"}));
  EXPECT_EQ(CsvField("b,\"c\""), "\"b,\"\"c\"\"\"");

  for (const char* bad : {"a\n\"open", "a,\"x\"y", "a,b\"c"}) {
    rows.clear();
    EXPECT_FALSE(ParseCsv(bad, &rows, &error)) << bad;
    EXPECT_EQ(error.rfind("line ", 0), 0u) << error;
  }
}

TEST(RecordTextTest, Base64RoundTrip) {
  std::vector<uint8_t> bytes;
  for (int n = 0; n < 6; ++n) {
    EXPECT_EQ(FromBase64(Base64(bytes)), bytes);
    bytes.push_back(static_cast<uint8_t>(0xF0 + n));
  }
  EXPECT_EQ(Base64(std::vector<uint8_t>{'M', 'a'}), "TWE=");
  for (const char* bad : {"TWE", "T=E=", "TW!=", "===="}) EXPECT_FALSE(FromBase64(bad)) << bad;
}

}  // namespace
}  // namespace tsr
