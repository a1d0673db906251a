#include "tools/tsr/record_text.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>

namespace tsr {

namespace ft = tessera::field_type;
using tessera::FieldDefinition;
using tessera::TableDefinition;

namespace {

bool IsText(uint8_t t) { return t == ft::kString || t == ft::kCString || t == ft::kPString; }

uint32_t ElementLength(const FieldDefinition& f) {
  return f.element_count ? f.size / f.element_count : f.size;
}

template <class T>
T Load(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

template <class T>
std::string Shortest(T v) {
  if (!std::isfinite(v)) return std::isnan(v) ? "nan" : (v < 0 ? "-inf" : "inf");
  // Plain digits for everyday magnitudes, an exponent only for the very
  // large and very small; either way the shortest text that reads back.
  char buf[400];
  const T a = v < 0 ? -v : v;
  const bool plain = a == 0 || (a >= T(1e-7) && a < T(1e21));
  auto r = std::to_chars(buf, buf + sizeof buf, v,
                         plain ? std::chars_format::fixed : std::chars_format::scientific);
  return std::string(buf, r.ptr);
}

std::string DecimalText(std::span<const uint8_t> e, int places) {
  std::string digits;
  for (size_t i = 0; i < e.size(); ++i) {
    const int hi = e[i] >> 4, lo = e[i] & 15;
    if (i > 0) digits += static_cast<char>('0' + (hi > 9 ? 9 : hi));
    digits += static_cast<char>('0' + (lo > 9 ? 9 : lo));
  }
  const bool negative = !e.empty() && (e[0] >> 4) != 0;
  while (digits.size() < static_cast<size_t>(places) + 1) digits.insert(digits.begin(), '0');
  std::string whole = digits.substr(0, digits.size() - places);
  const size_t nz = whole.find_first_not_of('0');
  whole = nz == std::string::npos ? "0" : whole.substr(nz);
  std::string out = whole;
  if (places > 0) out += "." + digits.substr(digits.size() - places);
  const bool zero = out.find_first_not_of("0.") == std::string::npos;
  return (negative && !zero ? "-" : "") + out;
}

bool SetDecimal(std::string_view text, std::span<uint8_t> e, int places, std::string* error) {
  bool negative = false;
  size_t i = 0;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  std::string whole, fraction;
  bool point = false;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '.' && !point) {
      point = true;
    } else if (c >= '0' && c <= '9') {
      (point ? fraction : whole) += c;
    } else {
      *error = "not a number";
      return false;
    }
  }
  if (whole.empty() && fraction.empty()) {
    if (text.size() > (negative ? 1u : 0u)) {
      *error = "not a number";
      return false;
    }
  }
  while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
  if (fraction.size() > static_cast<size_t>(places)) {
    *error = "more than " + std::to_string(places) + " decimal places";
    return false;
  }
  fraction.resize(places, '0');
  const size_t nz = whole.find_first_not_of('0');
  whole = nz == std::string::npos ? "" : whole.substr(nz);
  std::string digits = whole + fraction;
  const size_t capacity = 2 * e.size() - 1;
  if (digits.size() > capacity) {
    *error = "too many digits";
    return false;
  }
  digits.insert(digits.begin(), capacity - digits.size(), '0');
  const bool zero = digits.find_first_not_of('0') == std::string::npos;
  std::string nibbles = std::string(1, static_cast<char>(negative && !zero ? 0xF : 0)) + digits;
  for (size_t b = 0; b < e.size(); ++b) {
    auto nib = [&](size_t k) { return k == 0 ? nibbles[0] : nibbles[k] - '0'; };
    e[b] = static_cast<uint8_t>(nib(2 * b) << 4 | nib(2 * b + 1));
  }
  return true;
}

template <class T>
bool SetInteger(std::string_view text, uint8_t* p, std::string* error) {
  int64_t v = 0;
  if (!text.empty()) {
    if (text.front() == '+') text.remove_prefix(1);
    auto r = std::from_chars(text.data(), text.data() + text.size(), v);
    if (r.ec == std::errc::result_out_of_range ||
        (r.ec == std::errc() && (v < std::numeric_limits<T>::min() ||
                                 v > static_cast<int64_t>(std::numeric_limits<T>::max())))) {
      *error = "out of range";
      return false;
    }
    if (r.ec != std::errc() || r.ptr != text.data() + text.size()) {
      *error = "not a whole number";
      return false;
    }
  }
  const T t = static_cast<T>(v);
  std::memcpy(p, &t, sizeof t);
  return true;
}

template <class T>
bool SetReal(std::string_view text, uint8_t* p, std::string* error) {
  T v = 0;
  if (!text.empty()) {
    if (text.front() == '+') text.remove_prefix(1);
    auto r = std::from_chars(text.data(), text.data() + text.size(), v);
    if (r.ec == std::errc::result_out_of_range) {
      *error = "out of range";
      return false;
    }
    if (r.ec != std::errc() || r.ptr != text.data() + text.size()) {
      *error = "not a number";
      return false;
    }
  }
  std::memcpy(p, &v, sizeof v);
  return true;
}

std::string TrimRight(std::string s) {
  while (!s.empty() && (s.back() == ' ')) s.pop_back();
  return s;
}

}  // namespace

