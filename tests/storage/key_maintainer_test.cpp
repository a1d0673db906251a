// Tables with their keys: adds, changes, deletes and appends through Table
// keep the entries the key layer finds and builds; finds, builds (FULLBUILD
// with the collation record) and key walks through Table; the program's
// items table in ITE:BYITEM order; random operations against a model.
#include "storage/key_maintainer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <numeric>
#include <random>
#include <tuple>

#include "storage/collation.h"
#include "storage/key_build.h"
#include "storage/raw_records.h"
#include "tests/storage/support/table_fixture.h"

namespace tessera {
namespace {

using testing::TableFixture;

// NAME STRING(20) @0, PRIO LONG @20. Keys: unique case-insensitive on
// NAME; duplicates on PRIO descending; an index on NAME.
TableDeclaration Declaration() {
  TableDeclaration d;
  d.name = "KEYED";
  d.attributes = kTableCreate;
  d.record_size = 24;
  FieldDescription name;
  name.type = FieldType::kString;
  name.offset = 0;
  name.label = "K:NAME";
  name.element_length = 20;
  FieldDescription prio;
  prio.type = FieldType::kLong;
  prio.offset = 20;
  prio.label = "K:PRIO";
  prio.element_length = 4;
  d.fields = {name, prio};
  KeyDescription by_name{"K:BYNAME", "", kKeyNoCase, {KeyComponent::Ascending(0)}};
  KeyDescription by_prio{"K:BYPRIO", "", kKeyDuplicates, {KeyComponent::Descending(1)}};
  KeyDescription index{"K:INDEX", "", kKeyIndex, {KeyComponent::Ascending(0)}};
  d.keys = {by_name, by_prio, index};
  return d;
}

std::vector<uint8_t> Rec(const std::string& name, int32_t prio) {
  std::vector<uint8_t> r(24, ' ');
  std::memcpy(r.data(), name.data(), name.size());
  std::memcpy(r.data() + 20, &prio, 4);
  return r;
}

class KeyMaintainerTest : public TableFixture {
 protected:
  // The key layer's view of the open table.
  std::unique_ptr<TableKeys> View(Table& t) {
    return std::make_unique<TableKeys>(t.file(), t.number(), t.record_length(),
                                       KeyLayoutsOf(t.definition()),
                                       KeyStrings{&t.collation(), t.oem()});
  }
  int32_t Count(Table& t, uint8_t k) {
    int32_t c = -1;
    EXPECT_TRUE(t.Records(k, &c).ok());
    return c;
  }
  std::optional<uint32_t> Find(Table& t, int k, const std::vector<uint8_t>& r) {
    uint32_t n = 0;
    bool found = false;
    EXPECT_TRUE(View(t)->FindByKey(k, r, &n, &found).ok());
    return found ? std::optional<uint32_t>(n) : std::nullopt;
  }
};

TEST_F(KeyMaintainerTest, TableOperationsKeepTheKeys) {
  Table t(services);
  ASSERT_TRUE(t.Create(Path("KEYED"), Declaration()).ok());
  ASSERT_TRUE(t.Add(Rec("abc", 1)).ok());
  const uint32_t abc = t.current();
  ASSERT_TRUE(t.Add(Rec("def", 5)).ok());
  const uint32_t def = t.current();
  EXPECT_EQ(t.Add(Rec("ABC", 3)).code(), err::kDuplicateKey);
  std::vector<uint8_t> buffer(24);
  EXPECT_EQ(t.Fetch(def + 1, buffer).code(), err::kRecordNotFound);
  EXPECT_EQ(Count(t, 0), 2);
  EXPECT_EQ(Count(t, 1), 2);
  EXPECT_EQ(Count(t, 2), 0) << "an index waits for its build";
  EXPECT_EQ(Find(t, 0, Rec("ABC", 0)), abc);
  EXPECT_EQ(Find(t, 1, Rec("", 5)), def);

  ASSERT_TRUE(t.Fetch(abc, buffer).ok());
  buffer = Rec("xyz", 5);
  ASSERT_TRUE(t.Change(buffer).ok());
  EXPECT_EQ(Find(t, 0, Rec("ABC", 0)), std::nullopt);
  EXPECT_EQ(Find(t, 0, Rec("XYZ", 0)), abc);
  EXPECT_EQ(Find(t, 1, Rec("", 5)), abc) << "the lowest record of equal components";
  ASSERT_TRUE(t.Fetch(def, buffer).ok());
  EXPECT_EQ(t.Change(Rec("Xyz", 0)).code(), err::kDuplicateKey);
  EXPECT_EQ(Find(t, 1, Rec("", 5)), abc);
  ASSERT_TRUE(t.Fetch(def, buffer).ok());
  ASSERT_TRUE(t.Delete().ok());
  EXPECT_EQ(Count(t, 0), 1);
  EXPECT_EQ(Count(t, 1), 1);

  ASSERT_TRUE(t.Append(Rec("ghi", 9)).ok());
  const uint32_t ghi = t.current();
  EXPECT_EQ(Find(t, 0, Rec("ghi", 0)), std::nullopt);
  ASSERT_TRUE(t.BuildAllKeys().ok());
  ASSERT_TRUE(t.BuildKey(2).ok());
  EXPECT_EQ(Find(t, 0, Rec("ghi", 0)), ghi);
  EXPECT_EQ(Find(t, 2, Rec("xyz", 0)), abc);
  EXPECT_EQ(Count(t, 0), 2);
  EXPECT_EQ(Count(t, 1), 2);
  EXPECT_EQ(Count(t, 2), 2);
  ASSERT_TRUE(t.Close().ok());

  // What was built is in the file.
  ASSERT_TRUE(t.Open(Path("KEYED"), nullptr).ok());
  EXPECT_EQ(Find(t, 0, Rec("GHI", 0)), ghi);
  EXPECT_EQ(Count(t, 2), 2);
  ASSERT_TRUE(t.Close().ok());
}


// --- the items table in ITE:BYITEM order ---------------------------------------

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string Padded(std::string s, size_t width) {
  s.resize(width, ' ');
  return s;
}

// What an items record is in the model: its fields as given.
struct ModelItem {
  uint32_t record;
  std::string list, sub;
  double priority;
  std::string item;

