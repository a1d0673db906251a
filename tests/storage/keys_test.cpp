// Key entries kept on add, change and delete: a random run against an
// in-memory model, the entry layout, failed updates that leave nothing
// behind, optional and case-insensitive keys, finds, indexes.
#include "storage/keys.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "storage/collation.h"
#include "storage/field_types.h"
#include "storage/key_build.h"
#include "storage/key_codec.h"
#include "tests/storage/support/key_table.h"
#include "tests/storage/support/scratch_dir.h"

namespace tessera {
namespace {

using testing::KeyTable;
using testing::ScratchDir;
using Buffer = KeyTable::Buffer;

// Record buffer of the test table (34 bytes):
//   id    LONG       @0   4
//   name  STRING     @4  12
//   prio  SHORT      @16  2
//   tag   CSTRING    @18  8
//   score REAL       @26  8
constexpr uint32_t kRecordLength = 34;

struct Row {
  int32_t id = 0;
  std::string name;
  int16_t prio = 0;
  std::string tag;
  double score = 0;
};

Buffer Encode(const Row& r) {
  Buffer b(kRecordLength, 0);
  std::memcpy(&b[0], &r.id, 4);
  std::memset(&b[4], ' ', 12);
  std::memcpy(&b[4], r.name.data(), std::min<size_t>(12, r.name.size()));
  std::memcpy(&b[16], &r.prio, 2);
  std::memcpy(&b[18], r.tag.data(), std::min<size_t>(7, r.tag.size()));
  std::memcpy(&b[26], &r.score, 8);
  return b;
}

KeyColumn Column(uint8_t type, uint32_t offset, uint32_t size, bool descending = false) {
  return KeyColumn{type, offset, size, descending};
}

// Key 0: unique on id. Key 1: duplicates, prio descending then name.
// Key 2: unique, optional and case-insensitive on tag.
std::vector<KeyLayout> ThreeKeys() {
  return {
      KeyLayout{0, {Column(field_type::kLong, 0, 4)}},
      KeyLayout{key_attr::kDuplicates,
                {Column(field_type::kShort, 16, 2, true), Column(field_type::kString, 4, 12)}},
      KeyLayout{key_attr::kOptional | key_attr::kCaseInsensitive,
                {Column(field_type::kCString, 18, 8)}},
  };
}

class KeysTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(table.Open(path, kRecordLength, ThreeKeys()).ok());
  }

  uint32_t MustAdd(const Row& r) {
    uint32_t n = 0;
    Status s = table.Add(Encode(r), &n);
    EXPECT_TRUE(s.ok()) << s.ToString();
    return n;
  }

  std::vector<uint32_t> Numbers(int k) { return table.RecordNumbers(k); }

  ScratchDir dir;
  std::string path = dir.File("KEYS.TSR");
  KeyTable table;
};

// --- the model --------------------------------------------------------------------

// Independent statement of each key's order over the model's rows.
struct Model {
  std::map<uint32_t, Row> rows;

  static std::string Fold(const std::string& tag) {
    std::string out;
    for (char c : tag) out += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
  }
  static std::vector<uint8_t> Weights(std::string text, size_t width, char pad) {
    text.resize(width, pad);
    std::vector<uint8_t> w;
    for (char c : text) w.push_back(PlatformCollation().sort_order[static_cast<uint8_t>(c)]);
    return w;
  }

  // The key numbers that `row` (as record n) would duplicate, -1 for none.
  int Conflict(const Row& row, std::optional<uint32_t> n) const {
    for (auto& [m, other] : rows) {
      if (n && m == *n) continue;
      if (other.id == row.id) return 0;
    }
    if (row.tag.empty()) return -1;
    for (auto& [m, other] : rows) {
      if (n && m == *n) continue;
      if (Fold(other.tag) == Fold(row.tag)) return 2;
    }
    return -1;
  }

  std::vector<uint32_t> Order(int k) const {
    std::vector<uint32_t> ns;
    for (auto& [n, r] : rows) {
      if (k == 2 && r.tag.empty()) continue;
      ns.push_back(n);
    }
    auto less = [&](uint32_t a, uint32_t b) {
      const Row& x = rows.at(a);
      const Row& y = rows.at(b);
      switch (k) {
        case 0:
          return x.id < y.id;
        case 1: {
          if (x.prio != y.prio) return x.prio > y.prio;
          auto wx = Weights(x.name, 12, ' '), wy = Weights(y.name, 12, ' ');
          if (wx != wy) return wx < wy;
          return a < b;
        }
        default:
          return Weights(Fold(x.tag), 8, '\0') < Weights(Fold(y.tag), 8, '\0');
      }
    };
    std::sort(ns.begin(), ns.end(), less);
    return ns;
  }
};

