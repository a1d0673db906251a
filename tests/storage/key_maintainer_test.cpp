// The table layer with real key maintenance: adds, changes, deletes and
// appends through Table keep the entries the key layer finds and builds.
#include "storage/key_maintainer.h"

#include <gtest/gtest.h>

#include <cstring>

#include "storage/key_build.h"
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
  KeyMaintainerTest() { services.keys = &maintainer; }

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

  TableKeyMaintainer maintainer;
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
  auto keys = View(t);
  ASSERT_TRUE(BuildAllKeys(keys.get(), {}).ok());
  ASSERT_TRUE(BuildKey(keys.get(), 2, {}).ok());
  keys.reset();
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

}  // namespace
}  // namespace tessera
