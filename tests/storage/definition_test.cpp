#include "storage/definition.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "tests/storage/support/items_declaration.h"

namespace tessera {
namespace {

using testing::ItemsDeclaration;

FieldDescription Field(FieldType type, uint32_t offset, uint32_t length, std::string label,
                       uint32_t count = 1) {
  FieldDescription f;
  f.type = type;
  f.offset = offset;
  f.element_length = length;
  f.element_count = count;
  f.label = std::move(label);
  return f;
}

// A declaration of one table with the given fields laid out back to back.
TableDeclaration Laid(std::vector<std::pair<FieldType, uint32_t>> fields) {
  TableDeclaration d;
  d.attributes = kTableCreate;
  uint32_t offset = 0;
  for (size_t i = 0; i < fields.size(); ++i) {
    d.fields.push_back(Field(fields[i].first, offset, fields[i].second, "F" + std::to_string(i)));
    offset += fields[i].second;
  }
  d.record_size = offset;
  return d;
}

TableDefinition MustDescribe(const TableDeclaration& d) {
  TableDefinition def;
  DefinitionReport report;
  Status s = Describe(d, &def, &report);
  EXPECT_TRUE(s.ok()) << s.ToString();
  return def;
}

std::vector<std::vector<uint8_t>> Stored(const TableDeclaration& d) {
  return CutDefinitionBlocks(EncodeDefinition(MustDescribe(d)));
}

// --- Describe ----------------------------------------------------------------

TEST(DescribeTest, ItemsTableDescription) {
  const TableDefinition def = MustDescribe(ItemsDeclaration());
  EXPECT_EQ(def.record_length, 128u);
  ASSERT_EQ(def.fields.size(), 4u);
  EXPECT_EQ(def.fields[0].name, "ITE:CHECKLISTNAME");
  EXPECT_EQ(def.fields[2].type, static_cast<uint8_t>(FieldType::kReal));
  EXPECT_EQ(def.fields[2].size, 8u);
  EXPECT_EQ(def.fields[3].offset, 68u);
  EXPECT_EQ(def.fields[3].element_length, 60u);
  EXPECT_FALSE(def.fields[3].picture.has_value());
  ASSERT_EQ(def.keys.size(), 1u);
  EXPECT_EQ(def.keys[0].attributes,
            key_attr::kDuplicates | key_attr::kOptional | key_attr::kCaseInsensitive);
  EXPECT_EQ(def.keys[0].parts.size(), 4u);
  EXPECT_EQ(def.keys[0].parts[3].field, 3);
  EXPECT_EQ(def.version(), 1);
}

struct Refusal {
  const char* name;
  std::function<void(TableDeclaration*)> change;
  int code;
  const char* code_text;  // nullptr when the code has no report
  const char* text;
};

class DescribeRefusalTest : public ::testing::TestWithParam<Refusal> {};

TEST_P(DescribeRefusalTest, Reports) {
  TableDeclaration d = ItemsDeclaration();
  GetParam().change(&d);
  TableDefinition def;
  DefinitionReport report;
  Status s = Describe(d, &def, &report);
  EXPECT_EQ(s.code(), GetParam().code) << s.ToString();
  if (GetParam().code_text != nullptr) {
    EXPECT_EQ(report.code_text, GetParam().code_text);
    EXPECT_EQ(report.text, GetParam().text);
  }
}

MemoDescription Memo(uint32_t size, uint16_t flags = 0, std::string label = "M") {
  MemoDescription m;
  m.label = std::move(label);
  m.size = size;
  m.flags = flags;
  return m;
}

INSTANTIATE_TEST_SUITE_P(
    Declarations, DescribeRefusalTest,
    ::testing::Values(
        Refusal{"Gap", [](TableDeclaration* d) { d->fields[1].offset = 41; }, 75, nullptr,
                nullptr},
        Refusal{"OverlayInsideAField", [](TableDeclaration* d) { d->fields[2].offset = 50; },
                75, nullptr, nullptr},
        Refusal{"FieldBeyondRecord", [](TableDeclaration* d) { d->record_size = 100; }, 75,
                nullptr, nullptr},
        Refusal{"WrongWidthForType", [](TableDeclaration* d) { d->fields[2].element_length = 4; },
                75, nullptr, nullptr},
        Refusal{"NoLabelWithCreate", [](TableDeclaration* d) { d->fields[1].label.clear(); }, 47,
                "FIELD : 2 : LABEL : D00002", "No Name or Label Specified"},
        Refusal{"UnsupportedType",
                [](TableDeclaration* d) { d->fields[2].type = static_cast<FieldType>(15); }, 47,
                "FIELD : 3 : TYPE : D00003", "Data type not supported"},
        Refusal{"TooManyMemos",
                [](TableDeclaration* d) { d->memos.assign(256, Memo(10)); }, 47,
                "MEMO : 256 : MEMOS : D00003", "Too Many Memos defined"},
        Refusal{"MemoTooLarge", [](TableDeclaration* d) { d->memos = {Memo(64001)}; }, 47,
                "MEMO : 1 : SIZE : D00004",
                "Memo is larger than the maximum size supported by the file driver"},
        Refusal{"BlobWithoutName",
                [](TableDeclaration* d) { d->memos = {Memo(0, kMemoBlob, "")}; }, 47,
                "BLOB : 1 : LABEL : D00002", "No Name or Label Specified"},
        Refusal{"TooManyKeys",
                [](TableDeclaration* d) { d->keys.assign(241, d->keys[0]); }, 47,
                "KEY : 241 : KEYS : D00003", "Too Many Keys defined"},
        Refusal{"KeyWithoutName", [](TableDeclaration* d) { d->keys[0].label.clear(); }, 47,
                "KEY : 1 : LABEL : D00002", "No Name or Label Specified"},
        Refusal{"ComponentOutOfRange",
                [](TableDeclaration* d) { d->keys[0].components.push_back({9}); }, 75, nullptr,
                nullptr},
        Refusal{"DimensionedComponent",
                [](TableDeclaration* d) {
                  d->fields[3].element_length = 30;
                  d->fields[3].element_count = 2;
                },
                75, nullptr, nullptr}),
    [](const ::testing::TestParamInfo<Refusal>& info) { return info.param.name; });

TEST(DescribeTest, WithoutCreateAttributeNamesAreOptional) {
  TableDeclaration d = ItemsDeclaration();
  d.attributes = 0;
  d.fields[1].label.clear();
  d.keys[0].label.clear();
  const TableDefinition def = MustDescribe(d);
  EXPECT_EQ(def.fields[1].name, "");
}

struct Limit {
  const char* name;
  std::vector<std::pair<FieldType, uint32_t>> fields;
  const char* code_text;  // nullptr: accepted
  const char* text;
};

class DescribeLimitTest : public ::testing::TestWithParam<Limit> {};

TEST_P(DescribeLimitTest, Limits) {
  TableDefinition def;
  DefinitionReport report;
  Status s = Describe(Laid(GetParam().fields), &def, &report);
  if (GetParam().code_text == nullptr) {
    EXPECT_TRUE(s.ok()) << s.ToString();
  } else {
    EXPECT_EQ(s.code(), 47);
    EXPECT_EQ(report.code_text, GetParam().code_text);
    EXPECT_EQ(report.text, GetParam().text);
  }
}

constexpr const char* kLarger = "Field is larger than the maximum supported by the file driver";
constexpr const char* kMismatch = "Component does not match physical file structure";

INSTANTIATE_TEST_SUITE_P(
    Sizes, DescribeLimitTest,
    ::testing::Values(
        Limit{"String15000", {{FieldType::kString, 15000}}, nullptr, nullptr},
        Limit{"String15001", {{FieldType::kString, 15001}}, "FIELD : 1 : SIZE : D00005", kLarger},
        Limit{"CString15001Element", {{FieldType::kCString, 15001}},
              "FIELD : 1 : DIM : D00006", kMismatch},
        Limit{"CString15002", {{FieldType::kCString, 15002}}, "FIELD : 1 : SIZE : D00005",
              kLarger},
        Limit{"Total15000", {{FieldType::kString, 10000}, {FieldType::kString, 4992},
                             {FieldType::kReal, 8}},
              nullptr, nullptr},
        Limit{"Total15001", {{FieldType::kString, 10000}, {FieldType::kString, 4993},
                             {FieldType::kReal, 8}},
              "FIELD : 3 : SIZE : D00006", kMismatch}),
    [](const ::testing::TestParamInfo<Limit>& info) { return info.param.name; });

TEST(DescribeTest, KeyComponentBytesLimit) {
  for (uint32_t total : {7526u, 7527u}) {
    TableDeclaration d = Laid({{FieldType::kString, total - 8}, {FieldType::kLong, 4},
                               {FieldType::kLong, 4}});
    KeyDescription key;
    key.label = "K";
    key.components = {KeyComponent::Ascending(0), KeyComponent::Descending(1),
                      KeyComponent::Ascending(2)};
    d.keys = {key, key};
    d.keys[0].components.pop_back();  // the first key stays well inside
    TableDefinition def;
    DefinitionReport report;
    Status s = Describe(d, &def, &report);
    if (total == 7526) {
      EXPECT_TRUE(s.ok()) << s.ToString();
      EXPECT_TRUE(def.keys[1].parts[1].descending);
    } else {
      EXPECT_EQ(s.code(), 47);
      EXPECT_EQ(report.code_text, "KEY : 2 : SIZE : D00101");
      EXPECT_EQ(report.text, "Key components are more than a total of 7526 bytes long");
      EXPECT_EQ(report.text_number, kKeyLengthTextNumber);
    }
  }
}

TEST(DescribeTest, OverlaysAndGroups) {
  TableDeclaration d;
  d.attributes = kTableCreate;
  d.record_size = 20;
  FieldDescription group = Field(FieldType::kGroup, 0, 12, "G");
  group.group_members = 2;
  d.fields = {group,
              Field(FieldType::kLong, 0, 4, "G:A"),
              Field(FieldType::kString, 4, 8, "G:B"),
              // An unnamed, untyped view over the group: stored, never used.
              Field(static_cast<FieldType>(15), 0, 12, ""),
              Field(FieldType::kString, 12, 8, "C")};
  // A group lying over C, whose member inherits the over flag.
  FieldDescription over_group = Field(FieldType::kGroup, 12, 8, "OG");
  over_group.group_members = 1;
  d.fields.push_back(over_group);
  d.fields.push_back(Field(FieldType::kString, 12, 8, ""));
  const TableDefinition def = MustDescribe(d);
  std::vector<bool> over;
  for (const FieldDefinition& f : def.fields) over.push_back(f.over);
  EXPECT_EQ(over, (std::vector<bool>{false, false, false, true, false, true, true}));
  EXPECT_EQ(def.fields[0].group_members, 2u);

  // Members that run past their group's end are refused.
  d.fields[2].element_length = 9;
  d.fields[2].label = "G:B";
  TableDefinition ignored;
  EXPECT_EQ(Describe(d, &ignored, nullptr).code(), 75);
}

TEST(DescribeTest, KeyAttributeBits) {
  TableDeclaration d = ItemsDeclaration();
  d.keys[0].attributes = kKeyPrimary | kKeyIndex;
  KeyDescription dynamic;
  dynamic.label = "DYN";
  dynamic.attributes = kKeyIndex;
  d.keys.push_back(dynamic);
  const TableDefinition def = MustDescribe(d);
  EXPECT_EQ(def.keys[0].attributes, key_attr::kPrimary | key_attr::kIndex);
  EXPECT_EQ(def.keys[1].attributes, key_attr::kDynamicIndex);
}

// --- The stream --------------------------------------------------------------

TEST(DefinitionStreamTest, ExactBytes) {
  TableDeclaration d;
  d.record_size = 7;
  FieldDescription s = Field(FieldType::kString, 0, 2, "S");
  s.picture = "@s2";
  d.fields = {s, Field(FieldType::kDecimal, 2, 3, "D")};
  d.fields[1].places = 2;
  d.fields[1].external_name = "X";
  d.fields.push_back(Field(FieldType::kByte, 5, 1, "B"));
  d.fields.push_back(Field(FieldType::kByte, 6, 1, ""));
  MemoDescription memo = Memo(300, kMemoBinary, "N");
  memo.external_name = "EXT";
  d.memos = {memo};
  KeyDescription key;
  key.label = "K";
  key.attributes = kKeyNoCase;
  key.components = {KeyComponent::Descending(2)};
  d.keys = {key};
  const std::vector<uint8_t> expected = {
      1, 0, 7, 0, 4, 0, 1, 0, 1, 0,                                  // header
      18, 0, 0, 'S', 0, 1, 0, 2, 0, 0, 0, 0, 0, 2, 0, '@', 's', '2', 0,  // S
      10, 2, 0, 'X', 0, 1, 0, 3, 0, 0, 0, 1, 0, 2, 3,                // D
      1, 5, 0, 'B', 0, 1, 0, 1, 0, 0, 0, 2, 0,                       // B
      1, 6, 0, 0, 0, 1, 0, 1, 0, 0, 0, 3, 0,                         // empty name
      'N', 0, 'E', 'X', 'T', 0, 0x2C, 1, 2, 0,                       // memo
      'K', 0, 0, 1, 4, 1, 0, 2, 0, 1, 0};                            // key, absent name
  EXPECT_EQ(EncodeDefinition(MustDescribe(d)), expected);
}

TEST(DefinitionStreamTest, VersionFollowsBlobs) {
  TableDeclaration d = ItemsDeclaration();
  d.memos = {Memo(1000, 0, "NOTE")};
  const std::vector<uint8_t> memo_only = EncodeDefinition(MustDescribe(d));
  EXPECT_EQ(memo_only[0], 1);
  d.memos.push_back(Memo(0, kMemoBlob | kMemoBinary, "PICTURE"));
  const TableDefinition with_blob = MustDescribe(d);
  EXPECT_EQ(EncodeDefinition(with_blob)[0], 2);

  // Both open either way: loaded as they are, and compared with their
  // declarations.
  for (const TableDeclaration& decl : {d, [&] {
                                         TableDeclaration m = d;
                                         m.memos.pop_back();
                                         return m;
                                       }()}) {
    const TableDefinition def = MustDescribe(decl);
    const auto blocks = CutDefinitionBlocks(EncodeDefinition(def));
    TableDefinition loaded;
    ASSERT_TRUE(LoadDefinition(BlocksReader(blocks), &loaded).ok());
    EXPECT_EQ(loaded, def);
    EXPECT_TRUE(CompareDefinition(BlocksReader(blocks), def, true, nullptr).ok());
  }
}

TEST(DefinitionStreamTest, BlocksOf512AndMissingBlocksReadAsZeros) {
  // 60 named fields make a stream of several blocks.
  std::vector<std::pair<FieldType, uint32_t>> fields(60, {FieldType::kString, 10});
  TableDeclaration d = Laid(fields);
  for (auto& f : d.fields) f.label = "A_RATHER_LONG_FIELD_LABEL:" + f.label;
  const TableDefinition def = MustDescribe(d);
  const std::vector<uint8_t> stream = EncodeDefinition(def);
  const auto blocks = CutDefinitionBlocks(stream);
  ASSERT_GE(blocks.size(), 3u);
  for (size_t i = 0; i + 1 < blocks.size(); ++i) EXPECT_EQ(blocks[i].size(), 512u);
  EXPECT_EQ(blocks.back().size(), stream.size() - 512 * (blocks.size() - 1));

  TableDefinition loaded;
  ASSERT_TRUE(LoadDefinition(BlocksReader(blocks), &loaded).ok());
  EXPECT_EQ(loaded, def);

  // Without the last block the tail reads as zeros: the next field's type
  // is 0 where 18 was stored.
  auto truncated = blocks;
  truncated.pop_back();
  DefinitionReport report;
  Status s = CompareDefinition(BlocksReader(truncated), def, true, &report);
  EXPECT_EQ(s.code(), 47);
  EXPECT_EQ(report.code_text.substr(0, 8), "FIELD : ");
  EXPECT_FALSE(LoadDefinition(BlocksReader(truncated), &loaded).ok());

  // No blocks at all: every count reads as 0.
  s = CompareDefinition(BlocksReader({}), def, true, &report);
  EXPECT_EQ(report.code_text, "FILE : 0 : FIELDS : D00001");
  EXPECT_EQ(report.text, "Component does not match physical file structure");
}

// --- Compare -------------------------------------------------------------------

struct Mismatch {
  const char* name;
  std::function<void(TableDeclaration*)> change;  // applied to the declaration
  const char* code_text;                          // nullptr: opens
};

class CompareTest : public ::testing::TestWithParam<Mismatch> {};

TableDeclaration StoredShape() {
  TableDeclaration d = ItemsDeclaration();
  d.record_size = 140;
  d.fields.push_back(Field(FieldType::kDecimal, 128, 6, "ITE:COST"));
  d.fields.back().places = 2;
  d.fields.push_back(Field(FieldType::kLong, 134, 4, "ITE:A"));
  d.fields.push_back(Field(FieldType::kShort, 138, 2, "ITE:B"));
  d.memos = {Memo(500, 0, "ITE:NOTES"), Memo(0, kMemoBlob, "ITE:PICTURE")};
  d.keys[0].attributes |= kKeyPrimary;
  return d;
}

TEST_P(CompareTest, Reports) {
  const auto blocks = Stored(StoredShape());
  TableDeclaration declared = StoredShape();
  GetParam().change(&declared);
  const TableDefinition def = MustDescribe(declared);
  DefinitionReport report;
  Status s = CompareDefinition(BlocksReader(blocks), def, true, &report);
  if (GetParam().code_text == nullptr) {
    EXPECT_TRUE(s.ok()) << s.ToString();
  } else {
    EXPECT_EQ(s.code(), 47);
    EXPECT_EQ(report.code_text, GetParam().code_text);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Declarations, CompareTest,
    ::testing::Values(
        Mismatch{"Same", [](TableDeclaration*) {}, nullptr},
        Mismatch{"NamesAndOffsetsIgnored",
                 [](TableDeclaration* d) {
                   // Names, pictures and labels are not compared.
                   d->fields[0].label = "OTHER";
                   d->fields[0].picture = "@s40";
                   d->keys[0].label = "K";
                   d->memos[0].label = "NOTES2";
                 },
                 nullptr},
        Mismatch{"OnlyPrimaryBitDiffers",
                 [](TableDeclaration* d) { d->keys[0].attributes &= ~kKeyPrimary; }, nullptr},
        Mismatch{"BlobSizeIgnored", [](TableDeclaration* d) { d->memos[1].size = 9000; },
                 nullptr},
        Mismatch{"FieldCount", [](TableDeclaration* d) { d->fields.pop_back(); },
                 "FILE : 0 : FIELDS : D00001"},
        Mismatch{"MemoCount", [](TableDeclaration* d) { d->memos.pop_back(); },
                 "FILE : 0 : MEMOS : D00001"},
        Mismatch{"KeyCount", [](TableDeclaration* d) { d->keys.clear(); },
                 "FILE : 0 : KEYS : D00001"},
        Mismatch{"Type",
                 [](TableDeclaration* d) { d->fields[5].type = FieldType::kULong; },
                 "FIELD : 6 : TYPE : D00001"},
        Mismatch{"Size",
                 [](TableDeclaration* d) {
                   d->fields[1].element_length = 19;
                   // Keep the layout without gaps.
                   for (size_t i = 2; i < d->fields.size(); ++i) --d->fields[i].offset;
                   --d->record_size;
                 },
                 "FIELD : 2 : SIZE : D00001"},
        Mismatch{"Dimensions",
                 [](TableDeclaration* d) {
                   d->fields[4].element_length = 3;
                   d->fields[4].element_count = 2;
                 },
                 "FIELD : 5 : DIM : D00001"},
        Mismatch{"Over",
                 [](TableDeclaration* d) {
                   d->fields[6].offset = 134;  // now lies over ITE:A
                   d->record_size = 138;
                 },
                 "FIELD : 7 : OVER : D00001"},
        Mismatch{"DecimalPlaces", [](TableDeclaration* d) { d->fields[4].places = 3; },
                 "FIELD : 5 : SIZE : D00001"},
        Mismatch{"MemoSize", [](TableDeclaration* d) { d->memos[0].size = 501; },
                 "MEMO : 1 : SIZE : D00001"},
        Mismatch{"Binary", [](TableDeclaration* d) { d->memos[1].flags |= kMemoBinary; },
                 "BLOB : 2 : BINARY : D00001"},
        Mismatch{"KeyCaseInsensitivity",
                 [](TableDeclaration* d) { d->keys[0].attributes &= ~kKeyNoCase; },
                 "KEY : 1 : ATTRIBUTE : D00001"},
        Mismatch{"ComponentCount",
                 [](TableDeclaration* d) { d->keys[0].components.pop_back(); },
                 "KEY : 1 : FIELDS : D00001"},
        Mismatch{"ComponentField",
                 [](TableDeclaration* d) {
                   std::swap(d->keys[0].components[1], d->keys[0].components[2]);
                 },
                 "COMPONENT : 1002 : FIELD : D00001"},
        Mismatch{"ComponentDirection",
                 [](TableDeclaration* d) {
                   d->keys[0].components[3] = KeyComponent::Descending(3);
                 },
                 "COMPONENT : 1004 : ASCENDING : D00001"}),
    [](const ::testing::TestParamInfo<Mismatch>& info) { return info.param.name; });

TEST(CompareDefinitionTest, StoredCaseSensitiveKeyAgainstCaseInsensitiveDeclaration) {
  TableDeclaration stored = ItemsDeclaration();
  stored.keys[0].attributes &= ~kKeyNoCase;
  DefinitionReport report;
  Status s = CompareDefinition(BlocksReader(Stored(stored)), MustDescribe(ItemsDeclaration()),
                               true, &report);
  EXPECT_EQ(s.code(), 47);
  EXPECT_EQ(report.code_text, "KEY : 1 : ATTRIBUTE : D00001");
  EXPECT_EQ(report.text, "Component does not match physical file structure");
}

TEST(CompareDefinitionTest, DecimalCheckOff) {
  TableDeclaration declared = StoredShape();
  declared.fields[4].places = 4;
  const auto blocks = Stored(StoredShape());
  EXPECT_TRUE(CompareDefinition(BlocksReader(blocks), MustDescribe(declared), false, nullptr).ok());
  EXPECT_EQ(CompareDefinition(BlocksReader(blocks), MustDescribe(declared), true, nullptr).code(),
            47);
}

TEST(CompareDefinitionTest, NewerVersionIsRefusedButLoads) {
  auto blocks = Stored(ItemsDeclaration());
  blocks[0][0] = 3;
  DefinitionReport report;
  Status s = CompareDefinition(BlocksReader(blocks), MustDescribe(ItemsDeclaration()), true,
                               &report);
  EXPECT_EQ(s.code(), 47);
  EXPECT_EQ(report.code_text, "FILE : 0 : VERSION : D00102");
  EXPECT_EQ(report.text,
            "You are attempting to open a newer Tessera file format than the driver supports");
  EXPECT_EQ(report.text_number, kVersionTextNumber);
  TableDefinition loaded;
  EXPECT_TRUE(LoadDefinition(BlocksReader(blocks), &loaded).ok());
}

// --- Damaged streams -----------------------------------------------------------

TEST(DamagedDefinitionTest, SpecificDamageIsRefused) {
  const TableDefinition def = MustDescribe(StoredShape());
  const std::vector<uint8_t> good = EncodeDefinition(def);
  struct Case {
    const char* name;
    std::function<void(std::vector<uint8_t>*)> damage;
  };
  const Case cases[] = {
      {"BadTextMarker",
       [](std::vector<uint8_t>* s) {
         // The first field's picture is absent (00 01); make it 00 05.
         const size_t name_end = 13 + std::string("ITE:CHECKLISTNAME").size() + 1;
         const size_t picture = name_end + 8 + 2;
         ASSERT_EQ((*s)[picture + 1], 1);
         (*s)[picture + 1] = 5;
       }},
      {"ComponentOutOfRange", [](std::vector<uint8_t>* s) { (*s)[s->size() - 4] = 40; }},
      {"TooManyKeys", [](std::vector<uint8_t>* s) { (*s)[8] = 241; }},
      {"FieldOutsideRecord", [](std::vector<uint8_t>* s) { (*s)[2] = 20; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> bad = good;
    c.damage(&bad);
    TableDefinition loaded;
    Status s = LoadDefinition(BlocksReader(CutDefinitionBlocks(bad)), &loaded);
    EXPECT_EQ(s.code(), err::kInvalidDataFile) << s.ToString();
  }
}

TEST(DamagedDefinitionTest, NoDamageCrashesAndWhatLoadsIsUsable) {
  const TableDefinition def = MustDescribe(StoredShape());
  const std::vector<uint8_t> good = EncodeDefinition(def);
  std::mt19937 rng(7);
  for (int round = 0; round < 3000; ++round) {
    std::vector<uint8_t> bad = good;
    const int hits = 1 + static_cast<int>(rng() % 3);
    for (int h = 0; h < hits; ++h) bad[rng() % bad.size()] = static_cast<uint8_t>(rng());
    if (round % 5 == 0) bad.resize(rng() % bad.size());
    const auto blocks = CutDefinitionBlocks(bad);
    TableDefinition loaded;
    if (LoadDefinition(BlocksReader(blocks), &loaded).ok()) {
      // What loads keeps the invariants the table layer relies on, and
      // re-encodes to a stream that loads to the same description.
      TableDefinition again;
      ASSERT_TRUE(LoadDefinition(BlocksReader(CutDefinitionBlocks(EncodeDefinition(loaded))),
                                 &again)
                      .ok());
      ASSERT_EQ(again, loaded);
      for (const FieldDefinition& f : loaded.fields) {
        ASSERT_LE(f.offset + f.size, loaded.record_length);
      }
      for (const KeyDefinition& k : loaded.keys) {
        for (const KeyPart& p : k.parts) ASSERT_LT(p.field, loaded.fields.size());
      }
    }
    (void)CompareDefinition(BlocksReader(blocks), def, true, nullptr);
  }
}

TEST(DamagedDefinitionTest, ReaderErrorsPassThrough) {
  DefinitionBlockReader failing = [](uint16_t, std::vector<uint8_t>*) {
    return Status::Error(err::kFileSystemError, "read failed");
  };
  TableDefinition loaded;
  EXPECT_EQ(LoadDefinition(failing, &loaded).code(), err::kFileSystemError);
  EXPECT_EQ(CompareDefinition(failing, MustDescribe(ItemsDeclaration()), true, nullptr).code(),
            err::kFileSystemError);
}

}  // namespace
}  // namespace tessera
