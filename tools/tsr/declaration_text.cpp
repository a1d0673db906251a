#include "tools/tsr/declaration_text.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace tsr {

using tessera::FieldDescription;
using tessera::FieldType;
using tessera::KeyDescription;
using tessera::MemoDescription;
using tessera::TableDeclaration;

namespace {

struct Token {
  enum Kind { kName, kNumber, kText, kPunct, kEnd } kind = kEnd;
  std::string text;  // names in upper case; texts unquoted
  size_t column = 0;  // 1-based
};

class Fault {
 public:
  Fault(size_t column, std::string what) : column(column), what(std::move(what)) {}
  size_t column;
  std::string what;
};

bool NameStart(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool NamePart(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == ':' || c == '.';
}

std::vector<Token> Lex(std::string_view s) {
  std::vector<Token> out;
  size_t i = 0;
  while (i < s.size()) {
    const char c = s[i];
    if (std::isspace(static_cast<unsigned char>(c))) {
      ++i;
    } else if (c == '!') {
      while (i < s.size() && s[i] != '\n') ++i;
    } else if (NameStart(c)) {
      Token t{Token::kName, {}, i + 1};
      while (i < s.size() && NamePart(s[i])) {
        t.text += static_cast<char>(std::toupper(static_cast<unsigned char>(s[i])));
        ++i;
      }
      out.push_back(t);
    } else if (std::isdigit(static_cast<unsigned char>(c))) {
      Token t{Token::kNumber, {}, i + 1};
      while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) t.text += s[i++];
      if (i < s.size() && NamePart(s[i])) throw Fault(i + 1, "unexpected character after a number");
      out.push_back(t);
    } else if (c == '\'') {
      Token t{Token::kText, {}, i + 1};
      ++i;
      for (;;) {
        if (i >= s.size()) throw Fault(t.column, "text without its closing quote");
        if (s[i] == '\'') {
          if (i + 1 < s.size() && s[i + 1] == '\'') {
            t.text += '\'';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        t.text += s[i++];
      }
      out.push_back(t);
    } else if (c == '(' || c == ')' || c == ',' || c == ';' || c == '-' || c == '+') {
      out.push_back({Token::kPunct, std::string(1, c), i + 1});
      ++i;
    } else {
      throw Fault(i + 1, std::string("unexpected character '") + c + "'");
    }
  }
  out.push_back({Token::kEnd, {}, s.size() + 1});
  return out;
}

struct TypeInfo {
  FieldType type;
  uint32_t size;  // 0: given in parentheses
};

const std::map<std::string, TypeInfo>& Types() {
  static const std::map<std::string, TypeInfo> types = {
      {"BYTE", {FieldType::kByte, 1}},       {"SHORT", {FieldType::kShort, 2}},
      {"USHORT", {FieldType::kUShort, 2}},   {"DATE", {FieldType::kDate, 4}},
      {"TIME", {FieldType::kTime, 4}},       {"LONG", {FieldType::kLong, 4}},
      {"ULONG", {FieldType::kULong, 4}},     {"SREAL", {FieldType::kSReal, 4}},
      {"REAL", {FieldType::kReal, 8}},       {"DECIMAL", {FieldType::kDecimal, 0}},
      {"STRING", {FieldType::kString, 0}},   {"CSTRING", {FieldType::kCString, 0}},
      {"PSTRING", {FieldType::kPString, 0}}, {"GROUP", {FieldType::kGroup, 0}},
  };
  return types;
}

class Parser {
 public:
  explicit Parser(std::vector<Token> tokens) : t_(std::move(tokens)) {}

  void Parse(TableDeclaration* out) {
    if (Peek().kind == Token::kEnd) throw Fault(Peek().column, "the declaration is empty");
    for (;;) {
      Item();
      if (Peek().kind == Token::kEnd) break;
      if (!IsPunct(",") && !IsPunct(";")) {
        throw Fault(Peek().column, "expected ',' or ';' before '" + Peek().text + "'");
      }
      Take();
    }
    if (fields_.empty()) throw Fault(1, "the declaration has no fields");
    if (!open_groups_.empty()) {
      throw Fault(Peek().column, "group " + fields_[open_groups_.back().index].label +
                                     " has fewer members than declared");
    }
    // Keys name fields that may be declared after them: resolve at the end.
    for (auto& [key, refs] : pending_keys_) {
      for (size_t i = 0; i < refs.size(); ++i) {
        auto it = field_index_.find(refs[i].name);
        if (it == field_index_.end()) {
          throw Fault(refs[i].column, "key component " + refs[i].name + " is no field");
        }
        keys_[key].components.push_back(refs[i].descending
                                            ? tessera::KeyComponent::Descending(it->second)
                                            : tessera::KeyComponent::Ascending(it->second));
      }
    }
    out->fields = fields_;
    out->memos = memos_;
    out->keys = keys_;
    out->record_size = end_;
  }

 private:
  struct GroupState {
    size_t index;
    uint32_t members_left;
  };
  struct ComponentRef {
    std::string name;
    bool descending;
    size_t column;
  };

  const Token& Peek() const { return t_[pos_]; }
  Token Take() { return t_[pos_ < t_.size() - 1 ? pos_++ : pos_]; }
  bool IsPunct(const char* p) const { return Peek().kind == Token::kPunct && Peek().text == p; }
  bool IsWord(const char* w) const { return Peek().kind == Token::kName && Peek().text == w; }
  void Expect(const char* p) {
    if (!IsPunct(p)) throw Fault(Peek().column, std::string("expected '") + p + "'" + Found());
    Take();
  }
  std::string Found() const {
    return Peek().kind == Token::kEnd ? " at the end" : " before '" + Peek().text + "'";
  }
  std::string Name(const char* what) {
    if (Peek().kind != Token::kName) throw Fault(Peek().column, std::string("expected ") + what + Found());
    return Take().text;
  }
  uint32_t Number(const char* what, uint32_t lo, uint32_t hi) {
    if (Peek().kind != Token::kNumber) throw Fault(Peek().column, std::string("expected ") + what + Found());
    const Token t = Take();
    if (t.text.size() > 9 || std::stoul(t.text) < lo || std::stoul(t.text) > hi) {
      throw Fault(t.column, std::string(what) + " must be from " + std::to_string(lo) + " to " +
                                std::to_string(hi));
    }
    return static_cast<uint32_t>(std::stoul(t.text));
  }
  std::string Text() {
    Expect("(");
    if (Peek().kind != Token::kText) throw Fault(Peek().column, "expected a quoted text" + Found());
    std::string s = Take().text;
    Expect(")");
    return s;
  }

  void Item() {
    if (IsWord("KEY")) {
      Take();
      Key();
      return;
    }
    const Token name_token = Peek();
    const std::string name = Name("a field name or KEY");
    if (Peek().kind != Token::kName) throw Fault(Peek().column, "expected the type of " + name + Found());
    const Token type = Take();
    if (type.text == "MEMO" || type.text == "BLOB") {
      Memo(name, name_token.column, type);
      return;
    }
    Field(name, name_token.column, type);
  }

  void CheckNewName(const std::string& name, size_t column) {
    if (field_index_.count(name) || memo_names_.count(name) || key_names_.count(name)) {
      throw Fault(column, name + " is declared twice");
    }
  }

  void Field(const std::string& name, size_t column, const Token& type) {
    CheckNewName(name, column);
    auto it = Types().find(type.text);
    if (it == Types().end()) throw Fault(type.column, "unknown type " + type.text);
    FieldDescription f;
    f.type = it->second.type;
    f.label = name;
    f.element_length = it->second.size;
    uint32_t group_members = 0;
    if (f.type == FieldType::kDecimal) {
      Expect("(");
      const uint32_t digits = Number("the digit count", 1, 31);
      uint32_t places = 0;
      if (IsPunct(",")) {
        Take();
        places = Number("the decimal places", 0, digits);
      }
      Expect(")");
      f.element_length = digits / 2 + 1;
      f.places = static_cast<uint8_t>(places);
    } else if (f.type == FieldType::kGroup) {
      Expect("(");
      group_members = Number("the member count", 1, 10000);
      Expect(")");
    } else if (f.element_length == 0) {
      Expect("(");
      f.element_length = Number("the length", 1, tessera::kMaxCStringLength);
      Expect(")");
    }
    std::optional<uint32_t> over;
    for (;;) {
      if (IsWord("DIM")) {
        Take();
        Expect("(");
        uint64_t count = Number("a dimension", 1, 15000);
        while (IsPunct(",")) {
          Take();
          count *= Number("a dimension", 1, 15000);
          if (count > 15000) throw Fault(Peek().column, "too many elements");
        }
        Expect(")");
        f.element_count = static_cast<uint32_t>(count);
      } else if (IsWord("OVER")) {
        Take();
        Expect("(");
        const Token target = Peek();
        const std::string other = Name("the name of the field it lies over");
        auto at = field_index_.find(other);
        if (at == field_index_.end()) throw Fault(target.column, other + " is no earlier field");
        over = fields_[at->second].offset;
        Expect(")");
      } else if (IsWord("PICTURE")) {
        Take();
        f.picture = Text();
      } else if (IsWord("NAME")) {
        Take();
        f.external_name = Text();
      } else {
        break;
      }
    }
    if (f.type == FieldType::kGroup && f.element_count != 1) {
      throw Fault(type.column, "a GROUP cannot have dimensions here");
    }
    f.offset = over ? *over : end_;
    const uint64_t size = uint64_t{f.element_count} * f.element_length;
    if (!over && f.type != FieldType::kGroup) {
      if (end_ + size > tessera::kMaxDataSize) {
        throw Fault(column, "the record would be longer than " +
                                std::to_string(tessera::kMaxDataSize) + " bytes");
      }
      end_ += static_cast<uint32_t>(size);
    }
    const size_t index = fields_.size();
    field_index_[name] = static_cast<int>(index);
    fields_.push_back(f);
    if (!open_groups_.empty()) {
      --open_groups_.back().members_left;
    }
    if (f.type == FieldType::kGroup) {
      fields_.back().group_members = group_members;
      open_groups_.push_back({index, group_members});
    }
    // Close the groups this field completes, innermost first.
    while (!open_groups_.empty() && open_groups_.back().members_left == 0) {
      const size_t g = open_groups_.back().index;
      open_groups_.pop_back();
      // A finished group was counted as one member of its enclosing group
      // when it opened.
      fields_[g].element_length = end_ - fields_[g].offset;
    }
  }

  void Memo(const std::string& name, size_t column, const Token& type) {
    CheckNewName(name, column);
    MemoDescription m;
    m.label = name;
    if (type.text == "MEMO") {
      Expect("(");
      m.size = Number("the memo size", 1, tessera::kMaxMemoSize);
      Expect(")");
    } else {
      m.flags |= tessera::kMemoBlob;
    }
    for (;;) {
      if (IsWord("BINARY")) {
        Take();
        m.flags |= tessera::kMemoBinary;
      } else if (IsWord("NAME")) {
        Take();
        m.external_name = Text();
      } else {
        break;
      }
    }
    memo_names_[name] = memos_.size();
    memos_.push_back(m);
  }

  void Key() {
    const Token name_token = Peek();
    const std::string name = Name("the key name");
    CheckNewName(name, name_token.column);
    KeyDescription k;
    k.label = name;
    for (;;) {
      if (IsWord("DUP")) {
        k.attributes |= tessera::kKeyDuplicates;
      } else if (IsWord("OPT")) {
        k.attributes |= tessera::kKeyOptional;
      } else if (IsWord("NOCASE")) {
        k.attributes |= tessera::kKeyNoCase;
      } else if (IsWord("PRIMARY")) {
        k.attributes |= tessera::kKeyPrimary;
      } else if (IsWord("INDEX")) {
        k.attributes |= tessera::kKeyIndex;
      } else if (IsWord("NAME")) {
        Take();
        k.external_name = Text();
        continue;
      } else {
        break;
      }
      Take();
    }
    if (!IsPunct("(")) {
      throw Fault(Peek().column, "expected a key attribute (DUP OPT NOCASE PRIMARY INDEX) or '('" +
                                     Found());
    }
    Take();
    std::vector<ComponentRef> refs;
    for (;;) {
      bool descending = false;
      if (IsPunct("-") || IsPunct("+")) descending = Take().text == "-";
      const size_t at = Peek().column;
      refs.push_back({Name("a field name"), descending, at});
      if (IsPunct(")")) break;
      Expect(",");
    }
    Take();
    key_names_[name] = keys_.size();
    pending_keys_.emplace_back(keys_.size(), refs);
    keys_.push_back(k);
  }

  std::vector<Token> t_;
  size_t pos_ = 0;
  uint32_t end_ = 0;
  std::vector<FieldDescription> fields_;
  std::vector<MemoDescription> memos_;
  std::vector<KeyDescription> keys_;
  std::map<std::string, int> field_index_;
  std::map<std::string, size_t> memo_names_, key_names_;
  std::vector<GroupState> open_groups_;
  std::vector<std::pair<size_t, std::vector<ComponentRef>>> pending_keys_;
};

std::string Quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'') out += '\'';
    out += c;
  }
  return out + "'";
}

}  // namespace