std::vector<Column> ColumnsOf(const TableDefinition& d) {
  std::vector<Column> out;
  for (size_t i = 0; i < d.fields.size(); ++i) {
    const auto& f = d.fields[i];
    if (f.over || f.type == ft::kGroup) continue;
    const bool numeric = !IsText(f.type);
    for (uint32_t e = 0; e < std::max<uint32_t>(f.element_count, 1); ++e) {
      Column c;
      c.name = f.element_count > 1 ? f.name + "[" + std::to_string(e + 1) + "]" : f.name;
      c.index = i;
      c.element = e;
      c.numeric = numeric;
      out.push_back(c);
    }
  }
  for (size_t i = 0; i < d.memos.size(); ++i) {
    Column c;
    c.name = d.memos[i].label;
    c.memo = true;
    c.index = i;
    c.binary = d.memos[i].binary() || d.memos[i].blob();
    out.push_back(c);
  }
  return out;
}

std::vector<uint8_t> BlankRecord(const TableDefinition& d) {
  std::vector<uint8_t> r(d.record_length, 0);
  for (const auto& f : d.fields) {
    if (!f.over && f.type == ft::kString && f.offset + f.size <= r.size()) {
      std::memset(r.data() + f.offset, ' ', f.size);
    }
  }
  return r;
}

std::string ColumnText(const TableDefinition& d, const Column& c, std::span<const uint8_t> record,
                       const std::vector<std::vector<uint8_t>>& memos) {
  if (c.memo) {
    if (c.index >= memos.size()) return {};
    const auto& m = memos[c.index];
    if (c.binary) return Base64(m);
    return TrimRight(std::string(m.begin(), m.end()));
  }
  const auto& f = d.fields[c.index];
  const uint32_t length = ElementLength(f);
  const size_t at = f.offset + size_t{c.element} * length;
  if (at + length > record.size()) return {};
  const uint8_t* p = record.data() + at;
  switch (f.type) {
    case ft::kString:
      return TrimRight(std::string(p, p + length));
    case ft::kCString:
      return std::string(reinterpret_cast<const char*>(p), strnlen(reinterpret_cast<const char*>(p), length));
    case ft::kPString: {
      const size_t n = length == 0 ? 0 : std::min<size_t>(p[0], length - 1);
      return std::string(p + 1, p + 1 + n);
    }
    case ft::kByte:
      return std::to_string(p[0]);
    case ft::kShort:
      return std::to_string(Load<int16_t>(p));
    case ft::kUShort:
      return std::to_string(Load<uint16_t>(p));
    case ft::kLong:
      return std::to_string(Load<int32_t>(p));
    case ft::kULong:
    case ft::kDate:
    case ft::kTime:
      return std::to_string(Load<uint32_t>(p));
    case ft::kSReal:
      return Shortest(Load<float>(p));
    case ft::kReal:
      return Shortest(Load<double>(p));
    case ft::kDecimal:
    case ft::kPDecimal:
      return DecimalText({p, length}, f.places);
    default:
      return Base64({p, length});
  }
}

bool SetColumn(const TableDefinition& d, const Column& c, std::string_view text,
               std::span<uint8_t> record, std::vector<std::vector<uint8_t>>* memos,
               std::string* error) {
  if (c.memo) {
    const auto& m = d.memos[c.index];
    auto& buffer = (*memos)[c.index];
    if (c.binary) {
      auto bytes = FromBase64(text);
      if (!bytes) {
        *error = "not base64";
        return false;
      }
      if (!m.blob() && bytes->size() > m.size) {
        *error = "longer than " + std::to_string(m.size) + " bytes";
        return false;
      }
      if (!m.blob()) bytes->resize(m.size, ' ');
      buffer = *bytes;
      return true;
    }
    if (text.size() > m.size) {
      *error = "longer than " + std::to_string(m.size) + " characters";
      return false;
    }
    buffer.assign(m.size, ' ');
    std::copy(text.begin(), text.end(), buffer.begin());
    return true;
  }
  const auto& f = d.fields[c.index];
  const uint32_t length = ElementLength(f);
  const size_t at = f.offset + size_t{c.element} * length;
  if (at + length > record.size()) {
    *error = "field outside the record";
    return false;
  }
  uint8_t* p = record.data() + at;
  switch (f.type) {
    case ft::kString:
      if (text.size() > length) break;
      std::memset(p, ' ', length);
      std::memcpy(p, text.data(), text.size());
      return true;
    case ft::kCString:
      if (text.size() + 1 > length || text.find('\0') != std::string_view::npos) break;
      std::memset(p, 0, length);
      std::memcpy(p, text.data(), text.size());
      return true;
    case ft::kPString:
      if (text.size() + 1 > length || text.size() > 127) break;
      std::memset(p, 0, length);
      p[0] = static_cast<uint8_t>(text.size());
      std::memcpy(p + 1, text.data(), text.size());
      return true;
    case ft::kByte:
      return SetInteger<uint8_t>(text, p, error);
    case ft::kShort:
      return SetInteger<int16_t>(text, p, error);
    case ft::kUShort:
      return SetInteger<uint16_t>(text, p, error);
    case ft::kLong:
      return SetInteger<int32_t>(text, p, error);
    case ft::kULong:
    case ft::kDate:
    case ft::kTime:
      return SetInteger<uint32_t>(text, p, error);
    case ft::kSReal:
      return SetReal<float>(text, p, error);
    case ft::kReal:
      return SetReal<double>(text, p, error);
    case ft::kDecimal:
    case ft::kPDecimal:
      return SetDecimal(text, {p, length}, f.places, error);
    default: {
      auto bytes = FromBase64(text);
      if (!bytes || bytes->size() != length) {
        *error = "not base64 of " + std::to_string(length) + " bytes";
        return false;
      }
      std::memcpy(p, bytes->data(), length);
      return true;
    }
  }
  *error = "longer than " + std::to_string(f.type == ft::kString ? length : length - 1) +
           " characters";
  return false;
}

