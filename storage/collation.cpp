// Collation tables and code-page conversion; layout and invariants in
// collation.h. Everything here is computed at compile time from three small
// hand-written lists: the upper halves of the two code pages (as Unicode code
// points) and the collating sequence of the ANSI bytes.
#include "storage/collation.h"

#include <algorithm>
#include <cstring>

#include "storage/internal_failure.h"

namespace tessera {
namespace {

using Table = std::array<uint8_t, 256>;

// Windows-1252, bytes 0x80-0x9F (0 = unassigned). 0xA0-0xFF equal Unicode.
constexpr char16_t kAnsi80[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,       // 88
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,  // 98
};

// CP437, bytes 0x80-0xFF.
constexpr char16_t kOem80[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7,  // 80
    0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5,  // 88
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,  // 90
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192,  // 98
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA,  // A0
    0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,  // A8
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556,  // B0
    0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510,  // B8
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,  // C0
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567,  // C8
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B,  // D0
    0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,  // D8
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,  // E0
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229,  // E8
    0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,  // F0
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,  // F8
};

constexpr char16_t AnsiCodePoint(int b) {
  if (b < 0x80 || b >= 0xA0) return static_cast<char16_t>(b);
  return kAnsi80[b - 0x80];
}

// ANSI -> OEM. Below 0x80 the pages agree. Above, a character present in
// both maps to itself; the ANSI bytes left over are paired, in ascending
// order, with the OEM bytes left over, so the map is a permutation and
// converting back restores every byte. (A best-fit map, such as 'A' for 'À',
// would lose text stored in OEM tables.)
constexpr Table MakeAnsiToOem() {
  Table map{};
  bool ansi_done[256] = {};
  bool oem_used[256] = {};
  for (int b = 0; b < 0x80; ++b) {
    map[b] = static_cast<uint8_t>(b);
    ansi_done[b] = oem_used[b] = true;
  }
  for (int a = 0x80; a < 256; ++a) {
    char16_t cp = AnsiCodePoint(a);
    if (cp == 0) continue;
    for (int o = 0x80; o < 256; ++o) {
      if (kOem80[o - 0x80] == cp) {
        map[a] = static_cast<uint8_t>(o);
        ansi_done[a] = oem_used[o] = true;
        break;
      }
    }
  }
  int o = 0x80;
  for (int a = 0x80; a < 256; ++a) {
    if (ansi_done[a]) continue;
    while (oem_used[o]) ++o;
    map[a] = static_cast<uint8_t>(o);
    oem_used[o] = true;
  }
  return map;
}

constexpr Table Invert(const Table& map) {
  Table inverse{};
  for (int b = 0; b < 256; ++b) inverse[map[b]] = static_cast<uint8_t>(b);
  return inverse;
}

constexpr bool IsPermutation(const Table& map) {
  bool seen[256] = {};
  for (uint8_t v : map) {
    if (seen[v]) return false;
    seen[v] = true;
  }
  return true;
}

constexpr Table kAnsiToOem = MakeAnsiToOem();
constexpr Table kOemToAnsi = Invert(kAnsiToOem);
static_assert(IsPermutation(kAnsiToOem));

// The collating sequence: every ANSI byte once, lowest first.
constexpr uint8_t kSequence[256] = {
    0x00,
    // controls, then the bytes Windows-1252 leaves unassigned
    0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C,
    0x0D, 0x0E, 0x0F, 0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18,
    0x19, 0x1A, 0x1B, 0x1C, 0x1D, 0x1E, 0x1F, 0x7F, 0x81, 0x8D, 0x8F, 0x90,
    0x9D,
    // spaces
    0x20, 0xA0,
    // ASCII punctuation in code order
    0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28, 0x29, 0x2A, 0x2B, 0x2C,
    0x2D, 0x2E, 0x2F, 0x3A, 0x3B, 0x3C, 0x3D, 0x3E, 0x3F, 0x40, 0x5B, 0x5C,
    0x5D, 0x5E, 0x5F, 0x60, 0x7B, 0x7C, 0x7D, 0x7E,
    // other symbols in code order
    0x80, 0x82, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8B, 0x91, 0x92, 0x93,
    0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9B, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5,
    0xA6, 0xA7, 0xA8, 0xA9, 0xAB, 0xAC, 0xAD, 0xAE, 0xAF, 0xB0, 0xB1, 0xB4,
    0xB6, 0xB7, 0xB8, 0xBB, 0xBF, 0xD7, 0xF7,
    // digits, then superscripts and fractions
    0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0xB9, 0xB2,
    0xB3, 0xBC, 0xBD, 0xBE,
    // letters: upper, lower, then accented pairs
    0x41, 0x61, 0xC0, 0xE0, 0xC1, 0xE1, 0xC2, 0xE2, 0xC3, 0xE3, 0xC4, 0xE4,
    0xC5, 0xE5, 0xC6, 0xE6, 0xAA,                                     // A
    0x42, 0x62,                                                       // B
    0x43, 0x63, 0xC7, 0xE7,                                           // C
    0x44, 0x64, 0xD0, 0xF0,                                           // D
    0x45, 0x65, 0xC8, 0xE8, 0xC9, 0xE9, 0xCA, 0xEA, 0xCB, 0xEB,       // E
    0x46, 0x66, 0x83,                                                 // F
    0x47, 0x67, 0x48, 0x68,                                           // G H
    0x49, 0x69, 0xCC, 0xEC, 0xCD, 0xED, 0xCE, 0xEE, 0xCF, 0xEF,       // I
    0x4A, 0x6A, 0x4B, 0x6B, 0x4C, 0x6C, 0x4D, 0x6D,                   // J-M
    0x4E, 0x6E, 0xD1, 0xF1,                                           // N
    0x4F, 0x6F, 0xD2, 0xF2, 0xD3, 0xF3, 0xD4, 0xF4, 0xD5, 0xF5, 0xD6,
    0xF6, 0xD8, 0xF8, 0x8C, 0x9C, 0xBA,                               // O
    0x50, 0x70, 0x51, 0x71, 0x52, 0x72,                               // P-R
    0x53, 0x73, 0x8A, 0x9A, 0xDF,                                     // S
    0x54, 0x74, 0xDE, 0xFE,                                           // T
    0x55, 0x75, 0xD9, 0xF9, 0xDA, 0xFA, 0xDB, 0xFB, 0xDC, 0xFC,       // U
    0x56, 0x76, 0x57, 0x77, 0x58, 0x78,                               // V-X
    0x59, 0x79, 0xDD, 0xFD, 0x9F, 0xFF,                               // Y
    0x5A, 0x7A, 0x8E, 0x9E,                                           // Z
    0xB5,                                                             // micro
};

constexpr Table MakeSortOrder() {
  Table order{};
  for (int i = 0; i < 256; ++i) order[kSequence[i]] = static_cast<uint8_t>(i);
  return order;
}

constexpr Table kSortOrder = MakeSortOrder();
static_assert(IsPermutation(kSortOrder), "every ANSI byte once in kSequence");

constexpr bool IsAnsiUpper(int b) {
  return (b >= 'A' && b <= 'Z') || b == 0x8A || b == 0x8C || b == 0x8E ||
         b == 0x9F || (b >= 0xC0 && b <= 0xDE && b != 0xD7);
}

constexpr int AnsiUpperOf(int b) {
  if (b >= 'a' && b <= 'z') return b - 0x20;
  if (b == 0x9A || b == 0x9C || b == 0x9E) return b - 0x10;
  if (b == 0xFF) return 0x9F;
  if (b >= 0xE0 && b <= 0xFE && b != 0xF7) return b - 0x20;
  return b;
}

constexpr Table MakeUpper() {
  Table upper{};
  for (int b = 0; b < 256; ++b) upper[b] = static_cast<uint8_t>(AnsiUpperOf(b));
  return upper;
}

constexpr Table MakeClasses() {
  using namespace char_class;
  Table classes{};
  for (int b = 0; b < 256; ++b) {
    uint8_t c = 0;
    if (b < 0x20 || b == 0x7F) {
      c = kControl;
      if (b >= 0x09 && b <= 0x0D) c |= kSpace;
    } else if (b == 0x20 || b == 0xA0) {
      c = kSpace;
    } else if (b >= 0x80 && AnsiCodePoint(b) == 0) {
      c = kUnassigned;
    } else if (b >= '0' && b <= '9') {
      c = kDigit;
    } else if (IsAnsiUpper(b)) {
      c = kUpper | kAlpha;
    } else if (AnsiUpperOf(b) != b || b == 0xDF || b == 0xAA || b == 0xBA ||
               b == 0xB5 || b == 0x83) {
      // Lower-case letters, including those without an upper-case form in
      // this code page (sharp s, the ordinal indicators, micro, florin):
      // folding leaves those unchanged.
      c = kLower | kAlpha;
    } else {
      c = kPunct;
    }
    classes[b] = c;
  }
  return classes;
}

// Letters that collate as two: sharp s as "SS" (upper case, so that a
// case-insensitive key treats "STRAßE" and "strasse" alike), the ligatures
// as their two letters.
constexpr std::array<uint8_t, 64> MakeRules() {
  std::array<uint8_t, 64> rules{};
  const uint8_t list[][3] = {
      {0xDF, 'S', 'S'}, {0xC6, 'A', 'E'}, {0xE6, 'a', 'e'},
      {0x8C, 'O', 'E'}, {0x9C, 'o', 'e'},
  };
  size_t i = 0;
  for (const auto& r : list) {
    rules[i] = r[0];
    rules[i + 1] = r[1];
    rules[i + 2] = r[2];
    i += 4;
  }
  return rules;
}

constexpr CollationTables MakePlatform() {
  CollationTables t;
  t.sort_order = kSortOrder;
  for (int o = 0; o < 256; ++o) t.key_weights[o] = kSortOrder[kOemToAnsi[o]];
  t.upper = MakeUpper();
  t.classes = MakeClasses();
  t.rules = MakeRules();
  return t;
}

constexpr CollationTables kPlatform = MakePlatform();

}  // namespace

const CollationTables& PlatformCollation() { return kPlatform; }

uint8_t AnsiToOem(uint8_t c) { return kAnsiToOem[c]; }
uint8_t OemToAnsi(uint8_t c) { return kOemToAnsi[c]; }

void AnsiToOem(std::span<uint8_t> text) {
  for (uint8_t& c : text) c = kAnsiToOem[c];
}

void OemToAnsi(std::span<uint8_t> text) {
  for (uint8_t& c : text) c = kOemToAnsi[c];
}

std::array<uint8_t, 6> CollationRecordKey(uint32_t table_number) {
  return {static_cast<uint8_t>(table_number >> 24),
          static_cast<uint8_t>(table_number >> 16),
          static_cast<uint8_t>(table_number >> 8),
          static_cast<uint8_t>(table_number), 0xFB, 0x01};
}

namespace {
// The tables in stored order, so encode and decode walk one list.
template <typename Tables, typename Fn>
void ForEachTable(Tables& t, Fn fn) {
  fn(t.sort_order);
  fn(t.key_weights);
  fn(t.upper);
  fn(t.classes);
  fn(t.rules);
  fn(t.rule_companion);
}
}  // namespace

void EncodeCollationRecord(const CollationRecord& record,
                           std::array<uint8_t, kCollationRecordSize>* out) {
  uint8_t* p = out->data();
  *p++ = record.oem ? 1 : 0;
  ForEachTable(record.tables, [&](const auto& table) {
    std::memcpy(p, table.data(), table.size());
    p += table.size();
  });
  Check(p == out->data() + out->size(), 3001);
}

Status DecodeCollationRecord(std::span<const uint8_t> data, CollationRecord* out) {
  if (data.size() != kCollationRecordSize) {
    return Status::Error(err::kInvalidDataFile,
                         "collation record is " + std::to_string(data.size()) +
                             " bytes, not " + std::to_string(kCollationRecordSize));
  }
  const uint8_t* p = data.data();
  out->oem = *p++ != 0;
  ForEachTable(out->tables, [&](auto& table) {
    std::memcpy(table.data(), p, table.size());
    p += table.size();
  });
  return Status::OK();
}

}  // namespace tessera