bool ParseDeclaration(std::string_view text, TableDeclaration* out, std::string* error) {
  try {
    Parser(Lex(text)).Parse(out);
    return true;
  } catch (const Fault& f) {
    *error = "column " + std::to_string(f.column) + ": " + f.what;
    return false;
  }
}

std::string TypeName(uint8_t type) {
  for (const auto& [name, info] : Types()) {
    if (static_cast<uint8_t>(info.type) == type) return name;
  }
  if (type == tessera::field_type::kPDecimal) return "PDECIMAL";
  return "TYPE<" + std::to_string(type) + ">";
}

std::string FormatDefinition(const tessera::TableDefinition& d) {
  std::vector<std::string> items;
  std::vector<std::string> comments;
  for (size_t i = 0; i < d.fields.size(); ++i) {
    const auto& f = d.fields[i];
    std::string s = f.name + " " + TypeName(f.type);
    const uint32_t length = f.element_count ? f.size / f.element_count : f.size;
    switch (f.type) {
      case tessera::field_type::kString:
      case tessera::field_type::kCString:
      case tessera::field_type::kPString:
        s += "(" + std::to_string(f.element_length ? f.element_length : length) + ")";
        break;
      case tessera::field_type::kDecimal:
      case tessera::field_type::kPDecimal:
        s += "(" + std::to_string(2 * (f.element_length ? f.element_length : length) - 1);
        if (f.places) s += "," + std::to_string(f.places);
        s += ")";
        break;
      case tessera::field_type::kGroup:
        s += "(" + std::to_string(f.group_members) + ")";
        break;
      default:
        break;
    }
    if (f.element_count > 1) s += " DIM(" + std::to_string(f.element_count) + ")";
    if (f.over) {
      // The field it lies over: the first earlier field starting at its
      // offset, or the one whose bytes hold that offset.
      for (size_t j = 0; j < i; ++j) {
        const auto& g = d.fields[j];
        if (!g.over && g.offset <= f.offset && f.offset < g.offset + std::max<uint32_t>(g.size, 1)) {
          s += " OVER(" + g.name + ")";
          break;
        }
      }
    }
    if (f.picture && !f.picture->empty()) s += " PICTURE(" + Quote(*f.picture) + ")";
    items.push_back(s);
    comments.push_back("offset " + std::to_string(f.offset) + ", size " + std::to_string(f.size));
  }
  for (size_t i = 0; i < d.memos.size(); ++i) {
    const auto& m = d.memos[i];
    std::string s = m.label + (m.blob() ? " BLOB" : " MEMO(" + std::to_string(m.size) + ")");
    if (m.binary()) s += " BINARY";
    if (m.external_name && !m.external_name->empty()) s += " NAME(" + Quote(*m.external_name) + ")";
    items.push_back(s);
    comments.push_back("memo " + std::to_string(i + 1));
  }
  for (size_t i = 0; i < d.keys.size(); ++i) {
    const auto& k = d.keys[i];
    std::string s = "KEY " + k.label;
    if (k.attributes & tessera::key_attr::kDuplicates) s += " DUP";
    if (k.attributes & tessera::key_attr::kOptional) s += " OPT";
    if (k.attributes & tessera::key_attr::kCaseInsensitive) s += " NOCASE";
    if (k.attributes & tessera::key_attr::kPrimary) s += " PRIMARY";
    if (k.attributes & tessera::key_attr::kIndex) s += " INDEX";
    if (k.external_name && !k.external_name->empty()) s += " NAME(" + Quote(*k.external_name) + ")";
    s += " (";
    for (size_t c = 0; c < k.parts.size(); ++c) {
      if (c) s += ", ";
      if (k.parts[c].descending) s += "-";
      s += k.parts[c].field < d.fields.size() ? d.fields[k.parts[c].field].name : "?";
    }
    s += ")";
    items.push_back(s);
    comments.push_back("key " + std::to_string(i + 1));
  }
  std::string out;
  for (size_t i = 0; i < items.size(); ++i) {
    out += items[i];
    out += i + 1 < items.size() ? ";" : " ";
    out += std::string(items[i].size() < 60 ? 60 - items[i].size() : 1, ' ');
    out += "! " + comments[i] + "\n";
  }
  return out;
}

}  // namespace tsr
