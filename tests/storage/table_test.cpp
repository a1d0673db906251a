// Tables: names, record kinds and their keys, record numbers, create over an
// existing table, memo and blob pieces, change with watch, OEM strings, the
// key-maintenance calls, and the errors of open, fetch, change and delete.
#include "storage/table.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/storage/support/table_fixture.h"

namespace tessera {
namespace {

using testing::Hex;
using testing::ItemsDeclaration;
using testing::RawMap;
using testing::TableFixture;

template <size_t N>
std::vector<uint8_t> V(const std::array<uint8_t, N>& key) {
  return {key.begin(), key.end()};
}

uint32_t GetBigEndian32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

class TableTest : public TableFixture {
 protected:
  std::string file = Path("ITEMS.TSR");

  void CreateItems(Table& t, TableDeclaration d = ItemsDeclaration()) {
    Status s = t.Create(Path("ITEMS"), d);
    ASSERT_TRUE(s.ok()) << s.ToString();
  }
};

TEST(TableNameTest, Splitting) {
  testing::ScratchDir dir;
  const std::string d = dir.File("d");
  std::filesystem::create_directory(d);
  struct Case {
    std::string name, file, table;
    bool has_table;
  } cases[] = {
      {"ITEMS", "ITEMS.TSR", "UNNAMED", false},
      {"data/items.dat", "data/items.dat", "UNNAMED", false},
      {"dir.v2/ITEMS\\!list", "dir.v2/ITEMS.TSR", "list", true},
      {"F\\!a\\!b", "F.TSR", "a\\!b", true},
      {"F\\!", "F.TSR", "UNNAMED", true},
      // A separator right after the name of a directory is passed over.
      {d + "\\!t", d + "\\!t.TSR", "UNNAMED", false},
      {d + "\\!t\\!u", d + "\\!t.TSR", "u", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const TableName n = SplitTableName(c.name, Env::Default());
    EXPECT_EQ(n.file, c.file);
    EXPECT_EQ(n.table, c.table);
    EXPECT_EQ(n.has_table_part, c.has_table);
  }
  EXPECT_EQ((TableName{"F.TSR", "UNNAMED", false}).full(), "F.TSR");
  EXPECT_EQ((TableName{"F.TSR", "x", true}).full(), "F.TSR\\!x");
}

TEST_F(TableTest, FirstTableAndItsRecordKeys) {
  {
    Table t(services);
    CreateItems(t);
    EXPECT_EQ(t.number(), 1u);
    EXPECT_EQ(t.name(), file);
    ASSERT_TRUE(t.Add(Item("Groceries", "Milk")).ok());
    EXPECT_EQ(t.current(), 2u);
    ASSERT_TRUE(t.Close().ok());
  }
  const RawMap raw = Raw(file);
  const std::vector<uint8_t> name_key = Hex({0xFE, 'U', 'N', 'N', 'A', 'M', 'E', 'D'});
  ASSERT_TRUE(raw.count(name_key));
  EXPECT_EQ(raw.at(name_key), Hex({0, 0, 0, 1}));
  const auto data_key = Hex({0, 0, 0, 1, 0xF3, 0, 0, 0, 2});
  ASSERT_TRUE(raw.count(data_key));
  EXPECT_EQ(raw.at(data_key), Item("Groceries", "Milk"));
  const auto counter_key = Hex({0, 0, 0, 1, 0xF6, 0xF3});
  ASSERT_TRUE(raw.count(counter_key));
  EXPECT_EQ(raw.at(counter_key), Hex({1, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_TRUE(raw.count(Hex({0, 0, 0, 1, 0xF6, 0})));  // the key's counter
  EXPECT_TRUE(raw.count(Hex({0, 0, 0, 1, 0xFA, 0, 0})));
  const auto collation_key = Hex({0, 0, 0, 1, 0xFB, 1});
  ASSERT_TRUE(raw.count(collation_key));
  EXPECT_EQ(raw.at(collation_key).size(), kCollationRecordSize);
  // The definition blocks hold the stream of the declaration.
  TableDefinition def;
  ASSERT_TRUE(Describe(ItemsDeclaration(), &def, nullptr).ok());
  EXPECT_EQ(raw.at(Hex({0, 0, 0, 1, 0xFA, 0, 0})), EncodeDefinition(def));
}

TEST_F(TableTest, RecordNumbersAreNeverReused) {
  Table t(services);
  CreateItems(t);
  std::vector<uint32_t> numbers;
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(t.Add(Item("L", "item " + std::to_string(i))).ok());
    numbers.push_back(t.current());
  }
  EXPECT_EQ(numbers, (std::vector<uint32_t>{2, 3, 4}));
  std::vector<uint8_t> buffer(128);
  ASSERT_TRUE(t.Fetch(4, buffer).ok());
  ASSERT_TRUE(t.Delete().ok());
  EXPECT_EQ(t.Fetch(4, buffer).code(), err::kRecordNotFound);
  ASSERT_TRUE(t.Add(Item("L", "again")).ok());
  EXPECT_EQ(t.current(), 5u);
  int32_t count = 0;
  ASSERT_TRUE(t.Records(kDataCounterIndex, &count).ok());
  EXPECT_EQ(count, 3);
  ASSERT_TRUE(t.Close().ok());
}

TEST_F(TableTest, ItemsTableSurvivesReopenWithAndWithoutDeclaration) {
  TableDeclaration items = ItemsDeclaration();
  {
    Table t(services);
    CreateItems(t, items);
    for (int i = 0; i < 50; ++i) {
      ASSERT_TRUE(t.Add(Item("List " + std::to_string(i % 7), "Item " + std::to_string(i),
                             i % 100))
                      .ok());
    }
    ASSERT_TRUE(t.Close().ok());
  }
  {
    Table t(services);
    DefinitionReport report;
    Status s = t.Open(Path("ITEMS"), &items, {}, &report);
    ASSERT_TRUE(s.ok()) << s.ToString() << " " << report.code_text;
    std::vector<uint8_t> buffer(128);
    for (uint32_t n = 2; n < 52; ++n) {
      ASSERT_TRUE(t.Fetch(n, buffer).ok());
      const int i = static_cast<int>(n) - 2;
      ASSERT_EQ(buffer, Item("List " + std::to_string(i % 7), "Item " + std::to_string(i),
                             i % 100));
    }
    int32_t count = 0;
    ASSERT_TRUE(t.Records(kDataCounterIndex, &count).ok());
    EXPECT_EQ(count, 50);
    ASSERT_TRUE(t.Close().ok());
  }
  Table t(services);
  ASSERT_TRUE(t.Open(Path("ITEMS"), nullptr).ok());
  TableDefinition described;
  ASSERT_TRUE(Describe(items, &described, nullptr).ok());
  EXPECT_EQ(t.definition(), described);
  EXPECT_EQ(t.record_length(), 128u);
}

TEST_F(TableTest, CreateOverAnExistingTableReplacesIt) {
  Table t(services);
  CreateItems(t);
  ASSERT_TRUE(t.Add(Item("L", "old")).ok());
  const uint32_t first = t.number();
  ASSERT_TRUE(t.Close().ok());
  CreateItems(t);
  EXPECT_GT(t.number(), first);
  std::vector<uint8_t> buffer(128);
  EXPECT_EQ(t.Fetch(2, buffer).code(), err::kRecordNotFound);
  int32_t count = -1;
  ASSERT_TRUE(t.Records(kDataCounterIndex, &count).ok());
  EXPECT_EQ(count, 0);
  ASSERT_TRUE(t.Close().ok());
  const RawMap raw = Raw(file);
  EXPECT_TRUE(OfKind(raw, first, kDataKind).empty());
  EXPECT_TRUE(OfKind(raw, first, kDefinitionKind).empty());
}

TableDeclaration WithMemos() {
  TableDeclaration d = ItemsDeclaration();
  MemoDescription notes;
  notes.label = "ITE:NOTES";
  notes.size = 1000;
  MemoDescription picture;
  picture.label = "ITE:PICTURE";
  picture.flags = kMemoBlob | kMemoBinary;
  d.memos = {notes, picture};
  return d;
}

TEST_F(TableTest, MemoAndBlobPieces) {
  struct Case {
    const char* name;
    size_t memo_text;  // non-space characters at the start of the memo
    size_t blob;
    std::vector<size_t> memo_pieces, blob_pieces;
  } cases[] = {
      {"AllSpaces", 0, 0, {}, {}},
      {"Memo300", 300, 0, {256, 44}, {}},
      {"Blob10240", 0, 10240, {}, {10244}},
      {"Blob10241", 5, 10241, {5}, {10244, 1}},
  };
  Table t(services);
  CreateItems(t, WithMemos());
  std::vector<uint32_t> numbers;
  for (const Case& c : cases) {
    std::fill(t.memo(0).begin(), t.memo(0).end(), ' ');
    for (size_t i = 0; i < c.memo_text; ++i) t.memo(0)[i] = static_cast<uint8_t>('a' + i % 26);
    t.memo(1).resize(c.blob);
    for (size_t i = 0; i < c.blob; ++i) t.memo(1)[i] = static_cast<uint8_t>(i * 7);
    ASSERT_TRUE(t.Add(Item("L", c.name)).ok());
    numbers.push_back(t.current());
  }
  // Read back through a second table object: contents are whole again.
  std::vector<uint8_t> buffer(128);
  for (size_t k = 0; k < std::size(cases); ++k) {
    SCOPED_TRACE(cases[k].name);
    t.memo(0).assign(1000, 'x');
    t.memo(1).assign(3, 'x');
    ASSERT_TRUE(t.Fetch(numbers[k], buffer).ok());
    ASSERT_EQ(t.memo(0).size(), 1000u);
    for (size_t i = 0; i < 1000; ++i) {
      ASSERT_EQ(t.memo(0)[i], i < cases[k].memo_text ? 'a' + i % 26 : ' ');
    }
    ASSERT_EQ(t.memo(1).size(), cases[k].blob);
    for (size_t i = 0; i < cases[k].blob; ++i) ASSERT_EQ(t.memo(1)[i], uint8_t(i * 7));
  }
  ASSERT_TRUE(t.Close().ok());

  const RawMap pieces = OfKind(Raw(file), 1, kMemoKind);
  for (size_t k = 0; k < std::size(cases); ++k) {
    SCOPED_TRACE(cases[k].name);
    std::vector<size_t> memo, blob;
    for (const auto& [key, data] : pieces) {
      ASSERT_EQ(key.size(), 12u);
      if (GetBigEndian32(key.data() + 5) != numbers[k]) continue;
      const size_t piece = key[10] * 256u + key[11];
      std::vector<size_t>& list = key[9] == 0 ? memo : blob;
      ASSERT_EQ(piece, list.size());  // numbered 0, 1, ... in key order
      list.push_back(data.size());
    }
    EXPECT_EQ(memo, cases[k].memo_pieces);
    EXPECT_EQ(blob, cases[k].blob_pieces);
  }
}

TEST_F(TableTest, ChangeRewritesOnlyWhatDiffers) {
  Table t(services);
  CreateItems(t, WithMemos());
  std::fill(t.memo(0).begin(), t.memo(0).begin() + 600, 'a');
  ASSERT_TRUE(t.Add(Item("L", "one")).ok());
  const uint32_t n = t.current();
  std::vector<uint8_t> buffer(128);
  ASSERT_TRUE(t.Fetch(n, buffer).ok());
  // Shorten the memo to one and a half pieces and change the second piece.
  std::fill(t.memo(0).begin() + 384, t.memo(0).end(), ' ');
  t.memo(0)[300] = 'b';
  ASSERT_TRUE(t.Change(buffer).ok());
  ASSERT_TRUE(t.Close().ok());
  const RawMap raw = Raw(file);
  const RawMap pieces = OfKind(raw, 1, kMemoKind);
  ASSERT_EQ(pieces.size(), 2u);
  std::vector<uint8_t> second(128, 'a');
  second[300 - 256] = 'b';
  EXPECT_EQ(pieces.at(V(MemoPieceKey(NumberBytes(1), n, 0, 1))), second);
  EXPECT_EQ(raw.at(V(DataRecordKey(NumberBytes(1), n))), Item("L", "one"));
}

TEST_F(TableTest, WatchedChangeSeesAnotherWriter) {
  Table a(services), b(services);
  CreateItems(a, WithMemos());
  ASSERT_TRUE(a.Add(Item("L", "one")).ok());
  const uint32_t n = a.current();
  ASSERT_TRUE(b.Open(Path("ITEMS"), nullptr).ok());
  std::vector<uint8_t> ra(128), rb(128);

  // The record itself changed.
  ASSERT_TRUE(a.Fetch(n, ra, /*watch=*/true).ok());
  ASSERT_TRUE(b.Fetch(n, rb).ok());
  rb[0] = 'M';
  ASSERT_TRUE(b.Change(rb).ok());
  ra[1] = 'X';
  EXPECT_EQ(a.Change(ra).code(), err::kRecordChanged);
  // Read again, the change goes through; a change without watch never checks.
  ASSERT_TRUE(a.Fetch(n, ra, true).ok());
  ASSERT_TRUE(a.Change(ra).ok());

  // Only a memo changed.
  ASSERT_TRUE(a.Fetch(n, ra, true).ok());
  ASSERT_TRUE(b.Fetch(n, rb).ok());
  b.memo(0)[0] = 'z';
  ASSERT_TRUE(b.Change(rb).ok());
  EXPECT_EQ(a.Change(ra).code(), err::kRecordChanged);
  ASSERT_TRUE(b.Close().ok());
  ASSERT_TRUE(a.Close().ok());
}

TEST_F(TableTest, RecordErrors) {
  Table t(services);
  std::vector<uint8_t> buffer(128);
  EXPECT_EQ(t.Open(Path("ITEMS"), nullptr).code(), err::kFileNotFound);
  EXPECT_FALSE(std::filesystem::exists(file));
  CreateItems(t);
  EXPECT_EQ(t.Change(Item("L", "x")).code(), err::kRecordNotAvailable);
  EXPECT_EQ(t.Delete().code(), err::kRecordNotAvailable);
  EXPECT_EQ(t.Fetch(77, buffer).code(), err::kRecordNotFound);
  ASSERT_TRUE(t.Add(Item("L", "x")).ok());
  ASSERT_TRUE(t.Delete().ok());
  EXPECT_EQ(t.Delete().code(), err::kRecordNotAvailable);  // no current record now
  EXPECT_EQ(t.Add(std::vector<uint8_t>(127)).code(), err::kInvalidRecordDeclaration);
  ASSERT_TRUE(t.Close().ok());
  EXPECT_EQ(t.Add(Item("L", "x")).code(), 37);
  Table other(services);
  EXPECT_EQ(other.Open(Path("ITEMS\\!other"), nullptr).code(), err::kFileNotFound);
}

TEST_F(TableTest, DeclaredOpenChecksTheStoredDefinition) {
  TableDeclaration stored = ItemsDeclaration();
  stored.keys[0].attributes &= ~kKeyNoCase;
  Table t(services);
  CreateItems(t, stored);
  ASSERT_TRUE(t.Close().ok());
  TableDeclaration declared = ItemsDeclaration();
  DefinitionReport report;
  EXPECT_EQ(t.Open(Path("ITEMS"), &declared, {}, &report).code(),
            err::kInvalidRecordDeclaration);
  EXPECT_EQ(report.code_text, "KEY : 1 : ATTRIBUTE : D00001");
  EXPECT_FALSE(t.is_open());
  EXPECT_EQ(registry.size(), 0u);  // the file went back
}

TEST_F(TableTest, DamagedDefinitionIsRefused) {
  Table t(services);
  CreateItems(t);
  ASSERT_TRUE(t.Close().ok());
  {
    TsrFile f;
    ASSERT_TRUE(f.Open(file, mode::kReadWrite | mode::kDenyAll).ok());
    ASSERT_TRUE(f.BeginWriteIntent().ok());
    RawRecords raw(&f);
    const auto key = DefinitionBlockKey(NumberBytes(1), 0);
    bool found = false;
    ASSERT_TRUE(raw.Delete(key, &found).ok());
    ASSERT_TRUE(found);
    std::vector<uint8_t> junk(512, 0xFF);
    ASSERT_TRUE(raw.Insert(key, junk).ok());
    ASSERT_TRUE(f.Close().ok());
  }
  EXPECT_EQ(t.Open(Path("ITEMS"), nullptr).code(), err::kInvalidDataFile);
  TableDeclaration items = ItemsDeclaration();
  EXPECT_NE(t.Open(Path("ITEMS"), &items).code(), 0);
  EXPECT_FALSE(t.is_open());
}

TEST_F(TableTest, OemTablesStoreStringsInTheOemCodePage) {
  TableDeclaration d = ItemsDeclaration();
  d.attributes |= kTableOem;
  d.record_size = 140;
  // A view over the item text: an overlay, never converted on its own.
  FieldDescription view;
  view.type = FieldType::kString;
  view.offset = 68;
  view.element_length = 4;
  view.label = "ITE:VIEW";
  d.fields.push_back(view);
  FieldDescription pstring;
  pstring.type = FieldType::kPString;
  pstring.offset = 128;
  pstring.element_length = 12;
  pstring.label = "ITE:P";
  d.fields.push_back(pstring);
  Table t(services);
  CreateItems(t, d);
  EXPECT_TRUE(t.oem());
  std::vector<uint8_t> record = Item("Caf\xE9", "cr\xE8me");
  record.resize(140, 0);
  record[128] = 2;  // PSTRING of two bytes; the rest is not text
  record[129] = 0xE9;
  record[130] = 0xE8;
  record[131] = 0xE9;
  ASSERT_TRUE(t.Add(record).ok());
  const uint32_t n = t.current();
  ASSERT_TRUE(t.Close().ok());

  const auto stored = Raw(file).at(V(DataRecordKey(NumberBytes(1), n)));
  std::vector<uint8_t> expected = record;
  for (size_t i : {3, 70, 71, 129, 130}) expected[i] = AnsiToOem(record[i]);
  EXPECT_EQ(stored, expected);

  // Reopened without a declaration the OEM flag comes from the collation
  // record, and the strings read back as they were given.
  ASSERT_TRUE(t.Open(Path("ITEMS"), nullptr).ok());
  EXPECT_TRUE(t.oem());
  std::vector<uint8_t> buffer(140);
  ASSERT_TRUE(t.Fetch(n, buffer).ok());
  EXPECT_EQ(buffer, record);
}

// Records the calls of the table layer.
class RecordingKeys : public KeyMaintainer {
 public:
  std::vector<std::string> calls;
  bool refuse_next_add = false;

  Status AddEntries(const KeyTable& table, uint32_t record, std::span<const uint8_t> buffer,
                    bool maintain) override {
    EXPECT_EQ(buffer.size(), table.definition->record_length);
    calls.push_back((maintain ? "add " : "append ") + std::to_string(record));
    if (refuse_next_add) {
      refuse_next_add = false;
      return Status::Error(err::kDuplicateKey, "Creates Duplicate Key");
    }
    return Status::OK();
  }
  Status UpdateEntries(const KeyTable&, uint32_t record, std::span<const uint8_t> old_buffer,
                       std::span<const uint8_t> new_buffer) override {
    EXPECT_FALSE(std::equal(old_buffer.begin(), old_buffer.end(), new_buffer.begin()));
    calls.push_back("update " + std::to_string(record));
    return Status::OK();
  }
  void DeleteEntries(const KeyTable&, uint32_t record, std::span<const uint8_t>) override {
    calls.push_back("delete " + std::to_string(record));
  }
  void DropTable(const KeyTable& table) override {
    calls.push_back("drop " + std::to_string(NumberValue(table.number)));
  }
};

TEST_F(TableTest, KeyMaintenanceCalls) {
  RecordingKeys keys;
  services.keys = &keys;
  Table t(services);
  CreateItems(t, WithMemos());
  ASSERT_TRUE(t.Add(Item("L", "one")).ok());
  ASSERT_TRUE(t.Append(Item("L", "two")).ok());
  keys.refuse_next_add = true;
  EXPECT_EQ(t.Add(Item("L", "dup")).code(), err::kDuplicateKey);
  std::vector<uint8_t> buffer(128);
  EXPECT_EQ(t.Fetch(4, buffer).code(), err::kRecordNotFound);  // no data record was written
  ASSERT_TRUE(t.Fetch(2, buffer).ok());
  t.memo(0)[0] = 'm';
  ASSERT_TRUE(t.Change(buffer).ok());  // memo only: keys untouched
  buffer[0] = 'K';
  ASSERT_TRUE(t.Change(buffer).ok());
  ASSERT_TRUE(t.Delete().ok());
  ASSERT_TRUE(t.Empty().ok());
  int32_t count = -1;
  ASSERT_TRUE(t.Records(kDataCounterIndex, &count).ok());
  EXPECT_EQ(count, 0);
  ASSERT_TRUE(t.Close().ok());
  EXPECT_EQ(keys.calls, (std::vector<std::string>{"add 2", "append 3", "add 4", "update 2",
                                                  "delete 2", "drop 1"}));
}

TEST_F(TableTest, AddToATableRemovedUnderneathIsRefused) {
  Table t(services);
  CreateItems(t);
  ASSERT_TRUE(t.Add(Item("L", "one")).ok());
  // Another process removed the table: simulated by deleting its counter.
  {
    RawRecords raw(t.file());
    ASSERT_TRUE(t.file()->BeginWriteIntent().ok());
    bool found = false;
    ASSERT_TRUE(raw.Delete(CounterKey(NumberBytes(1), kDataCounterIndex), &found).ok());
    ASSERT_TRUE(found);
    ASSERT_TRUE(t.file()->EndWriteIntent().ok());
  }
  EXPECT_EQ(t.Add(Item("L", "two")).code(), err::kAccessDenied);
  ASSERT_TRUE(t.Close().ok());
  const RawMap raw = Raw(file);
  EXPECT_TRUE(OfKind(raw, 1, kDataKind).empty());
  EXPECT_TRUE(OfKind(raw, 1, kDefinitionKind).empty());
}

}  // namespace
}  // namespace tessera
