// The table catalogue: several tables in one file, listing, remove (with
// and without the OS file), copy and rename within and across files with the
// renumbering of records, key entries and counters.
#include "storage/table_catalogue.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "storage/record.h"
#include "storage/tree.h"
#include "tests/storage/support/table_fixture.h"

namespace tessera {
namespace {

using testing::ItemsDeclaration;
using testing::RawMap;
using testing::TableFixture;

uint32_t BE32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

// A key with duplicates over the first four bytes of the record: entry
// [T, 0, bytes, N] with no data. Enough to see entries travel with a copy.
class FirstBytesKey : public KeyMaintainer {
 public:
  Status AddEntries(const KeyTable& t, uint32_t record, std::span<const uint8_t> buffer,
                    bool maintain) override {
    if (!maintain) return Status::OK();
    return t.tree->Insert(std::make_unique<TsrRecord>(Entry(t, record, buffer),
                                                      std::span<const uint8_t>()));
  }
  Status UpdateEntries(const KeyTable& t, uint32_t record, std::span<const uint8_t> old_buffer,
                       std::span<const uint8_t> new_buffer) override {
    DeleteEntries(t, record, old_buffer);
    return AddEntries(t, record, new_buffer, true);
  }
  void DeleteEntries(const KeyTable& t, uint32_t record,
                     std::span<const uint8_t> buffer) override {
    if (TsrRecord* r = t.tree->Find(Entry(t, record, buffer))) t.tree->Delete(r);
  }
  void DropTable(const KeyTable&) override {}

 private:
  static std::vector<uint8_t> Entry(const KeyTable& t, uint32_t record,
                                    std::span<const uint8_t> buffer) {
    std::vector<uint8_t> key(t.number.begin(), t.number.end());
    key.push_back(0);
    key.insert(key.end(), buffer.begin(), buffer.begin() + 4);
    const TableNumber n = NumberBytes(record);
    key.insert(key.end(), n.begin(), n.end());
    return key;
  }
};

class TableCatalogueTest : public TableFixture {
 protected:
  FirstBytesKey keys;

  void SetUp() override { services.keys = &keys; }

  // Creates `name` with the items layout and a memo, adds `items` records.
  void Make(const std::string& name, const std::vector<std::string>& items) {
    TableDeclaration d = ItemsDeclaration();
    MemoDescription notes;
    notes.label = "ITE:NOTES";
    notes.size = 600;
    d.memos = {notes};
    Table t(services);
    ASSERT_TRUE(t.Create(name, d).ok());
    for (const std::string& item : items) {
      std::fill(t.memo(0).begin(), t.memo(0).end(), ' ');
      std::copy(item.begin(), item.end(), t.memo(0).begin() + 290);
      ASSERT_TRUE(t.Add(Item(item, item)).ok());
    }
    ASSERT_TRUE(t.Close().ok());
  }

  // The items of a table, in record-number order, checked against their
  // memos; and the table's number.
  std::vector<std::string> Items(const std::string& name, uint32_t* number = nullptr) {
    std::vector<std::string> out;
    Table t(services);
    Status s = t.Open(name, nullptr);
    EXPECT_TRUE(s.ok()) << s.ToString();
    if (!s.ok()) return out;
    if (number != nullptr) *number = t.number();
    std::vector<uint8_t> buffer(128);
    RawMap data = OfKind(Raw(t.split_name().file), t.number(), kDataKind);
    for (const auto& [key, bytes] : data) {
      EXPECT_TRUE(t.Fetch(BE32(key.data() + 5), buffer).ok());
      std::string item(buffer.begin(), buffer.begin() + 40);
      item.erase(item.find_last_not_of(' ') + 1);
      EXPECT_EQ(std::string(t.memo(0).begin() + 290, t.memo(0).begin() + 290 + item.size()),
                item);
      out.push_back(item);
    }
    int32_t count = -1;
    EXPECT_TRUE(t.Records(kDataCounterIndex, &count).ok());
    EXPECT_EQ(count, static_cast<int32_t>(out.size()));
    EXPECT_TRUE(t.Close().ok());
    return out;
  }

