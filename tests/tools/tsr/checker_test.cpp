// The integrity check: each kind of damage is found and named, and no
// damaged file makes the check crash or hang.
#include "tools/tsr/checker.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "storage/raw_records.h"
#include "storage/tsr_file.h"
#include "tests/storage/support/scratch_dir.h"
#include "tests/tools/support/run_tsr.h"
#include "tools/tsr/commands.h"

#if defined(__SANITIZE_ADDRESS__)
#define TSR_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TSR_SANITIZED 1
#endif
#endif

namespace tsr {
namespace {

using tessera::RawRecords;
using tessera::TsrFile;
using tessera::testing::ScratchDir;
using Bytes = std::vector<uint8_t>;

std::string Joined(const CheckReport& r) {
  std::string s;
  for (const auto& p : r.problems) s += p + "\n";
  return s;
}

class CheckerTest : public ::testing::Test {
 protected:
  CheckerTest() {
    file = dir.File("ITEMS.TSR");
    std::ostringstream out, err;
    EXPECT_EQ(tsr::Run({"create", file,
                   "I:LIST STRING(20), I:PRIORITY REAL, I:ITEM STRING(40), I:NOTES MEMO(300); "
                   "KEY I:BYITEM DUP NOCASE (I:LIST, -I:PRIORITY, I:ITEM); KEY I:BYNAME (I:ITEM)"},
                  out, err),
              0)
        << err.str();
    std::string csv = "I:LIST,I:PRIORITY,I:ITEM,I:NOTES\n";
    for (int i = 0; i < 300; ++i) {
      csv += "List " + std::to_string(i % 7) + "," + std::to_string(i % 11) + ",Item " +
             std::to_string(i) + "," + (i % 5 == 0 ? std::string(280, 'n') : "") + "\n";
    }
    std::ofstream(dir.File("items.csv")) << csv;
    EXPECT_EQ(tsr::Run({"import", file, "--csv", dir.File("items.csv")}, out, err), 0) << err.str();
    original = Read(file);
  }

