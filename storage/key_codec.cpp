// Key component encoding; the format and its invariants are in key_codec.h.
#include "storage/key_codec.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace tessera {
namespace {

void Invert(uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(~p[i]);
}

void ReverseCopy(const uint8_t* from, size_t n, uint8_t* to) {
  std::reverse_copy(from, from + n, to);
}

bool IsStringType(uint8_t type) {
  return type == field_type::kString || type == field_type::kCString ||
         type == field_type::kPString || type == field_type::kGroup;
}

// Steps 1-3 of the string treatment, in place on the S bytes at p.
void TreatString(uint8_t* p, size_t s, const StringTreatment& st) {
  const CollationTables& t = *st.tables;
  if (st.case_insensitive) {
    for (size_t i = 0; i < s; ++i) {
      if (t.classes[p[i]] & char_class::kLower) p[i] = t.upper[p[i]];
    }
  }
  auto weigh = [&](uint8_t b) -> uint8_t {
    return st.oem ? t.key_weights[AnsiToOem(b)] : t.sort_order[b];
  };
  if (t.rules[0] == 0) {
    for (size_t i = 0; i < s; ++i) p[i] = weigh(p[i]);
    return;
  }
  // Expansion writes at least as far as it reads, so it reads from a copy.
  uint8_t small[256];
  std::vector<uint8_t> large;
  uint8_t* in = small;
  if (s > sizeof(small)) {
    large.resize(s);
    in = large.data();
  }
  std::memcpy(in, p, s);
  size_t rule_count = 0;
  while (rule_count < kMaxCollationRules && t.rules[4 * rule_count] != 0) ++rule_count;
  size_t out = 0;
  for (size_t i = 0; i < s && out < s; ++i) {
    const uint8_t* rule = nullptr;
    for (size_t r = 0; r < rule_count; ++r) {
      if (t.rules[4 * r] == in[i]) {
        rule = &t.rules[4 * r];
        break;
      }
    }
    if (rule == nullptr) {
      p[out++] = weigh(in[i]);
      continue;
    }
    p[out++] = weigh(rule[1]);
    if (rule[2] != 0 && out < s) p[out++] = weigh(rule[2]);
  }
}

}  // namespace

bool EncodeComponent(const CodecComponent& c, const StringTreatment& st,
                     std::span<const uint8_t> field, std::span<uint8_t> out) {
  const size_t s = c.size;
  if (field.size() < s || out.size() < s) return false;
  const uint8_t* f = field.data();
  uint8_t* o = out.data();
  if (s == 0) return true;
  switch (c.type) {
    case field_type::kUShort:
    case field_type::kDate:
    case field_type::kTime:
    case field_type::kULong:
      ReverseCopy(f, s, o);
      break;
    case field_type::kShort:
    case field_type::kLong:
      ReverseCopy(f, s, o);
      o[0] ^= 0x80;
      break;
    case field_type::kSReal:
    case field_type::kReal:
      // IEEE sign-magnitude: a negative number's bits grow with its
      // magnitude, so inverting them puts larger magnitudes first.
      ReverseCopy(f, s, o);
      if (o[0] & 0x80) {
        Invert(o, s);
      } else {
        o[0] |= 0x80;
      }
      break;
    case field_type::kDecimal:
      std::memcpy(o, f, s);
      if (o[0] & 0xF0) {
        o[0] &= 0x0F;
        Invert(o, s);
      }
      o[0] ^= 0x80;
      break;
    case field_type::kString:
    case field_type::kGroup:
      std::memcpy(o, f, s);
      TreatString(o, s, st);
      break;
    case field_type::kCString: {
      const void* end = std::memchr(f, 0, s);
      size_t n = end ? static_cast<size_t>(static_cast<const uint8_t*>(end) - f) : s;
      std::memcpy(o, f, n);
      std::memset(o + n, 0, s - n);
      TreatString(o, s, st);
      break;
    }
    case field_type::kPString: {
      int length = static_cast<int8_t>(f[0]);
      size_t n = static_cast<size_t>(std::clamp(length, 0, static_cast<int>(s) - 1));
      std::memcpy(o, f + 1, n);
      std::memset(o + n, 0, s - n);
      TreatString(o, s, st);
      break;
    }
    default:
      std::memcpy(o, f, s);
      break;
  }
  if (c.descending) Invert(o, s);
  return true;
}

bool IsDecodable(uint8_t type) { return !IsStringType(type); }

bool DecodeComponent(const CodecComponent& c, std::span<const uint8_t> key,
                     std::span<uint8_t> field) {
  const size_t s = c.size;
  if (!IsDecodable(c.type) || key.size() < s || field.size() < s) return false;
  if (s == 0) return true;
  uint8_t* d = field.data();
  std::memcpy(d, key.data(), s);
  if (c.descending) Invert(d, s);
  switch (c.type) {
    case field_type::kUShort:
    case field_type::kDate:
    case field_type::kTime:
    case field_type::kULong:
      std::reverse(d, d + s);
      break;
    case field_type::kShort:
    case field_type::kLong:
      d[0] ^= 0x80;
      std::reverse(d, d + s);
      break;
    case field_type::kSReal:
    case field_type::kReal:
      if (d[0] & 0x80) {
        d[0] &= 0x7F;
      } else {
        Invert(d, s);
      }
      std::reverse(d, d + s);
      break;
    case field_type::kDecimal:
      d[0] ^= 0x80;
      if (d[0] & 0x80) {  // was below 0x80: negative
        Invert(d, s);
        d[0] |= 0xF0;
      }
      break;
    default:
      break;
  }
  return true;
}

bool IsBlankField(uint8_t type, std::span<const uint8_t> field) {
  switch (type) {
    case field_type::kString:
    case field_type::kGroup:
      return std::all_of(field.begin(), field.end(), [](uint8_t b) { return b == ' '; });
    case field_type::kCString:
    case field_type::kPString:
      return field.empty() || field[0] == 0;
    default:
      return std::all_of(field.begin(), field.end(), [](uint8_t b) { return b == 0; });
  }
}

size_t ComponentsSize(std::span<const CodecComponent> components) {
  size_t total = 0;
  for (const CodecComponent& c : components) total += c.size;
  return total;
}

namespace {
bool FieldOf(const CodecComponent& c, std::span<const uint8_t> record,
             std::span<const uint8_t>* field) {
  if (c.offset > record.size() || c.size > record.size() - c.offset) return false;
  *field = record.subspan(c.offset, c.size);
  return true;
}
}  // namespace

bool EncodeComponents(std::span<const CodecComponent> components,
                      const StringTreatment& st, std::span<const uint8_t> record,
                      std::span<uint8_t> out) {
  if (out.size() < ComponentsSize(components)) return false;
  for (const CodecComponent& c : components) {
    std::span<const uint8_t> field;
    if (!FieldOf(c, record, &field)) return false;
  }
  size_t at = 0;
  for (const CodecComponent& c : components) {
    std::span<const uint8_t> field;
    (void)FieldOf(c, record, &field);
    if (!EncodeComponent(c, st, field, out.subspan(at))) return false;
    at += c.size;
  }
  return true;
}

bool AllComponentsBlank(std::span<const CodecComponent> components,
                        std::span<const uint8_t> record) {
  for (const CodecComponent& c : components) {
    std::span<const uint8_t> field;
    if (!FieldOf(c, record, &field) || !IsBlankField(c.type, field)) return false;
  }
  return true;
}

}  // namespace tessera