Row RandomRow(std::mt19937& rng) {
  static const char* kNames[] = {"", "ann", "Bob", "bob", "carl", "dora x", "ed", "Zed"};
  Row r;
  r.id = static_cast<int32_t>(rng() % 200) - 50;  // negatives too
  r.name = kNames[rng() % 8];
  r.prio = static_cast<int16_t>(static_cast<int>(rng() % 7) - 3);
  // A third blank; the rest 1 to 3 letters that often equal another tag
  // but for case.
  if (rng() % 3 != 0) {
    const size_t length = 1 + rng() % 3;
    for (size_t i = 0; i < length; ++i) r.tag += "aAbBcC"[rng() % 6];
  }
  r.score = static_cast<double>(rng() % 1000) / 7.0;
  return r;
}

TEST_F(KeysTest, RandomAddsChangesAndDeletesMatchTheModel) {
  std::mt19937 rng(20240607);
  Model model;
  uint32_t last_number = 0;
  int failures = 0, fresh_id = 100000;
  for (int round = 0; round < 40; ++round) {
    for (int op = 0; op < 60; ++op) {
      const unsigned dice = rng() % 10;
      if (dice < 5 || model.rows.empty()) {  // add
        Row row = RandomRow(rng);
        uint32_t n = 0;
        Status s = table.Add(Encode(row), &n);
        ASSERT_GT(n, last_number) << "record numbers only grow";
        last_number = n;
        if (model.Conflict(row, std::nullopt) >= 0) {
          ASSERT_EQ(s.code(), err::kCreatesDuplicateKey) << s.ToString();
          ++failures;
        } else {
          ASSERT_TRUE(s.ok()) << s.ToString();
          model.rows[n] = row;
        }
      } else {
        auto it = model.rows.begin();
        std::advance(it, rng() % model.rows.size());
        const uint32_t n = it->first;
        if (dice < 8) {  // change one or more fields
          Row row = it->second;
          Row other = RandomRow(rng);
          if (rng() % 2) row.id = other.id;
          if (rng() % 2) row.name = other.name;
          if (rng() % 2) row.prio = other.prio;
          if (rng() % 2) row.tag = other.tag;
          row.score = other.score;
          Status s = table.Change(n, Encode(row));
          if (model.Conflict(row, n) >= 0) {
            ASSERT_EQ(s.code(), err::kCreatesDuplicateKey) << s.ToString();
            ++failures;
          } else {
            ASSERT_TRUE(s.ok()) << s.ToString();
            it->second = row;
          }
        } else {  // delete
          ASSERT_TRUE(table.Delete(n).ok());
          model.rows.erase(it);
        }
      }
    }
    if (round % 5 == 4) {
      // Appends with fresh values, then a build brings the keys up to date.
      for (int i = 0; i < 3; ++i) {
        Row row = RandomRow(rng);
        row.id = fresh_id++;
        row.tag = "";
        uint32_t n = 0;
        ASSERT_TRUE(table.Add(Encode(row), &n, /*append=*/true).ok());
        model.rows[n] = row;
      }
      ASSERT_TRUE(BuildAllKeys(&table.keys(), {}).ok());
    }
    if (round % 10 == 9) {  // everything must survive a close and reopen
      const uint32_t t = table.table();
      ASSERT_TRUE(table.Close().ok());
      ASSERT_TRUE(table.Open(path, kRecordLength, ThreeKeys(), t).ok());
    }

    ASSERT_EQ(table.DataCount(), static_cast<int32_t>(model.rows.size()));
    for (int k = 0; k < 3; ++k) {
      const std::vector<uint32_t> expected = model.Order(k);
      // Unique keys never hold equal components, so every order is total.
      ASSERT_EQ(Numbers(k), expected) << "key " << k << " round " << round;
      ASSERT_EQ(table.Count(k), static_cast<int32_t>(expected.size())) << "key " << k;
      ASSERT_EQ(table.RebuildPoint(k), 0u);
    }
    // Every entry is the one its record makes now.
    for (int k = 0; k < 3; ++k) {
      for (auto& [n, components] : table.Entries(k)) {
        TableKeys::Entry e;
        ASSERT_TRUE(table.keys().MakeEntry(k, Encode(model.rows.at(n)), n, &e));
        ASSERT_TRUE(std::equal(components.begin(), components.end(), e.key.begin() + 5));
      }
    }
  }
  EXPECT_GT(failures, 20) << "the run should meet duplicates";
  EXPECT_GT(model.rows.size(), 50u);
}