  static Bytes Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
  }
  void WriteFile(const Bytes& bytes) {
    std::ofstream(file, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  CheckReport Check() {
    CheckReport r;
    tessera::Status s = CheckFile(file, "", &r);
    EXPECT_TRUE(s.ok()) << s.ToString();
    return r;
  }
  // Changes the file's records through the engine: `edit` gets the records
  // and the file in write intent.
  void Edit(const std::function<void(RawRecords&)>& edit) {
    TsrFile f;
    ASSERT_TRUE(f.Open(file, tessera::mode::kReadWrite | tessera::mode::kDenyAll).ok());
    ASSERT_TRUE(f.BeginWriteIntent().ok());
    RawRecords raw(&f);
    edit(raw);
    ASSERT_TRUE(raw.Commit().ok());
    ASSERT_TRUE(f.Close().ok());
  }
  // The first record whose key passes `match`.
  static RawRecords::Entry Find(RawRecords& raw, const std::function<bool(const Bytes&)>& match) {
    RawRecords::Entry found;
    EXPECT_TRUE(raw.Walk([&](RawRecords::Bytes k, RawRecords::Bytes d) {
                     if (found.key.empty() && match(Bytes(k.begin(), k.end()))) {
                       found = {Bytes(k.begin(), k.end()), Bytes(d.begin(), d.end())};
                     }
                   }).ok());
    EXPECT_FALSE(found.key.empty());
    return found;
  }

  ScratchDir dir;
  std::string file;
  Bytes original;
};

TEST_F(CheckerTest, SoundFileHasNoProblems) {
  const CheckReport r = Check();
  EXPECT_TRUE(r.problems.empty()) << Joined(r);
}

TEST_F(CheckerTest, FindsAndNamesEachFault) {
  // A flipped byte inside a block: the record count of the first block.
  {
    Bytes b = original;
    int32_t start = 0;
    int zone = 1;
    for (; zone < 60; ++zone) {
      int32_t s, e;
      std::memcpy(&s, &b[32 + 4 * zone], 4);
      std::memcpy(&e, &b[272 + 4 * zone], 4);
      if (e > s) {
        start = s;
        break;
      }
    }
    b[512 + 256 * start + 10] ^= 0x5A;
    WriteFile(b);
    const std::string p = Joined(Check());
    EXPECT_NE(p.find("block at unit " + std::to_string(start)), std::string::npos) << p;
  }
  // A truncated file.
  {
    WriteFile(Bytes(original.begin(), original.end() - 700));
    const std::string p = Joined(Check());
    EXPECT_NE(p.find("the file is truncated"), std::string::npos) << p;
    EXPECT_NE(p.find("beyond the end of the file"), std::string::npos) << p;
  }
  // A file cut to nothing (which the engine would take for a new one).
  {
    WriteFile({});
    EXPECT_NE(Joined(Check()).find("the file is empty"), std::string::npos);
  }
  // A key entry removed.
  {
    WriteFile(original);
    Bytes removed;
    Edit([&](RawRecords& raw) {
      auto e = Find(raw, [](const Bytes& k) { return k.size() > 9 && k[0] < 0xFE && k[4] == 1; });
      removed = e.data;  // the unique key's data: the record number
      bool found = false;
      ASSERT_TRUE(raw.Delete(e.key, &found).ok());
    });
    const std::string p = Joined(Check());
    const uint32_t n = uint32_t{removed[0]} << 24 | removed[1] << 16 | removed[2] << 8 | removed[3];
    EXPECT_NE(p.find("key I:BYNAME: record " + std::to_string(n) + " has no entry"), std::string::npos) << p;
    EXPECT_NE(p.find("key I:BYNAME: the counter says 300, there are 299"), std::string::npos) << p;
  }
  // A counter changed.
  {
    WriteFile(original);
    Edit([&](RawRecords& raw) {
      auto e = Find(raw, [](const Bytes& k) { return k.size() == 6 && k[4] == 0xF6 && k[5] == 0xF3; });
      bool found = false;
      ASSERT_TRUE(raw.Delete(e.key, &found).ok());
      e.data[0] += 1;
      ASSERT_TRUE(raw.Insert(e.key, e.data).ok());
    });
    const std::string p = Joined(Check());
    EXPECT_NE(p.find("the data counter says 301, there are 300"), std::string::npos) << p;
  }
  // An entry that names a record which is gone.
  {
    WriteFile(original);
    Edit([&](RawRecords& raw) {
      auto e = Find(raw, [](const Bytes& k) { return k.size() == 9 && k[4] == 0xF3; });
      bool found = false;
      ASSERT_TRUE(raw.Delete(e.key, &found).ok());
    });
    const std::string p = Joined(Check());
    EXPECT_NE(p.find("which does not exist"), std::string::npos) << p;
    EXPECT_NE(p.find("belongs to no record"), std::string::npos) << p << "(its memo)";
  }
}

// Thousands of randomly damaged copies: the check always returns -- with
// problems or an error -- and never crashes or hangs.
TEST_F(CheckerTest, SurvivesRandomDamage) {
#ifdef TSR_SANITIZED
  const int kCopies = 300;
#else
  const int kCopies = 2000;
#endif
  std::mt19937 rng(20261211);
  auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
  int found = 0, refused = 0;
  for (int copy = 0; copy < kCopies; ++copy) {
    Bytes b = original;
    const int damages = 1 + static_cast<int>(pick(3));
    for (int d = 0; d < damages && !b.empty(); ++d) {
      switch (pick(5)) {
        case 0: b[pick(b.size())] ^= static_cast<uint8_t>(1u << pick(8)); break;
        case 1: b[pick(b.size())] = static_cast<uint8_t>(pick(256)); break;
        case 2: b.resize(pick(b.size())); break;
        case 3: {
          const size_t at = pick(b.size());
          for (size_t i = at; i < std::min(b.size(), at + 16); ++i) b[i] = static_cast<uint8_t>(pick(256));
          break;
        }
        default: {
          const size_t at = pick(b.size()) / 256 * 256;
          std::fill(b.begin() + at, b.begin() + std::min(b.size(), at + 256), 0);
        }
      }
    }
    WriteFile(b);
    CheckReport r;
    tessera::Status s = CheckFile(file, "", &r);
    if (!s.ok()) {
      ++refused;
    } else if (!r.problems.empty()) {
      ++found;
    }
  }
  EXPECT_GT(found, kCopies / 2) << "most damage is found";
  // A handful through the program: exit 1 or 2, with a message.
  for (int copy = 0; copy < 5; ++copy) {
    Bytes b = original;
    for (int i = 0; i < 8; ++i) b[512 + pick(b.size() - 512)] ^= 0xFF;
    WriteFile(b);
    const testing::Outcome o = testing::RunTsr({"check", file}, dir.path());
    EXPECT_TRUE(o.code == 1 || o.code == 2) << o.code << o.out << o.err;
    EXPECT_FALSE((o.code == 1 ? o.out : o.err).empty());
    EXPECT_EQ(Read(file), b) << "the check never writes";
  }
  (void)refused;
}

}  // namespace
}  // namespace tsr