  std::vector<std::string> List(const std::string& file) {
    std::vector<std::string> names;
    Status s = TableCatalogue::List(services, file, &names);
    EXPECT_TRUE(s.ok()) << s.ToString();
    return names;
  }
};

TEST_F(TableCatalogueTest, SeveralTablesInOneFile) {
  const std::string f = Path("F");
  Make(f, {"a", "b"});
  Make(f + "\\!second", {"c"});
  EXPECT_EQ(List(f), (std::vector<std::string>{"UNNAMED", "second"}));
  EXPECT_EQ(Items(f), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(Items(f + "\\!second"), (std::vector<std::string>{"c"}));
  Table t(services);
  EXPECT_EQ(t.Open(f + "\\!third", nullptr).code(), err::kFileNotFound);
}

TEST_F(TableCatalogueTest, RemoveKeepsOtherTablesAndTheLastTakesTheFile) {
  const std::string f = Path("F");
  Make(f, {"a"});
  Make(f + "\\!second", {"c", "d"});
  ASSERT_TRUE(TableCatalogue::Remove(services, f).ok());
  EXPECT_EQ(List(f), (std::vector<std::string>{"second"}));
  EXPECT_EQ(Items(f + "\\!second"), (std::vector<std::string>{"c", "d"}));
  // Nothing of table 1 is left.
  EXPECT_TRUE(OfKind(Raw(Path("F.TSR")), 1, kDataKind).empty());
  EXPECT_TRUE(OfKind(Raw(Path("F.TSR")), 1, 0).empty());
  EXPECT_TRUE(std::filesystem::exists(Path("F.TSR")));
  ASSERT_TRUE(TableCatalogue::Remove(services, f + "\\!second").ok());
  EXPECT_FALSE(std::filesystem::exists(Path("F.TSR")));
  EXPECT_EQ(registry.size(), 0u);
  EXPECT_EQ(TableCatalogue::Remove(services, f + "\\!second").code(), err::kFileNotFound);
}

TEST_F(TableCatalogueTest, CopyIntoAnotherFileRenumbers) {
  const std::string src = Path("S");
  Make(src, {"a", "b", "c"});
  {
    Table t(services);  // delete one so the source numbers have a hole
    std::vector<uint8_t> buffer(128);
    ASSERT_TRUE(t.Open(src, nullptr).ok());
    ASSERT_TRUE(t.Fetch(3, buffer).ok());
    ASSERT_TRUE(t.Delete().ok());
    ASSERT_TRUE(t.Close().ok());
  }
  const std::string dst = Path("D");
  Make(dst, {"x", "y"});  // D has handed out 1..3 already
  ASSERT_TRUE(TableCatalogue::Copy(services, src, dst + "\\!copy").ok());

  uint32_t number = 0;
  EXPECT_EQ(Items(dst + "\\!copy", &number), (std::vector<std::string>{"a", "c"}));
  EXPECT_EQ(Items(src), (std::vector<std::string>{"a", "c"}));  // the source stays
  EXPECT_EQ(Items(dst), (std::vector<std::string>{"x", "y"}));
  EXPECT_EQ(number, 4u);
  // Record numbers moved up by B = 5: 2 -> 7, 4 -> 9, in data records, memo
  // pieces and key entries alike.
  const RawMap raw = Raw(Path("D.TSR"));
  std::vector<uint32_t> data, memo, entries;
  for (const auto& [k, d] : OfKind(raw, number, kDataKind)) data.push_back(BE32(k.data() + 5));
  for (const auto& [k, d] : OfKind(raw, number, kMemoKind)) memo.push_back(BE32(k.data() + 5));
  for (const auto& [k, d] : OfKind(raw, number, 0)) entries.push_back(BE32(k.data() + k.size() - 4));
  EXPECT_EQ(data, (std::vector<uint32_t>{7, 9}));
  EXPECT_EQ(memo, (std::vector<uint32_t>{7, 7, 9, 9}));  // two pieces each
  EXPECT_EQ(entries, (std::vector<uint32_t>{7, 9}));
  // The destination's counter went past the copied numbers.
  Table t(services);
  ASSERT_TRUE(t.Open(dst, nullptr).ok());
  ASSERT_TRUE(t.Add(Item("z", "z")).ok());
  EXPECT_EQ(t.current(), 10u);
  ASSERT_TRUE(t.Close().ok());

  // Copying again replaces the destination table.
  ASSERT_TRUE(TableCatalogue::Copy(services, src, dst + "\\!copy").ok());
  uint32_t again = 0;
  EXPECT_EQ(Items(dst + "\\!copy", &again), (std::vector<std::string>{"a", "c"}));
  EXPECT_GT(again, number);
  EXPECT_TRUE(OfKind(Raw(Path("D.TSR")), number, kDataKind).empty());
}

TEST_F(TableCatalogueTest, RenameWithinAFileKeepsTheNumber) {
  const std::string f = Path("F");
  Make(f + "\\!old", {"a", "b"});
  Make(f + "\\!other", {"c"});
  ASSERT_EQ(TableCatalogue::Rename(services, f + "\\!old", f + "\\!other").code(),
            err::kAccessDenied);
  EXPECT_EQ(List(f), (std::vector<std::string>{"old", "other"}));  // nothing changed
  ASSERT_TRUE(TableCatalogue::Rename(services, f + "\\!old", f + "\\!new").ok());
  EXPECT_EQ(List(f), (std::vector<std::string>{"new", "other"}));
  uint32_t number = 0;
  EXPECT_EQ(Items(f + "\\!new", &number), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(number, 1u);
}

TEST_F(TableCatalogueTest, RenameIntoAnotherFileMovesEverything) {
  Make(Path("S\\!t"), {"a", "b"});
  Make(Path("S\\!u"), {"c"});
  ASSERT_TRUE(TableCatalogue::Rename(services, Path("S\\!t"), Path("D\\!t")).ok());
  EXPECT_EQ(List(Path("S")), (std::vector<std::string>{"u"}));
  EXPECT_TRUE(OfKind(Raw(Path("S.TSR")), 1, kDataKind).empty());
  EXPECT_TRUE(OfKind(Raw(Path("S.TSR")), 1, kMemoKind).empty());
  EXPECT_EQ(Items(Path("D\\!t")), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(Items(Path("S\\!u")), (std::vector<std::string>{"c"}));
}

TEST_F(TableCatalogueTest, WholeFileCopyAndRename) {
  Make(Path("A"), {"a"});
  ASSERT_TRUE(TableCatalogue::Copy(services, Path("A"), Path("B")).ok());
  EXPECT_EQ(Items(Path("B")), (std::vector<std::string>{"a"}));
  ASSERT_TRUE(TableCatalogue::Rename(services, Path("B"), Path("C.TSR")).ok());
  EXPECT_FALSE(std::filesystem::exists(Path("B.TSR")));
  EXPECT_EQ(Items(Path("C")), (std::vector<std::string>{"a"}));
}

}  // namespace
}  // namespace tessera