// --- layout -------------------------------------------------------------------------

TEST_F(KeysTest, EntriesAreTableKeyComponentsAndRecordNumber) {
  Row row{1, "ann", 2, "abc", 0};
  const uint32_t n = MustAdd(row);
  uint8_t t[4];
  PutBigEndian32(t, table.table());
  uint8_t nb[4];
  PutBigEndian32(nb, n);
  const uint8_t long_one[] = {0x80, 0, 0, 1};
  const uint8_t short_two_desc[] = {0x7F, 0xFD};  // 80 02 inverted

  auto k0 = table.RawEntries(0);
  ASSERT_EQ(k0.size(), 1u);
  EXPECT_EQ(k0[0].key.size(), 9u);  // T, 0, id: no N in the key
  EXPECT_EQ(0, std::memcmp(k0[0].key.data(), t, 4));
  EXPECT_EQ(k0[0].key[4], 0);
  EXPECT_EQ(0, std::memcmp(&k0[0].key[5], long_one, 4));
  EXPECT_EQ(k0[0].data, Buffer(nb, nb + 4)) << "N is the data of a unique key";

  auto k1 = table.RawEntries(1);
  ASSERT_EQ(k1.size(), 1u);
  EXPECT_EQ(k1[0].key.size(), 5u + 2 + 12 + 4);
  EXPECT_EQ(k1[0].key[4], 1);
  EXPECT_EQ(0, std::memcmp(&k1[0].key[5], short_two_desc, 2));
  EXPECT_EQ(0, std::memcmp(&k1[0].key[k1[0].key.size() - 4], nb, 4)) << "N ends the key";
  EXPECT_TRUE(k1[0].data.empty());

  // A blank tag has no entry in the optional key.
  MustAdd(Row{2, "bob", 2, "", 0});
  EXPECT_EQ(table.RawEntries(2).size(), 1u);
  EXPECT_EQ(table.Count(2), 1);
  EXPECT_EQ(table.Count(0), 2);
}

// --- failures leave nothing behind ------------------------------------------------

TEST_F(KeysTest, FailedUpdatesLeaveEveryKeyAsItWas) {
  MustAdd(Row{1, "ann", 1, "abc", 0});
  const uint32_t second = MustAdd(Row{2, "bob", 2, "xyz", 0});
  auto snapshot = [&] {
    std::vector<std::vector<RawRecords::Entry>> all;
    for (int k = 0; k < 3; ++k) all.push_back(table.RawEntries(k));
    return all;
  };
  auto counts = [&] { return std::vector<int32_t>{table.Count(0), table.Count(1), table.Count(2)}; };
  auto same = [](const std::vector<std::vector<RawRecords::Entry>>& a,
                 const std::vector<std::vector<RawRecords::Entry>>& b) {
    if (a.size() != b.size()) return false;
    for (size_t k = 0; k < a.size(); ++k) {
      if (a[k].size() != b[k].size()) return false;
      for (size_t i = 0; i < a[k].size(); ++i) {
        if (a[k][i].key != b[k][i].key || a[k][i].data != b[k][i].data) return false;
      }
    }
    return true;
  };
  const auto before = snapshot();
  const auto counts_before = counts();

  struct Case {
    const char* what;
    bool change;  // change `second`, else add
    Row row;
  };
  const Case cases[] = {
      // Keys 0 and 1 take their entries before key 2 finds "ABC" = "abc".
      {"add, duplicate in the last key", false, Row{3, "carl", 3, "ABC", 0}},
      {"add, duplicate in the first key", false, Row{1, "dora", 3, "new", 0}},
      {"change, duplicate in the last key", true, Row{7, "ed", 0, "Abc", 0}},
      {"change, duplicate in the first key", true, Row{1, "ed", 0, "new", 0}},
  };
  uint32_t failed = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Status s;
    if (c.change) {
      s = table.Change(second, Encode(c.row));
    } else {
      s = table.Add(Encode(c.row), &failed);
    }
    EXPECT_EQ(s.code(), err::kCreatesDuplicateKey);
    EXPECT_TRUE(same(snapshot(), before));
    EXPECT_EQ(counts(), counts_before);
  }
  EXPECT_EQ(table.Records().size(), 2u) << "no data record for a failed add";
  const uint32_t next = MustAdd(Row{3, "carl", 3, "new", 0});
  EXPECT_GT(next, failed) << "a failed add keeps its record number";

  // A key whose counter vanished (the table removed elsewhere) gives 5, and
  // the keys before it keep nothing of the add either.
  bool found = false;
  std::array<uint8_t, 6> k2_counter{};
  PutBigEndian32(k2_counter.data(), table.table());
  k2_counter[4] = TableKeys::kCounterKind;
  k2_counter[5] = 2;
  ASSERT_TRUE(table.raw().Delete(k2_counter, &found).ok());
  ASSERT_TRUE(found);
  const auto before_missing = snapshot();
  uint32_t n = 0;
  EXPECT_EQ(table.Add(Encode(Row{9, "zed", 1, "zz", 0}), &n).code(), err::kAccessDenied);
  EXPECT_TRUE(same(snapshot(), before_missing));
}

