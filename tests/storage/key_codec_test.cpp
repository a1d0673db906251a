#include "storage/key_codec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace tessera {
namespace {

using Bytes = std::vector<uint8_t>;
namespace ft = field_type;

template <typename T>
Bytes Le(T v) {  // a record buffer holds numbers little-endian
  Bytes b(sizeof v);
  std::memcpy(b.data(), &v, sizeof v);
  return b;
}

Bytes Str(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes Encode(uint8_t type, const Bytes& field, bool descending = false,
             StringTreatment st = {}) {
  CodecComponent c{type, 0, static_cast<uint32_t>(field.size()), descending};
  Bytes out(field.size(), 0xEE);
  EXPECT_TRUE(EncodeComponent(c, st, field, out));
  return out;
}

Bytes Decode(uint8_t type, const Bytes& key, bool descending = false) {
  CodecComponent c{type, 0, static_cast<uint32_t>(key.size()), descending};
  Bytes field(key.size());
  EXPECT_TRUE(DecodeComponent(c, key, field));
  return field;
}

Bytes Hex(const std::string& hex) {
  Bytes b;
  for (size_t i = 0; i + 1 < hex.size(); i += 3) {
    b.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return b;
}

// --- numbers -------------------------------------------------------------

TEST(KeyCodecTest, EncodesNumbersByteForByte) {
  struct Case {
    const char* what;
    uint8_t type;
    Bytes field;
    bool descending;
    const char* hex;
  };
  const Case cases[] = {
      {"LONG -1", ft::kLong, Le<int32_t>(-1), false, "7F FF FF FF"},
      {"LONG 0", ft::kLong, Le<int32_t>(0), false, "80 00 00 00"},
      {"LONG 1", ft::kLong, Le<int32_t>(1), false, "80 00 00 01"},
      {"LONG 1 desc", ft::kLong, Le<int32_t>(1), true, "7F FF FF FE"},
      {"ULONG max", ft::kULong, Le<uint32_t>(0xFFFFFFFF), false, "FF FF FF FF"},
      {"ULONG 0x01020304", ft::kULong, Le<uint32_t>(0x01020304), false, "01 02 03 04"},
      {"DATE", ft::kDate, Le<uint32_t>(0x00010203), false, "00 01 02 03"},
      {"SHORT -2", ft::kShort, Le<int16_t>(-2), false, "7F FE"},
      {"USHORT", ft::kUShort, Le<uint16_t>(0x1234), false, "12 34"},
      {"REAL -2.5", ft::kReal, Le(-2.5), false, "3F FB FF FF FF FF FF FF"},
      {"REAL -1", ft::kReal, Le(-1.0), false, "40 0F FF FF FF FF FF FF"},
      {"REAL -0", ft::kReal, Le(-0.0), false, "7F FF FF FF FF FF FF FF"},
      {"REAL 0", ft::kReal, Le(0.0), false, "80 00 00 00 00 00 00 00"},
      {"REAL 1", ft::kReal, Le(1.0), false, "BF F0 00 00 00 00 00 00"},
      {"REAL 3", ft::kReal, Le(3.0), false, "C0 08 00 00 00 00 00 00"},
      {"REAL -1 desc", ft::kReal, Le(-1.0), true, "BF F0 00 00 00 00 00 00"},
      {"REAL 1 desc", ft::kReal, Le(1.0), true, "40 0F FF FF FF FF FF FF"},
      {"SREAL 1", ft::kSReal, Le(1.0f), false, "BF 80 00 00"},
      {"SREAL -0", ft::kSReal, Le(-0.0f), false, "7F FF FF FF"},
      {"BYTE", ft::kByte, Bytes{0x81}, false, "81"},
      {"BYTE desc", ft::kByte, Bytes{0x81}, true, "7E"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Encode(c.type, c.field, c.descending), Hex(c.hex)) << c.what;
    EXPECT_EQ(Decode(c.type, Hex(c.hex), c.descending), c.field) << c.what;
  }
}

// Sorted distinct values must give strictly ascending encodings (descending:
// strictly descending), and every encoding must decode to its field.
template <typename T>
void ExpectOrderAndRoundTrip(uint8_t type, std::vector<T> values) {
  std::sort(values.begin(), values.end());
  values.erase(std::unique(values.begin(), values.end()), values.end());
  for (bool desc : {false, true}) {
    Bytes prev;
    for (size_t i = 0; i < values.size(); ++i) {
      Bytes key = Encode(type, Le(values[i]), desc);
      ASSERT_EQ(Decode(type, key, desc), Le(values[i])) << +values[i];
      if (i > 0) {
        int cmp = std::memcmp(prev.data(), key.data(), key.size());
        EXPECT_TRUE(desc ? cmp > 0 : cmp < 0)
            << +values[i - 1] << " vs " << +values[i] << (desc ? " desc" : "");
      }
      prev = key;
    }
  }
}

template <typename T>
std::vector<T> PowerBoundaries() {
  using U = std::make_unsigned_t<T>;
  std::vector<T> v = {std::numeric_limits<T>::min(), std::numeric_limits<T>::max()};
  for (unsigned k = 0; k < sizeof(T) * 8; ++k) {
    U p = static_cast<U>(U{1} << k);
    for (U x : {U(p - 1), p, U(p + 1)}) {
      v.push_back(static_cast<T>(x));
      if constexpr (std::is_signed_v<T>) v.push_back(static_cast<T>(static_cast<U>(U{0} - x)));
    }
  }
  return v;
}

TEST(KeyCodecTest, IntegersOrderAndRoundTripAtPowerBoundaries) {
  ExpectOrderAndRoundTrip<int16_t>(ft::kShort, PowerBoundaries<int16_t>());
  ExpectOrderAndRoundTrip<uint16_t>(ft::kUShort, PowerBoundaries<uint16_t>());
  ExpectOrderAndRoundTrip<int32_t>(ft::kLong, PowerBoundaries<int32_t>());
  ExpectOrderAndRoundTrip<uint32_t>(ft::kULong, PowerBoundaries<uint32_t>());
  ExpectOrderAndRoundTrip<uint32_t>(ft::kDate, PowerBoundaries<uint32_t>());
  ExpectOrderAndRoundTrip<uint32_t>(ft::kTime, PowerBoundaries<uint32_t>());
}

template <typename F>
std::vector<F> RealLandmarks() {
  using L = std::numeric_limits<F>;
  std::vector<F> v = {-L::infinity(), -L::max(), F(-1e30), F(-2.5), F(-1),
                      -L::min(), -L::denorm_min(), F(0), L::denorm_min(),
                      L::min(), F(1), F(2.5), F(1e30), L::max(), L::infinity()};
  for (int k = -20; k <= 20; ++k) {
    F p = std::ldexp(F(1), k);
    for (F x : {std::nextafter(p, F(0)), p, std::nextafter(p, L::infinity())}) {
      v.push_back(x);
      v.push_back(-x);
    }
  }
  return v;
}

TEST(KeyCodecTest, RealsOrderAndRoundTrip) {
  ExpectOrderAndRoundTrip<double>(ft::kReal, RealLandmarks<double>());
  ExpectOrderAndRoundTrip<float>(ft::kSReal, RealLandmarks<float>());
  // Negative zero sorts just before positive zero, and keeps its sign.
  Bytes neg = Encode(ft::kReal, Le(-0.0)), pos = Encode(ft::kReal, Le(0.0));
  Bytes tiny = Encode(ft::kReal, Le(-std::numeric_limits<double>::denorm_min()));
  EXPECT_LT(tiny, neg);
  EXPECT_LT(neg, pos);
  EXPECT_EQ(Decode(ft::kReal, neg), Le(-0.0));
}

TEST(KeyCodecTest, RandomNumbersSortLikeTheirValues) {
  std::mt19937_64 rng(20260501);
  auto check = [&](uint8_t type, auto sample) {
    using T = decltype(sample());
    std::vector<T> values;
    for (int i = 0; i < 5000; ++i) values.push_back(sample());
    ExpectOrderAndRoundTrip<T>(type, values);
  };
  check(ft::kShort, [&] { return static_cast<int16_t>(rng()); });
  check(ft::kUShort, [&] { return static_cast<uint16_t>(rng()); });
  check(ft::kLong, [&] { return static_cast<int32_t>(rng()); });
  check(ft::kULong, [&] { return static_cast<uint32_t>(rng()); });
  auto real_bits = [&](auto zero) {
    using F = decltype(zero);
    using U = std::conditional_t<sizeof(F) == 8, uint64_t, uint32_t>;
    for (;;) {
      U bits = static_cast<U>(rng());
      F f;
      std::memcpy(&f, &bits, sizeof f);
      if (!std::isnan(f) && f != 0) return f;  // zeros are checked above
    }
  };
  check(ft::kReal, [&] { return real_bits(0.0); });
  check(ft::kSReal, [&] { return real_bits(0.0f); });
}

// A DECIMAL of `length` bytes: sign nibble (0xF0 negative), then 2*length-1
// BCD digits, most significant first.
Bytes PackDecimal(int64_t value, size_t length, uint8_t negative_sign = 0xF0) {
  Bytes b(length, 0);
  uint64_t mag = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  for (size_t nibble = 0; nibble < 2 * length - 1; ++nibble) {
    size_t pos = 2 * length - 1 - nibble;  // counting nibbles from the left
    uint8_t digit = static_cast<uint8_t>(mag % 10);
    mag /= 10;
    b[pos / 2] |= (pos % 2) ? digit : static_cast<uint8_t>(digit << 4);
  }
  if (value < 0) b[0] |= negative_sign;
  return b;
}

TEST(KeyCodecTest, DecimalsOrderAndRoundTrip) {
  EXPECT_EQ(Encode(ft::kDecimal, PackDecimal(0, 3)), Hex("80 00 00"));
  EXPECT_EQ(Encode(ft::kDecimal, PackDecimal(1, 3)), Hex("80 00 01"));
  EXPECT_EQ(Encode(ft::kDecimal, PackDecimal(-1, 3)), Hex("7F FF FE"));
  EXPECT_EQ(Encode(ft::kDecimal, PackDecimal(-1, 3, 0xD0)), Hex("7F FF FE"))
      << "any non-zero sign nibble means negative";
  EXPECT_EQ(Encode(ft::kDecimal, PackDecimal(-1, 3), true), Hex("80 00 01"))
      << "descending cancels the negative inversion";
  // Negative zero sorts just before zero.
  EXPECT_EQ(Encode(ft::kDecimal, Bytes{0xF0, 0, 0}), Hex("7F FF FF"));

  std::mt19937_64 rng(7);
  for (size_t length : {1u, 2u, 5u, 9u}) {
    int64_t limit = 1;
    for (size_t i = 0; i < 2 * length - 1; ++i) limit *= 10;
    std::vector<int64_t> values = {-(limit - 1), -1, 0, 1, limit - 1};
    for (int i = 0; i < 2000; ++i) {
      values.push_back(static_cast<int64_t>(rng() % (2 * limit - 1)) - (limit - 1));
    }
    std::sort(values.begin(), values.end());
    values.erase(std::unique(values.begin(), values.end()), values.end());
    for (bool desc : {false, true}) {
      for (size_t i = 0; i < values.size(); ++i) {
        Bytes key = Encode(ft::kDecimal, PackDecimal(values[i], length), desc);
        ASSERT_EQ(Decode(ft::kDecimal, key, desc), PackDecimal(values[i], length));
        if (i == 0) continue;
        Bytes prev = Encode(ft::kDecimal, PackDecimal(values[i - 1], length), desc);
        EXPECT_EQ(desc ? prev > key : prev < key, true)
            << values[i - 1] << " vs " << values[i] << " length " << length;
      }
    }
  }
}

TEST(KeyCodecTest, BigEndianNumbersSortAsIntegers) {
  uint32_t prev = 0;
  uint8_t prev_bytes[4] = {0, 0, 0, 0};
  for (uint32_t v : PowerBoundaries<uint32_t>()) {
    uint8_t b[4];
    PutBigEndian32(b, v);
    EXPECT_EQ(GetBigEndian32(b), v);
    EXPECT_EQ(std::memcmp(prev_bytes, b, 4) < 0, prev < v);
    prev = v;
    std::memcpy(prev_bytes, b, 4);
  }
}

// --- strings -------------------------------------------------------------

StringTreatment CaseInsensitive() {
  StringTreatment st;
  st.case_insensitive = true;
  return st;
}

TEST(KeyCodecTest, CaseInsensitiveStringsCompareEqualAcrossCase) {
  StringTreatment ci = CaseInsensitive();
  EXPECT_EQ(Encode(ft::kString, Str("Home  "), false, ci),
            Encode(ft::kString, Str("HOME  "), false, ci));
  EXPECT_EQ(Encode(ft::kString, Str("abc"), false, ci),
            Encode(ft::kString, Str("ABC"), false, ci));
  EXPECT_EQ(Encode(ft::kString, Str("\xE9t\xE9"), false, ci),  // accents fold too
            Encode(ft::kString, Str("\xC9T\xC9"), false, ci));
  // Case-sensitive keys keep them apart, upper case first.
  EXPECT_LT(Encode(ft::kString, Str("HOME")), Encode(ft::kString, Str("Home")));
  // Case-insensitive order is still alphabetical.
  EXPECT_LT(Encode(ft::kString, Str("apple "), false, ci),
            Encode(ft::kString, Str("BANANA"), false, ci));
  // A GROUP gets the string treatment too.
  EXPECT_EQ(Encode(ft::kGroup, Str("ab"), false, ci), Encode(ft::kGroup, Str("AB"), false, ci));
}

TEST(KeyCodecTest, StringPaddingAndTerminators) {
  // Space- and zero-padded shorter strings sort before their extensions.
  EXPECT_LT(Encode(ft::kString, Str("abc  ")), Encode(ft::kString, Str("abcd ")));
  EXPECT_LT(Encode(ft::kCString, Str(std::string("abc\0\0", 5))), Encode(ft::kCString, Str(std::string("abcd\0", 5))));
  // Bytes after a CSTRING's terminator are not part of the key.
  EXPECT_EQ(Encode(ft::kCString, Str(std::string("ab\0xyz", 6))),
            Encode(ft::kCString, Str(std::string("ab\0\0\0\0", 6))));
  // A CSTRING filling its whole width has no terminator.
  EXPECT_LT(Encode(ft::kCString, Str("abcd")), Encode(ft::kCString, Str("abce")));

  // PSTRING: only the counted bytes, zero-filled; the length byte itself is
  // not part of the key.
  Bytes p3 = {3, 'a', 'b', 'c', 'X', 'Y'};
  EXPECT_EQ(Encode(ft::kPString, p3), Encode(ft::kCString, Str(std::string("abc\0\0\0", 6))));
  // A length beyond the field is clamped to the field, a negative one to 0.
  Bytes too_long = {100, 'a', 'b', 'c', 'd', 'e'};
  EXPECT_EQ(Encode(ft::kPString, too_long), Encode(ft::kCString, Str(std::string("abcde\0", 6))));
  Bytes negative = {0x80, 'a', 'b', 'c', 'd', 'e'};
  EXPECT_EQ(Encode(ft::kPString, negative), Encode(ft::kCString, Bytes(6, 0)));
}

TEST(KeyCodecTest, ExpansionRulesOfThePlatformTables) {
  StringTreatment ci = CaseInsensitive();
  EXPECT_EQ(Encode(ft::kString, Str("Stra\xDF" "e "), false, ci),
            Encode(ft::kString, Str("STRASSE"), false, ci));
  EXPECT_EQ(Encode(ft::kString, Str("\xC6" "ble ")), Encode(ft::kString, Str("AEble")));
  EXPECT_EQ(Encode(ft::kString, Str("\x9C" "uvre ")), Encode(ft::kString, Str("oeuvre")));
  // The expanded text is cut to the field's width.
  EXPECT_EQ(Encode(ft::kString, Str("\xDF\xDF\xDF")), Encode(ft::kString, Str("SSS")));
  // A case-sensitive key still tells the ligature's cases apart.
  EXPECT_LT(Encode(ft::kString, Str("\xC6 ")), Encode(ft::kString, Str("\xE6 ")));
}

TEST(KeyCodecTest, CustomRuleTables) {
  CollationTables t{};
  for (int b = 0; b < 256; ++b) {
    t.sort_order[b] = static_cast<uint8_t>(b);
    t.key_weights[b] = static_cast<uint8_t>(255 - b);
    t.upper[b] = static_cast<uint8_t>(b);
  }
  StringTreatment st;
  st.tables = &t;
  // One-byte replacement (second replacement 0), and rules after an empty
  // one are not read.
  const uint8_t rules[] = {'x', 'y', 0, 0, 'a', 'b', 'c', 0, 0, 0, 0, 0, 'q', 'Q', 'Q', 0};
  std::memcpy(t.rules.data(), rules, sizeof rules);
  EXPECT_EQ(Encode(ft::kString, Str("xaq---"), false, st), Str("ybcq--"));
  // Sixteen rules, none empty: all are used and the scan stops at 16.
  for (size_t r = 0; r < kMaxCollationRules; ++r) {
    t.rules[4 * r] = static_cast<uint8_t>('A' + r);
    t.rules[4 * r + 1] = static_cast<uint8_t>('a' + r);
    t.rules[4 * r + 2] = 0;
  }
  EXPECT_EQ(Encode(ft::kString, Str("AP"), false, st), Str("ap"));
  // OEM tables: expansion on the ANSI text, then the OEM byte's key weight.
  st.oem = true;
  EXPECT_EQ(Encode(ft::kString, Str("A\xE9"), false, st),
            (Bytes{static_cast<uint8_t>(255 - 'a'), static_cast<uint8_t>(255 - 0x82)}));
}

TEST(KeyCodecTest, OemAndAnsiTablesGiveTheSameKeys) {
  std::mt19937 rng(3);
  StringTreatment ansi, oem;
  oem.oem = true;
  for (int i = 0; i < 2000; ++i) {
    Bytes s(1 + rng() % 12);
    for (uint8_t& b : s) b = static_cast<uint8_t>(rng());
    ASSERT_EQ(Encode(ft::kString, s, false, ansi), Encode(ft::kString, s, false, oem));
  }
}

TEST(KeyCodecTest, DescendingStringsReverseTheOrder) {
  EXPECT_GT(Encode(ft::kString, Str("a"), true), Encode(ft::kString, Str("b"), true));
  EXPECT_GT(Encode(ft::kCString, Str(std::string("ab\0", 3)), true),
            Encode(ft::kCString, Str(std::string("abc", 3)), true));
}

// --- blanks, bounds, whole keys --------------------------------------------

TEST(KeyCodecTest, BlankFields) {
  struct Case {
    uint8_t type;
    Bytes field;
    bool blank;
  };
  const Case cases[] = {
      {ft::kString, Str("   "), true},  {ft::kString, Str(" a "), false},
      {ft::kString, Bytes(3, 0), false}, {ft::kGroup, Str("  "), true},
      {ft::kCString, Str(std::string("\0ab", 3)), true}, {ft::kCString, Str("a\0"), false},
      {ft::kCString, Str("   "), false}, {ft::kPString, Bytes{0, 'x'}, true},
      {ft::kPString, Bytes{1, 'x'}, false}, {ft::kLong, Le<int32_t>(0), true},
      {ft::kLong, Le<int32_t>(256), false}, {ft::kReal, Le(-0.0), false},
      {ft::kByte, Bytes{0}, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsBlankField(c.type, c.field), c.blank)
        << int(c.type) << " " << std::string(c.field.begin(), c.field.end());
  }
}

TEST(KeyCodecTest, ShortSpansAreRefusedWithoutWriting) {
  CodecComponent c{ft::kLong, 0, 4, false};
  Bytes field = Le<int32_t>(5), out(3, 0xEE), key(3, 0);
  EXPECT_FALSE(EncodeComponent(c, {}, field, out));
  EXPECT_EQ(out, Bytes(3, 0xEE));
  Bytes four(4);
  EXPECT_FALSE(EncodeComponent(c, {}, std::span(field).first(3), four));
  EXPECT_FALSE(DecodeComponent(c, key, out));
  Bytes wide(4);
  EXPECT_FALSE(DecodeComponent(CodecComponent{ft::kString, 0, 4, false}, wide, wide))
      << "string keys cannot be decoded";
  EXPECT_FALSE(IsDecodable(ft::kCString));
  EXPECT_TRUE(IsDecodable(ft::kDecimal));

  // A component beyond the record buffer: nothing is written.
  const CodecComponent parts[] = {{ft::kLong, 0, 4, false}, {ft::kString, 4, 8, false}};
  Bytes record(10, ' '), whole(12, 0xEE);
  EXPECT_FALSE(EncodeComponents(parts, {}, record, whole));
  EXPECT_EQ(whole, Bytes(12, 0xEE));
  EXPECT_FALSE(AllComponentsBlank(parts, record));
  Bytes record12(12, ' '), out11(11);
  EXPECT_FALSE(EncodeComponents(parts, {}, record12, out11));
}

TEST(KeyCodecTest, ComponentsConcatenateInDeclarationOrder) {
  // Record: LONG priority at 0, STRING name (6) at 4; key: priority
  // ascending, name descending and case-insensitive.
  const CodecComponent parts[] = {{ft::kLong, 0, 4, false}, {ft::kString, 4, 6, true}};
  EXPECT_EQ(ComponentsSize(parts), 10u);
  auto record = [](int32_t priority, const std::string& name) {
    Bytes r = Le(priority);
    Bytes n = Str(name);
    n.resize(6, ' ');
    r.insert(r.end(), n.begin(), n.end());
    return r;
  };
  auto key = [&](const Bytes& r) {
    Bytes k(10);
    EXPECT_TRUE(EncodeComponents(parts, CaseInsensitive(), r, k));
    return k;
  };
  const Bytes ordered[] = {record(-5, "zed"), record(-5, "Abel"), record(0, "Milk"),
                           record(0, "eggs"), record(7, "")};
  for (size_t i = 1; i < std::size(ordered); ++i) {
    EXPECT_LT(key(ordered[i - 1]), key(ordered[i])) << i;
  }
  EXPECT_EQ(key(record(3, "Home")), key(record(3, "HOME")));
  Bytes one = key(record(1, ""));
  EXPECT_EQ(Bytes(one.begin(), one.begin() + 4), Hex("80 00 00 01"));

  Bytes blank = record(0, "");
  EXPECT_TRUE(AllComponentsBlank(parts, blank));
  EXPECT_FALSE(AllComponentsBlank(parts, record(0, "a")));
  EXPECT_FALSE(AllComponentsBlank(parts, record(1, "")));
}

}  // namespace
}  // namespace tessera
