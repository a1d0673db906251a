// Randomised model tests: random inserts and deletes of random-length keys
// against a std::map, with commits, rollbacks, closes and reopens, checking
// after every round that the file holds exactly the model, that every zone
// is dense and reachable, and that the closed file ends at its end of data.
#include "storage/raw_records.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>

#include "storage/support/file_probe.h"
#include "storage/support/scratch_dir.h"

namespace tessera {
namespace {

using testing::ExpectSoundFile;
using testing::ReadAll;
using testing::ScratchDir;

using Model = std::map<std::string, std::string>;

RawRecords::Bytes B(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

struct Shape {
  const char* name;
  uint32_t mode;
  const char* password;
  int rounds;
  int ops_per_round;
};

class ModelTest : public ::testing::TestWithParam<Shape> {
 protected:
  ScratchDir dir;
  std::string path = dir.File("MODEL.TSR");
  std::mt19937 rng{20240611};

  std::string RandomKey() {
    // Mostly short keys sharing prefixes (like table and kind bytes), some
    // long ones, any byte values.
    size_t len = rng() % 8 == 0 ? 1 + rng() % 300 : 1 + rng() % 12;
    std::string k(len, '\0');
    for (size_t i = 0; i < len; ++i) {
      k[i] = static_cast<char>(i < 2 ? rng() % 3 : rng() % 256);
    }
    return k;
  }
  std::string RandomData() {
    uint32_t pick = rng() % 200;
    size_t len = pick == 0 ? 15000 : pick < 10 ? rng() % 4000 : rng() % 120;
    std::string d(len, static_cast<char>(rng() % 4 == 0 ? ' ' : 'a' + rng() % 26));
    for (size_t i = 0; i < len; i += 1 + rng() % 16) d[i] = static_cast<char>(rng());
    return d;
  }

  static Model Walk(RawRecords& r) {
    Model out;
    Status s = r.Walk([&](RawRecords::Bytes k, RawRecords::Bytes d) {
      out[std::string(k.begin(), k.end())] = std::string(d.begin(), d.end());
    });
    EXPECT_TRUE(s.ok()) << s.ToString();
    return out;
  }
};

TEST_P(ModelTest, RandomInsertsAndDeletesMatchAMap) {
  const Shape& shape = GetParam();
  Model model, committed;
  for (int round = 0; round < shape.rounds; ++round) {
    SCOPED_TRACE(::testing::Message() << "round " << round);
    TsrFile f;
    ASSERT_TRUE(f.Open(path, shape.mode, shape.password).ok());
    RawRecords r(&f);
    ASSERT_EQ(Walk(r), committed);
    ASSERT_TRUE(f.BeginWriteIntent().ok());
    for (int op = 0; op < shape.ops_per_round; ++op) {
      uint32_t what = rng() % 100;
      if (what < 58) {
        std::string k = RandomKey();
        // A 9-byte key with 15,000 data bytes now and then: the largest
        // record the tables write.
        if (rng() % 150 == 0) k = std::string("\x00\x00\x00\x01\xF3", 5) + k.substr(0, 4) +
                                  std::string(4 - std::min<size_t>(4, k.size()), 'p');
        if (model.count(k)) continue;
        std::string d = k.size() == 9 && rng() % 2 ? std::string(15000, 'Z') : RandomData();
        if (k.size() + d.size() > kMaxRecordLength) d.resize(kMaxRecordLength - k.size());
        Status s = r.Insert(B(k), B(d));
        ASSERT_TRUE(s.ok()) << s.ToString();
        model[k] = d;
      } else if (what < 93 && !model.empty()) {
        auto it = model.lower_bound(RandomKey());
        if (it == model.end()) it = model.begin();
        bool found = false;
        ASSERT_TRUE(r.Delete(B(it->first), &found).ok());
        ASSERT_TRUE(found);
        model.erase(it);
      } else if (what < 97) {
        std::string k = RandomKey();
        std::vector<uint8_t> data;
        bool found = false;
        ASSERT_TRUE(r.Find(B(k), &data, &found).ok());
        ASSERT_EQ(found, model.count(k) == 1);
        RawRecords::Entry e;
        ASSERT_TRUE(r.Next(B(k), &e, &found).ok());
        auto next = model.upper_bound(k);
        ASSERT_EQ(found, next != model.end());
        if (found) {
          ASSERT_EQ(std::string(e.key.begin(), e.key.end()), next->first);
        }
      } else if (what < 99) {
        // Commits cost real syncs: a few per round are enough.
        if (rng() % 8 != 0) continue;
        ASSERT_TRUE(r.Commit().ok());
        committed = model;
        ASSERT_TRUE(f.BeginWriteIntent().ok());
      } else {
        if (rng() % 4 != 0) continue;
        f.Rollback();
        model = committed;
      }
    }
    ASSERT_EQ(Walk(r), model);
    if (round % 3 == 2) {
      // Leave uncommitted work to the close.
    } else {
      ASSERT_TRUE(r.Commit().ok());
      ExpectSoundFile(f);
    }
    ASSERT_TRUE(f.Close().ok());
    committed = model;

    TsrFile again;
    ASSERT_TRUE(again.Open(path, shape.mode, shape.password).ok());
    RawRecords r2(&again);
    ASSERT_EQ(Walk(r2), model);
    ExpectSoundFile(again);
    if (HasFatalFailure()) return;
    EXPECT_EQ(static_cast<int64_t>(ReadAll(path).size()), again.header().EndOfData());
    EXPECT_EQ(again.header().EndOfData(), 512 + 256 * int64_t{again.header().EndUnit()});
    ASSERT_TRUE(again.Close().ok());
  }
  EXPECT_GT(model.size(), 500u) << "the test should build a deep tree";
  TsrFile f;
  ASSERT_TRUE(f.Open(path, shape.mode, shape.password).ok());
  RawRecords r(&f);
  ASSERT_EQ(Walk(r), model);
  EXPECT_GE(f.GetRootPage()->level, 2) << "at least three levels";
  ASSERT_TRUE(f.Close().ok());
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, ModelTest,
    ::testing::Values(
        Shape{"Exclusive", mode::kCreate | mode::kReadWrite | mode::kDenyAll, "", 8, 4000},
        Shape{"SharedWithPassword", mode::kCreate | mode::kReadWrite | mode::kDenyNone,
              "pass word", 5, 3000}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tessera