TEST_F(KeysTest, BlankRecordsNeedNoUniqueOptionalEntry) {
  MustAdd(Row{1, "ann", 1, "", 0});
  MustAdd(Row{2, "bob", 1, "", 0});
  EXPECT_EQ(table.Count(2), 0);
  EXPECT_EQ(table.Count(0), 2);
  // A change from blank to a tag adds the entry; back to blank removes it.
  const uint32_t n = MustAdd(Row{3, "carl", 1, "", 0});
  ASSERT_TRUE(table.Change(n, Encode(Row{3, "carl", 1, "tag", 0})).ok());
  EXPECT_EQ(Numbers(2), std::vector<uint32_t>{n});
  ASSERT_TRUE(table.Change(n, Encode(Row{3, "carl", 1, "", 0})).ok());
  EXPECT_EQ(table.Count(2), 0);
}

// --- finds ---------------------------------------------------------------------------

TEST_F(KeysTest, FindsByKeyPositionAndDuplicateTest) {
  const uint32_t abc = MustAdd(Row{1, "same", 5, "abc", 0});
  const uint32_t b = MustAdd(Row{2, "same", 5, "b", 0});
  MustAdd(Row{3, "same", 5, "c", 0});
  TableKeys& keys = table.keys();
  uint32_t n = 0;
  bool found = false;

  // Case-insensitive: "ABC" finds "abc".
  ASSERT_TRUE(keys.FindByKey(2, Encode(Row{0, "", 0, "ABC", 0}), &n, &found).ok());
  EXPECT_TRUE(found);
  EXPECT_EQ(n, abc);
  ASSERT_TRUE(keys.FindByKey(2, Encode(Row{0, "", 0, "ABD", 0}), &n, &found).ok());
  EXPECT_FALSE(found);

  // Duplicates: the lowest record number of equal components, whatever the
  // rest of the buffer.
  ASSERT_TRUE(keys.FindByKey(1, Encode(Row{99, "same", 5, "", 0}), &n, &found).ok());
  EXPECT_TRUE(found);
  EXPECT_EQ(n, abc);
  ASSERT_TRUE(keys.FindByKey(1, Encode(Row{99, "same", 4, "", 0}), &n, &found).ok());
  EXPECT_FALSE(found);

  // Position: components + N.
  auto entries = table.Entries(1);
  ASSERT_EQ(entries.size(), 3u);
  ASSERT_TRUE(keys.FindByPosition(1, b, entries[1].second, &found).ok());
  EXPECT_TRUE(found);
  ASSERT_TRUE(keys.FindByPosition(1, b + 100, entries[1].second, &found).ok());
  EXPECT_FALSE(found);
  auto k0 = table.Entries(0);
  ASSERT_TRUE(keys.FindByPosition(0, abc, k0[0].second, &found).ok());
  EXPECT_TRUE(found);
  ASSERT_TRUE(keys.FindByPosition(0, b, k0[0].second, &found).ok());
  EXPECT_FALSE(found) << "a unique entry's data must name the record too";

  // Would-duplicate: not against the record itself, and never in a key
  // with duplicates or for a blank optional entry.
  bool dup = true;
  const Buffer like_abc = Encode(Row{7, "same", 5, "ABC", 0});
  ASSERT_TRUE(keys.WouldDuplicate(2, like_abc, std::nullopt, &dup).ok());
  EXPECT_TRUE(dup);
  ASSERT_TRUE(keys.WouldDuplicate(2, like_abc, abc, &dup).ok());
  EXPECT_FALSE(dup);
  ASSERT_TRUE(keys.WouldDuplicate(1, like_abc, std::nullopt, &dup).ok());
  EXPECT_FALSE(dup);
  ASSERT_TRUE(keys.WouldDuplicate(2, Encode(Row{7, "", 0, "", 0}), std::nullopt, &dup).ok());
  EXPECT_FALSE(dup);
  int which = 0;
  ASSERT_TRUE(keys.WouldDuplicate(Encode(Row{2, "", 0, "abc", 0}), std::nullopt, &which).ok());
  EXPECT_EQ(which, 0) << "keys are asked in order";
  ASSERT_TRUE(keys.WouldDuplicate(Encode(Row{8, "", 0, "n", 0}), std::nullopt, &which).ok());
  EXPECT_EQ(which, -1);
}