  bool blank() const {
    return Padded(list, 40) == std::string(40, ' ') && Padded(sub, 20) == std::string(20, ' ') &&
           priority == 0 && Padded(item, 60) == std::string(60, ' ');
  }
  // ITE:BYITEM: names without regard to case, the priority as a number,
  // equal keys by record number.
  auto order() const {
    return std::make_tuple(Upper(Padded(list, 40)), Upper(Padded(sub, 20)), priority,
                           Upper(Padded(item, 60)), record);
  }
};

std::vector<uint8_t> ItemRecord(const std::string& list, const std::string& sub, double priority,
                                const std::string& item) {
  std::vector<uint8_t> r(128, ' ');
  std::copy(list.begin(), list.end(), r.begin());
  std::copy(sub.begin(), sub.end(), r.begin() + 40);
  std::memcpy(r.data() + 60, &priority, 8);
  std::copy(item.begin(), item.end(), r.begin() + 68);
  return r;
}

std::string Text(const std::vector<uint8_t>& r, size_t offset, size_t size) {
  return std::string(r.begin() + offset, r.begin() + offset + size);
}

TEST_F(KeyMaintainerTest, TenThousandItemsWalkInByItemOrder) {
  const std::string path = Path("CHECK\\!items");
  const TableDeclaration declaration = testing::ItemsDeclaration("items");
  std::mt19937 random(20261211);
  auto pick = [&](std::initializer_list<const char*> from) {
    return std::string(*(from.begin() + random() % from.size()));
  };
  auto word = [&](size_t length) {
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::string w;
    for (size_t i = 0; i < length; ++i) w += kLetters[random() % (sizeof(kLetters) - 1)];
    return w;
  };

  std::vector<ModelItem> model;
  {
    Table t(services);
    ASSERT_TRUE(t.Create(path, declaration).ok());
    t.file()->set_in_transaction(true);  // one commit for the fill, not 10,000
    auto add = [&](ModelItem m) {
      Status s = t.Add(ItemRecord(m.list, m.sub, m.priority, m.item));
      ASSERT_TRUE(s.ok()) << s.ToString();
      m.record = t.current();
      model.push_back(m);
    };
    // The same item under "HOME" and then "Home": one key, two entries, the
    // first added first.
    add({0, "HOME", "Kitchen", 2.5, "Buy milk"});
    add({0, "Home", "kitchen", 2.5, "buy MILK"});
    add({0, "", "", 0, ""});  // blank in every component: no entry
    while (model.size() < 10000) {
      ModelItem m;
      m.list = pick({"Home", "HOME", "home office", "Garden", "garden", "Work", "Zoo", "a"});
      m.sub = random() % 4 == 0 ? std::string() : word(1 + random() % 3);
      m.priority = (static_cast<int>(random() % 81) - 40) / 8.0;  // fractions, signs, zero
      m.item = word(1 + random() % 12);
      add(m);
    }
    t.file()->set_in_transaction(false);
    ASSERT_TRUE(t.Close().ok());
  }
  std::vector<ModelItem> keyed;
  for (const ModelItem& m : model) {
    if (!m.blank()) keyed.push_back(m);
  }
  std::sort(keyed.begin(), keyed.end(),
            [](const ModelItem& a, const ModelItem& b) { return a.order() < b.order(); });

  Table t(services);
  Status s = t.Open(path, &declaration);
  ASSERT_TRUE(s.ok()) << s.ToString();
  int32_t count = -1;
  ASSERT_TRUE(t.Records(0, &count).ok());
  EXPECT_EQ(count, static_cast<int32_t>(keyed.size()));
  ASSERT_TRUE(t.Records(kDataCounterIndex, &count).ok());
  EXPECT_EQ(count, 10000);

  // Forwards, reading every record; then backwards, the numbers alone.
  KeyWalk walk(&t, 0);
  std::vector<uint8_t> buffer(128);
  for (const ModelItem& m : keyed) {
    ASSERT_TRUE(walk.Next().ok());
    ASSERT_EQ(walk.record(), m.record);
    ASSERT_TRUE(walk.Fetch(buffer).ok());
    ASSERT_EQ(buffer, ItemRecord(m.list, m.sub, m.priority, m.item));
    ASSERT_EQ(t.current(), m.record);
  }
  EXPECT_EQ(walk.Next().code(), err::kRecordNotAvailable);
  for (auto m = keyed.rbegin(); m != keyed.rend(); ++m) {
    ASSERT_TRUE(walk.Previous().ok());
    ASSERT_EQ(walk.record(), m->record);
  }
  EXPECT_EQ(walk.Previous().code(), err::kRecordNotAvailable);

  // A find in any case takes the first of equal keys in key order.
  buffer = ItemRecord("home", "KITCHEN", 2.5, "Buy Milk");
  ASSERT_TRUE(t.Find(0, buffer).ok());
  EXPECT_EQ(t.current(), model[0].record);
  EXPECT_EQ(Text(buffer, 0, 4), "HOME");
  buffer = ItemRecord("home", "KITCHEN", 2.25, "Buy Milk");
  const std::vector<uint8_t> unchanged = buffer;
  EXPECT_EQ(t.Find(0, buffer).code(), err::kRecordNotFound);
  EXPECT_EQ(buffer, unchanged);

  // The first "home" of any case: a seek below every sub-category and
  // priority.
  const auto first_home = std::find_if(keyed.begin(), keyed.end(), [](const ModelItem& m) {
    return Upper(m.list) == "HOME";
  });
  ASSERT_TRUE(walk.Seek(ItemRecord("home", "", -1e300, "")).ok());
  ASSERT_TRUE(walk.Next().ok());
  EXPECT_EQ(walk.record(), first_home->record);
  ASSERT_TRUE(walk.Previous().ok());
  EXPECT_EQ(walk.record(), (first_home - 1)->record);

  // A full build cancelled by its progress hook leaves the key stale from
  // the first record; the next build makes it whole again.
  struct CancelThird : BuildProgress {
    int calls = 0;
    bool Report(int) override { return ++calls == 3; }
  } cancel;
  t.set_build_progress(&cancel, 1);
  t.set_full_build(true);
  EXPECT_EQ(t.BuildAllKeys().code(), err::kBuildCancelled);
  EXPECT_FALSE(t.full_build());
  KeyCounter counter;
  ASSERT_TRUE(t.keys()->ReadCounter(0, &counter).ok());
  EXPECT_EQ(counter.rebuild_point, 1u);
  t.set_build_progress(nullptr, 0);
  ASSERT_TRUE(t.BuildKey(0).ok());
  ASSERT_TRUE(t.Records(0, &count).ok());
  EXPECT_EQ(count, static_cast<int32_t>(keyed.size()));
  walk.ToLast();
  ASSERT_TRUE(walk.Previous().ok());
  EXPECT_EQ(walk.record(), keyed.back().record);
  ASSERT_TRUE(t.Close().ok());
}

// A dynamic index through the table: columns by field name, a filter, the
// walk and count of its entries in memory; emptying the table drops it.
TEST_F(KeyMaintainerTest, DynamicIndexThroughTheTable) {
  TableDeclaration d = testing::ItemsDeclaration();
  d.keys.push_back(KeyDescription{"ITE:ANY", "", kKeyIndex | kKeyDuplicates, {}});
  Table t(services);
  ASSERT_TRUE(t.Create(Path("DYN"), d).ok());
  std::vector<uint32_t> home;  // by priority, highest first
  for (double priority : {1.5, -2.0, 3.0, 0.25}) {
    ASSERT_TRUE(t.Add(ItemRecord("Home", "", priority, "x")).ok());
    home.push_back(t.current());
    ASSERT_TRUE(t.Add(ItemRecord("Work", "", priority, "x")).ok());
  }
  home = {home[2], home[0], home[3], home[1]};
  EXPECT_EQ(t.BuildDynamicIndex(1, "ite:nope").code(), err::kInvalidIndexString);
  const RecordFilter only_home = [](std::span<const uint8_t> r, uint32_t) { return r[0] == 'H'; };
  ASSERT_TRUE(t.BuildDynamicIndex(1, " -ite:priority", only_home).ok());
  EXPECT_EQ(Count(t, 1), 4);
  std::vector<uint32_t> walked;
  for (KeyWalk walk(&t, 1); walk.Next().ok();) walked.push_back(walk.record());
  EXPECT_EQ(walked, home);

  ASSERT_TRUE(t.Empty().ok());
  EXPECT_EQ(Count(t, 1), 0);
  EXPECT_EQ(KeyWalk(&t, 1).Next().code(), err::kRecordNotAvailable);
  EXPECT_EQ(t.BuildKey(1).code(), err::kInvalidIndexString) << "no columns since the empty";
  ASSERT_TRUE(t.Close().ok());
}

// --- random adds, changes and deletes against a model ----------------------------

// ID LONG @0, NAME STRING(12) @4, GRP SHORT @16, TAG STRING(8) @18. Keys:
// ByID unique; ByGroup duplicates, GRP descending then NAME; ByTag unique,
// optional and case-insensitive.
TableDeclaration ThreeKeys() {
  TableDeclaration d;
  d.name = "THREE";
  d.attributes = kTableCreate;
  d.record_size = 26;
  auto field = [&](const char* label, FieldType type, uint32_t offset, uint32_t length) {
    testing::AddField(&d, label, type, offset, length);
  };
  field("T:ID", FieldType::kLong, 0, 4);
  field("T:NAME", FieldType::kString, 4, 12);
  field("T:GRP", FieldType::kShort, 16, 2);
  field("T:TAG", FieldType::kString, 18, 8);
  d.keys = {
      KeyDescription{"T:BYID", "", 0, {KeyComponent::Ascending(0)}},
      KeyDescription{"T:BYGROUP", "", kKeyDuplicates,
                     {KeyComponent::Descending(2), KeyComponent::Ascending(1)}},
      KeyDescription{"T:BYTAG", "", kKeyOptional | kKeyNoCase, {KeyComponent::Ascending(3)}},
  };
  return d;
}

struct Row {
  int32_t id = 0;
  std::string name, tag;
  int16_t group = 0;

