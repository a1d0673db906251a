#include "storage/collation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace tessera {
namespace {

const CollationTables& T() { return PlatformCollation(); }

std::vector<uint8_t> Weights(const std::string& s) {
  std::vector<uint8_t> w;
  for (unsigned char c : s) w.push_back(T().sort_order[c]);
  return w;
}

TEST(CodePageTest, ConversionIsLosslessAndAgreesOnSharedCharacters) {
  for (int b = 0; b < 256; ++b) {
    EXPECT_EQ(OemToAnsi(AnsiToOem(static_cast<uint8_t>(b))), b) << b;
    EXPECT_EQ(AnsiToOem(OemToAnsi(static_cast<uint8_t>(b))), b) << b;
    if (b < 0x80) {
      EXPECT_EQ(AnsiToOem(static_cast<uint8_t>(b)), b);
    }
  }
  // {ANSI, OEM} bytes of characters both code pages have.
  const uint8_t pairs[][2] = {
      {0xC7, 0x80},  // C cedilla
      {0xFC, 0x81},  // u diaeresis
      {0xE9, 0x82},  // e acute
      {0xC5, 0x8F},  // A ring
      {0xC9, 0x90},  // E acute
      {0xA3, 0x9C},  // pound
      {0x83, 0x9F},  // florin
      {0xF1, 0xA4},  // n tilde
      {0xD1, 0xA5},  // N tilde
      {0xBF, 0xA8},  // inverted question mark
      {0xAC, 0xAA},  // not sign
      {0xBD, 0xAB},  // one half
      {0xDF, 0xE1},  // sharp s
      {0xB5, 0xE6},  // micro
      {0xB1, 0xF1},  // plus-minus
      {0xF7, 0xF6},  // division
      {0xB0, 0xF8},  // degree
      {0xB7, 0xFA},  // middle dot
      {0xB2, 0xFD},  // superscript two
      {0xA0, 0xFF},  // no-break space
  };
  for (const auto& p : pairs) {
    EXPECT_EQ(AnsiToOem(p[0]), p[1]) << std::hex << int(p[0]);
    EXPECT_EQ(OemToAnsi(p[1]), p[0]) << std::hex << int(p[1]);
  }
  // A character the OEM page lacks (A grave) still survives a round trip
  // through a stored OEM string.
  std::vector<uint8_t> text = {'D', 0xC0, ' ', 0x80, 0xE9};
  auto stored = text;
  AnsiToOem(stored);
  EXPECT_EQ(stored[2], ' ');
  EXPECT_EQ(stored[4], 0x82);
  OemToAnsi(stored);
  EXPECT_EQ(stored, text);
}

TEST(CollationTest, SortOrderIsAPermutationWithPaddingLowest) {
  std::vector<bool> seen(256);
  for (uint8_t w : T().sort_order) {
    EXPECT_FALSE(seen[w]);
    seen[w] = true;
  }
  EXPECT_EQ(T().sort_order[0], 0);
  for (int b = 0x21; b < 256; ++b) {
    if (T().classes[b] & (char_class::kControl | char_class::kUnassigned)) continue;
    EXPECT_LT(T().sort_order[' '], T().sort_order[b]) << b;
  }
}

TEST(CollationTest, WordsSortInDictionaryOrder) {
  // Ascending under the platform weights (Windows-1252 bytes). One weight
  // per byte: case and accents order a letter's forms, then the next byte.
  const std::vector<std::string> ordered = {
      "",     " x",   "!",     "0",     "9",    "A",     "Ab",    "a",
      "ab",   "\xC0", "\xE0", "B",     "Caf",  "Cafe",  "Cafes", "Caf\xE9",
      "Cag",  "e",    "\xE9",  "\xEB",  "f",    "O",     "Oz",    "\xD6",
      "\xF6", "P",    "Z",     "z",     "\x9E",
  };
  for (size_t i = 1; i < ordered.size(); ++i) {
    EXPECT_LT(Weights(ordered[i - 1]), Weights(ordered[i]))
        << ordered[i - 1] << " vs " << ordered[i];
  }
}

TEST(CollationTest, CaseTablesAgree) {
  using namespace char_class;
  for (int b = 0; b < 256; ++b) {
    uint8_t cls = T().classes[b];
    uint8_t up = T().upper[b];
    if (cls & kLower) {
      EXPECT_TRUE(up == b || (T().classes[up] & kUpper)) << b;
      if (up != b) {
        EXPECT_EQ(T().sort_order[up] + 1, T().sort_order[b]) << b;
      }
    } else {
      EXPECT_EQ(up, b) << "folding must not change a non-lower byte " << b;
    }
    EXPECT_EQ((cls & (kLower | kUpper)) != 0, (cls & kAlpha) != 0) << b;
  }
  const uint8_t cases[][2] = {{'a', 'A'}, {'z', 'Z'}, {0xE9, 0xC9}, {0xFF, 0x9F},
                              {0x9A, 0x8A}, {0x9C, 0x8C}, {0xFE, 0xDE},
                              {0xDF, 0xDF}, {0xF7, 0xF7}, {'1', '1'}};
  for (const auto& c : cases) EXPECT_EQ(T().upper[c[0]], c[1]) << int(c[0]);
  EXPECT_TRUE(T().classes['\t'] & kSpace);
  EXPECT_TRUE(T().classes['7'] & kDigit);
  EXPECT_TRUE(T().classes[0x81] & kUnassigned);
  EXPECT_TRUE(T().classes['%'] & kPunct);
}

TEST(CollationTest, OemWeightsOrderLikeAnsiWeights) {
  for (int b = 0; b < 256; ++b) {
    EXPECT_EQ(T().key_weights[AnsiToOem(static_cast<uint8_t>(b))], T().sort_order[b]);
  }
}

TEST(CollationTest, RulesAreWellFormed) {
  const auto& r = T().rules;
  size_t n = 0;
  while (n < kMaxCollationRules && r[4 * n] != 0) ++n;
  EXPECT_EQ(n, 5u);
  for (size_t i = 0; i < n; ++i) {
    EXPECT_NE(r[4 * i + 1], 0);
    EXPECT_EQ(r[4 * i + 3], 0);
    // A replacement is never itself expanded, so the rewrite is one pass.
    for (size_t j = 0; j < n; ++j) {
      EXPECT_NE(r[4 * i + 1], r[4 * j]);
      EXPECT_NE(r[4 * i + 2], r[4 * j]);
    }
  }
  for (size_t i = 4 * n; i < r.size(); ++i) EXPECT_EQ(r[i], 0);
  EXPECT_EQ(T().rule_companion, (std::array<uint8_t, 64>{}));
}

TEST(CollationRecordTest, LayoutAndRoundTrip) {
  CollationRecord rec{true, T()};
  rec.tables.rule_companion[63] = 0x5A;
  std::array<uint8_t, kCollationRecordSize> bytes;
  EncodeCollationRecord(rec, &bytes);
  EXPECT_EQ(bytes[0], 1);
  EXPECT_EQ(bytes[1 + 'B'], T().sort_order['B']);
  EXPECT_EQ(bytes[1 + 256 + 0x82], T().key_weights[0x82]);
  EXPECT_EQ(bytes[1 + 512 + 'q'], 'Q');
  EXPECT_EQ(bytes[1 + 768 + '5'], char_class::kDigit);
  EXPECT_EQ(bytes[1 + 1024], 0xDF);
  EXPECT_EQ(bytes[1152], 0x5A);

  CollationRecord back;
  ASSERT_TRUE(DecodeCollationRecord(bytes, &back).ok());
  EXPECT_EQ(back, rec);

  for (size_t size : {size_t{0}, kCollationRecordSize - 1, kCollationRecordSize + 1}) {
    std::vector<uint8_t> wrong(size, 0);
    Status s = DecodeCollationRecord(wrong, &back);
    EXPECT_EQ(s.code(), err::kInvalidDataFile) << size;
  }
  EXPECT_EQ(CollationRecordKey(0x01020304),
            (std::array<uint8_t, 6>{1, 2, 3, 4, 0xFB, 0x01}));
}

}  // namespace
}  // namespace tessera