// --- indexes ------------------------------------------------------------------------

TEST(KeyIndexTest, ChangesBelowTheRebuildPointLowerItAndABuildCatchesUp) {
  ScratchDir dir;
  KeyTable table;
  // Key 0: an index with duplicates on prio. Key 1: an ordinary unique key.
  ASSERT_TRUE(table
                  .Open(dir.File("IDX.TSR"), kRecordLength,
                        {KeyLayout{key_attr::kIndex | key_attr::kDuplicates,
                                   {Column(field_type::kShort, 16, 2)}},
                         KeyLayout{0, {Column(field_type::kLong, 0, 4)}}})
                  .ok());
  std::vector<uint32_t> ns;
  for (int i = 0; i < 5; ++i) {
    uint32_t n = 0;
    ASSERT_TRUE(table.Add(Encode(Row{i, "", static_cast<int16_t>(10 - i), "", 0}), &n).ok());
    ns.push_back(n);
  }
  EXPECT_EQ(table.Count(0), 0) << "an index is not maintained";
  EXPECT_EQ(table.RebuildPoint(0), ns[0]);
  EXPECT_EQ(table.Count(1), 5);
  ASSERT_TRUE(BuildKey(&table.keys(), 0, {}).ok());
  EXPECT_EQ(table.RebuildPoint(0), 0u);
  EXPECT_EQ(table.Count(0), 5);

  // A change above the point is skipped; one below lowers it.
  ASSERT_TRUE(table.Change(ns[3], Encode(Row{3, "", 99, "", 0})).ok());
  EXPECT_EQ(table.RebuildPoint(0), ns[3]);
  ASSERT_TRUE(table.Change(ns[4], Encode(Row{4, "", -1, "", 0})).ok());
  EXPECT_EQ(table.RebuildPoint(0), ns[3]);
  ASSERT_TRUE(table.Change(ns[1], Encode(Row{1, "", 50, "", 0})).ok());
  EXPECT_EQ(table.RebuildPoint(0), ns[1]);
  ASSERT_TRUE(table.Delete(ns[2]).ok());
  EXPECT_EQ(table.RebuildPoint(0), ns[1]);
  // A change that leaves the index's columns alone does not touch it.
  ASSERT_TRUE(table.Change(ns[0], Encode(Row{0, "x", 10, "", 0})).ok());
  EXPECT_EQ(table.RebuildPoint(0), ns[1]);

  ASSERT_TRUE(BuildKey(&table.keys(), 0, {}).ok());
  std::vector<uint32_t> order;
  for (auto& [n, c] : table.Entries(0)) order.push_back(n);
  EXPECT_EQ(order, (std::vector<uint32_t>{ns[4], ns[0], ns[1], ns[3]}));  // -1, 10, 50, 99
  EXPECT_EQ(table.Count(0), 4);
  EXPECT_EQ(table.RebuildPoint(0), 0u);
}

// --- component lists --------------------------------------------------------------

TEST(IndexComponentsTest, ParsesNamesSignsAndRefusesUnknownNames) {
  const std::vector<NamedField> fields = {
      {"ITE:NAME", Column(field_type::kString, 0, 10)},
      {"ITE:PRIORITY", Column(field_type::kShort, 10, 2)},
  };
  struct Case {
    const char* text;
    int code;
    std::vector<std::pair<uint32_t, bool>> columns;  // offset, descending
  };
  const Case cases[] = {
      {"ite:name", 0, {{0, false}}},
      {"-ITE:Priority,  +ite:name", 0, {{10, true}, {0, false}}},
      {"  ite:priority", 0, {{10, false}}},
      {"", err::kInvalidIndexString, {}},
      {"ite:nam", err::kInvalidIndexString, {}},
      {"ite:name ", err::kInvalidIndexString, {}},  // the name runs to the comma
      {"ite:name,", err::kInvalidIndexString, {}},
      {"ite:name,,ite:priority", err::kInvalidIndexString, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<KeyColumn> out;
    Status s = ParseIndexComponents(c.text, fields, &out);
    EXPECT_EQ(s.code(), c.code);
    ASSERT_EQ(out.size(), c.columns.size());
    for (size_t i = 0; i < out.size(); ++i) {
      EXPECT_EQ(out[i].offset, c.columns[i].first);
      EXPECT_EQ(out[i].descending, c.columns[i].second);
    }
  }
}

}  // namespace
}  // namespace tessera