std::string CsvField(std::string_view v) {
  if (v.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(v);
  std::string out = "\"";
  for (char c : v) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

bool ParseCsv(std::string_view text, std::vector<CsvRow>* rows, std::string* error) {
  size_t i = 0, line = 1;
  while (i < text.size()) {
    CsvRow row;
    row.line = line;
    std::string value;
    for (;;) {
      if (i < text.size() && text[i] == '"') {
        const size_t open_line = line;
        ++i;
        for (;;) {
          if (i >= text.size()) {
            *error = "line " + std::to_string(open_line) + ": a quoted value is not closed";
            return false;
          }
          if (text[i] == '"') {
            if (i + 1 < text.size() && text[i + 1] == '"') {
              value += '"';
              i += 2;
              continue;
            }
            ++i;
            break;
          }
          if (text[i] == '\n') ++line;
          value += text[i++];
        }
        if (i < text.size() && text[i] != ',' && text[i] != '\n' &&
            !(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') &&
            !(text[i] == '\r' && i + 1 == text.size())) {
          *error = "line " + std::to_string(line) + ": text after a closing quote";
          return false;
        }
      } else {
        while (i < text.size() && text[i] != ',' && text[i] != '\n' &&
               !(text[i] == '\r' && (i + 1 == text.size() || text[i + 1] == '\n'))) {
          if (text[i] == '"') {
            *error = "line " + std::to_string(line) + ": a quote inside an unquoted value";
            return false;
          }
          value += text[i++];
        }
      }
      row.values.push_back(std::move(value));
      value.clear();
      if (i < text.size() && text[i] == ',') {
        ++i;
        continue;
      }
      if (i < text.size() && text[i] == '\r') ++i;
      if (i < text.size() && text[i] == '\n') {
        ++i;
        ++line;
      }
      break;
    }
    rows->push_back(std::move(row));
  }
  return true;
}

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else if (c >= 0x80) {
          out += static_cast<char>(0xC0 | (c >> 6));
          out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
}

std::string Base64(std::span<const uint8_t> b) {
  std::string out;
  size_t i = 0;
  for (; i + 2 < b.size(); i += 3) {
    const uint32_t v = b[i] << 16 | b[i + 1] << 8 | b[i + 2];
    for (int s = 18; s >= 0; s -= 6) out += kAlphabet[(v >> s) & 63];
  }
  if (i + 1 == b.size()) {
    const uint32_t v = b[i] << 16;
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += "==";
  } else if (i + 2 == b.size()) {
    const uint32_t v = b[i] << 16 | b[i + 1] << 8;
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += '=';
  }
  return out;
}

std::optional<std::vector<uint8_t>> FromBase64(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::vector<uint8_t> out;
  for (size_t i = 0; i < text.size(); i += 4) {
    uint32_t v = 0;
    int pad = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = text[i + k];
      const char* at = c ? std::strchr(kAlphabet, c) : nullptr;
      if (c == '=' && i + 4 == text.size() && k >= 2) {
        ++pad;
        v <<= 6;
      } else if (at && pad == 0) {
        v = v << 6 | static_cast<uint32_t>(at - kAlphabet);
      } else {
        return std::nullopt;
      }
    }
    out.push_back(static_cast<uint8_t>(v >> 16));
    if (pad < 2) out.push_back(static_cast<uint8_t>(v >> 8));
    if (pad < 1) out.push_back(static_cast<uint8_t>(v));
  }
  return out;
}

}  // namespace tsr