  std::vector<uint8_t> Bytes() const {
    std::vector<uint8_t> r(26, ' ');
    std::memcpy(r.data(), &id, 4);
    std::copy(name.begin(), name.end(), r.begin() + 4);
    std::memcpy(r.data() + 16, &group, 2);
    std::copy(tag.begin(), tag.end(), r.begin() + 18);
    return r;
  }
  bool operator==(const Row&) const = default;
};

class ModelTable {
 public:
  std::map<uint32_t, Row> rows;  // by record number

  // The key a new or changed row would duplicate, -1 for none.
  int Duplicates(const Row& r, uint32_t self) const {
    for (const auto& [n, other] : rows) {
      if (n == self) continue;
      if (other.id == r.id) return 0;
      if (!r.tag.empty() && Upper(other.tag) == Upper(r.tag)) return 2;
    }
    return -1;
  }
  std::vector<uint32_t> Order(int k) const {
    std::vector<std::pair<std::tuple<int32_t, int, std::string, std::string>, uint32_t>> all;
    for (const auto& [n, r] : rows) {
      if (k == 0) all.push_back({{r.id, 0, "", ""}, n});
      if (k == 1) all.push_back({{0, -r.group, Padded(r.name, 12), ""}, n});
      if (k == 2 && !r.tag.empty()) all.push_back({{0, 0, "", Upper(Padded(r.tag, 8))}, n});
    }
    std::sort(all.begin(), all.end());
    std::vector<uint32_t> out;
    for (const auto& a : all) out.push_back(a.second);
    return out;
  }
};

TEST_F(KeyMaintainerTest, RandomOperationsThroughTheTableMatchAModel) {
  const TableDeclaration declaration = ThreeKeys();
  std::mt19937 random(7);
  auto make_row = [&] {
    static const char* kTags[] = {"red", "RED", "Blue", "green", "Green", "x", "y", "z", "w"};
    Row r;
    r.id = static_cast<int32_t>(random() % 80) - 40;
    r.name = std::string(1 + random() % 3, static_cast<char>('A' + random() % 5));
    r.group = static_cast<int16_t>(static_cast<int>(random() % 7) - 3);
    if (random() % 3 != 0) r.tag = kTags[random() % 9] + std::to_string(random() % 4);
    return r;
  };
  ModelTable model;
  Table t(services);
  ASSERT_TRUE(t.Create(Path("THREE"), declaration).ok());
  std::vector<uint8_t> buffer(26);
  int duplicates = 0;
  for (int round = 0; round < 4; ++round) {
    for (int op = 0; op < 60; ++op) {
      // Adds outnumber deletes, so that the table grows and refusals come.
      const int pick = static_cast<int>(random() % 10);
      const int what = model.rows.empty() || pick < 5 ? 0 : pick < 7 ? 1 : 2;
      if (what == 0) {
        const Row r = make_row();
        const int32_t before = Count(t, kDataCounterIndex);
        const Status s = t.Add(r.Bytes());
        if (model.Duplicates(r, 0) >= 0) {
          ++duplicates;
          ASSERT_EQ(s.code(), err::kDuplicateKey);
          ASSERT_EQ(Count(t, kDataCounterIndex), before) << "a refused add leaves nothing";
        } else {
          ASSERT_TRUE(s.ok()) << s.ToString();
          model.rows[t.current()] = r;
        }
        continue;
      }
      auto it = std::next(model.rows.begin(), random() % model.rows.size());
      ASSERT_TRUE(t.Fetch(it->first, buffer).ok());
      if (what == 1) {
        ASSERT_TRUE(t.Delete().ok());
        model.rows.erase(it);
        continue;
      }
      Row r = it->second;
      const Row fresh = make_row();
      switch (random() % 4) {
        case 0: r.id = fresh.id; break;
        case 1: r.name = fresh.name; break;
        case 2: r.group = fresh.group; break;
        default: r.tag = fresh.tag; break;
      }
      const Status s = t.Change(r.Bytes());
      if (model.Duplicates(r, it->first) >= 0) {
        ++duplicates;
        ASSERT_EQ(s.code(), err::kDuplicateKey);
      } else {
        ASSERT_TRUE(s.ok()) << s.ToString();
        it->second = r;
      }
    }
    // Every key's walk is the model's order, every entry has its record,
    // every count agrees.
    for (int k = 0; k < 3; ++k) {
      SCOPED_TRACE("round " + std::to_string(round) + ", key " + std::to_string(k));
      std::vector<uint32_t> walked;
      KeyWalk walk(&t, k);
      while (walk.Next().ok()) {
        walked.push_back(walk.record());
        ASSERT_TRUE(walk.Fetch(buffer).ok()) << "an entry without its record";
        ASSERT_EQ(buffer, model.rows.at(walk.record()).Bytes());
      }
      const std::vector<uint32_t> expected = model.Order(k);
      ASSERT_EQ(walked, expected);
      EXPECT_EQ(Count(t, static_cast<uint8_t>(k)), static_cast<int32_t>(expected.size()));
    }
    EXPECT_EQ(Count(t, kDataCounterIndex), static_cast<int32_t>(model.rows.size()));
    ASSERT_TRUE(t.Close().ok());
    ASSERT_TRUE(t.Open(Path("THREE"), round % 2 == 0 ? nullptr : &declaration).ok());
  }
  EXPECT_GT(duplicates, 10) << "the model should meet refusals";
  ASSERT_TRUE(t.Close().ok());
}

TEST_F(KeyMaintainerTest, WalkGoesOnOverChangesUnderIt) {
  Table t(services);
  ASSERT_TRUE(t.Create(Path("THREE"), ThreeKeys()).ok());
  for (int32_t id = 0; id < 40; id += 2) ASSERT_TRUE(t.Add(Row{id, "N", "", 0}.Bytes()).ok());
  // Each even record walked is deleted and its odd successor added: the
  // walk meets the new record next, and never the deleted one again.
  KeyWalk walk(&t, 0);
  std::vector<uint8_t> buffer(26);
  std::vector<int32_t> ids;
  while (walk.Next().ok()) {
    ASSERT_TRUE(walk.Fetch(buffer).ok());
    int32_t id;
    std::memcpy(&id, buffer.data(), 4);
    ids.push_back(id);
    if (id % 2 != 0) continue;
    ASSERT_TRUE(t.Delete().ok());
    ASSERT_TRUE(t.Add(Row{id + 1, "N", "", 0}.Bytes()).ok());
  }
  std::vector<int32_t> expected(40);
  std::iota(expected.begin(), expected.end(), 0);
  EXPECT_EQ(ids, expected);
  // Backwards over the odd ones that are left; past the first, 33, and the
  // walk stands before the first again.
  for (int32_t id = 39; id > 0; id -= 2) {
    ASSERT_TRUE(walk.Previous().ok());
    ASSERT_TRUE(walk.Fetch(buffer).ok());
    EXPECT_EQ(std::memcmp(buffer.data(), &id, 4), 0);
  }
  EXPECT_EQ(walk.Previous().code(), err::kRecordNotAvailable);
  ASSERT_TRUE(walk.Next().ok());
  EXPECT_EQ(walk.Next().ok(), true);
  EXPECT_EQ(KeyWalk(&t, 3).Next().code(), err::kInvalidIndexString);
  ASSERT_TRUE(t.Close().ok());
  EXPECT_EQ(walk.Next().code(), 37) << "File Not Open";
}

// A table whose collation record does not fold case (as if written where
// the tables differ): FULLBUILD renews the record from this platform's
// tables and rebuilds the keys to match; the index is left stale until its
// own build.
TEST_F(KeyMaintainerTest, FullBuildRenewsTheCollationRecordAndTheKeys) {
  TableDeclaration d = testing::ItemsDeclaration();
  d.keys.push_back(KeyDescription{"ITE:BYLIST", "", kKeyDuplicates | kKeyNoCase | kKeyIndex,
                                  {KeyComponent::Ascending(0)}});
  const std::string path = Path("FULL");
  Table t(services);
  ASSERT_TRUE(t.Create(path, d).ok());
  {
    CollationRecord odd{false, PlatformCollation()};
    for (int c = 0; c < 256; ++c) odd.tables.upper[c] = static_cast<uint8_t>(c);
    std::array<uint8_t, kCollationRecordSize> data;
    EncodeCollationRecord(odd, &data);
    const auto key = CollationRecordKey(t.number());
    RawRecords raw(t.file());
    bool found = false;
    ASSERT_TRUE(t.file()->BeginWriteIntent().ok());
    ASSERT_TRUE(raw.Delete(key, &found).ok());
    ASSERT_TRUE(raw.Insert(key, data).ok());
    ASSERT_TRUE(t.file()->EndWriteIntent().ok());
  }
  ASSERT_TRUE(t.Close().ok());
  ASSERT_TRUE(t.Open(path, &d).ok());
  ASSERT_NE(t.collation(), PlatformCollation());
  ASSERT_TRUE(t.Add(ItemRecord("HOME", "Kitchen", 1, "Milk")).ok());
  const uint32_t first = t.current();
  ASSERT_TRUE(t.Add(ItemRecord("Home", "Kitchen", 1, "Milk")).ok());
  ASSERT_TRUE(t.BuildKey(1).ok());
  std::vector<uint8_t> buffer = ItemRecord("home", "kitchen", 1, "milk");
  EXPECT_EQ(t.Find(0, buffer).code(), err::kRecordNotFound) << "these tables do not fold case";

  t.set_full_build(true);
  ASSERT_TRUE(t.BuildAllKeys().ok());
  EXPECT_FALSE(t.full_build());
  EXPECT_EQ(t.collation(), PlatformCollation());
  ASSERT_TRUE(t.Find(0, buffer).ok());
  EXPECT_EQ(t.current(), first);
  KeyCounter index;
  ASSERT_TRUE(t.keys()->ReadCounter(1, &index).ok());
  EXPECT_EQ(index.rebuild_point, 1u) << "the index was made with the old tables";
  ASSERT_TRUE(t.BuildKey(1).ok());
  ASSERT_TRUE(t.Close().ok());

  ASSERT_TRUE(t.Open(path, &d).ok());
  EXPECT_EQ(t.collation(), PlatformCollation());
  buffer = ItemRecord("home", "", 0, "");
  ASSERT_TRUE(t.Find(1, buffer).ok());
  EXPECT_EQ(t.current(), first);
  EXPECT_EQ(Count(t, 0), 2);
  EXPECT_EQ(Count(t, 1), 2);
  ASSERT_TRUE(t.Close().ok());
}

}  // namespace
}  // namespace tessera
