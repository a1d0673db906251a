// TableFixture: a scratch folder, a registry of its own, and a look at the
// raw records of a file, for the tests of the table layer.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "storage/file_registry.h"
#include "storage/raw_records.h"
#include "storage/table.h"
#include "storage/tsr_file.h"
#include "tests/storage/support/items_declaration.h"
#include "tests/storage/support/scratch_dir.h"

namespace tessera::testing {

using RawMap = std::map<std::vector<uint8_t>, std::vector<uint8_t>>;

inline std::vector<uint8_t> Hex(std::initializer_list<int> bytes) {
  std::vector<uint8_t> out;
  for (int b : bytes) out.push_back(static_cast<uint8_t>(b));
  return out;
}

class TableFixture : public ::testing::Test {
 protected:
  ScratchDir dir;
  TsrFileRegistry registry{Env::Default()};
  TableServices services{Env::Default(), &registry, &registry, nullptr};

  std::string Path(const std::string& name) const { return dir.File(name); }

  // Every record of a closed file, by key.
  RawMap Raw(const std::string& file) {
    RawMap out;
    TsrFile f;
    Status s = f.Open(file, mode::kReadOnly | mode::kDenyNone);
    EXPECT_TRUE(s.ok()) << s.ToString();
    RawRecords raw(&f);
    s = raw.Walk([&](RawRecords::Bytes k, RawRecords::Bytes d) {
      out[std::vector<uint8_t>(k.begin(), k.end())] = std::vector<uint8_t>(d.begin(), d.end());
    });
    EXPECT_TRUE(s.ok()) << s.ToString();
    (void)f.Close();
    return out;
  }

  // The records of one kind of table `t` (key prefix T, kind).
  static RawMap OfKind(const RawMap& raw, uint32_t t, uint8_t kind) {
    RawMap out;
    const TableNumber n = NumberBytes(t);
    for (const auto& [k, d] : raw) {
      if (k.size() > 4 && std::equal(n.begin(), n.end(), k.begin()) && k[4] == kind) out[k] = d;
    }
    return out;
  }

  // An items record.
  static std::vector<uint8_t> Item(const std::string& list, const std::string& item,
                                   double priority = 1) {
    std::vector<uint8_t> r(128, ' ');
    std::copy(list.begin(), list.end(), r.begin());
    std::memcpy(r.data() + 60, &priority, 8);
    std::copy(item.begin(), item.end(), r.begin() + 68);
    return r;
  }
};

}  // namespace tessera::testing
