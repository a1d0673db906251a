#include "storage/definition.h"

#include <algorithm>
#include <cstdio>
#include <new>

namespace tessera {
namespace {

constexpr uint8_t kByte = static_cast<uint8_t>(FieldType::kByte);
constexpr uint8_t kReal = static_cast<uint8_t>(FieldType::kReal);
constexpr uint8_t kDecimal = static_cast<uint8_t>(FieldType::kDecimal);
constexpr uint8_t kString = static_cast<uint8_t>(FieldType::kString);
constexpr uint8_t kCString = static_cast<uint8_t>(FieldType::kCString);
constexpr uint8_t kPString = static_cast<uint8_t>(FieldType::kPString);
constexpr uint8_t kGroup = static_cast<uint8_t>(FieldType::kGroup);

constexpr const char* kMismatchText = "Component does not match physical file structure";
constexpr const char* kNoNameText = "No Name or Label Specified";
constexpr const char* kVersionText =
    "You are attempting to open a newer Tessera file format than the driver supports";
constexpr const char* kKeyLengthText =
    "Key components are more than a total of 7526 bytes long";

bool IsDecimalType(uint8_t type) { return type == kDecimal || type == field_type::kPDecimal; }
bool IsStringType(uint8_t type) {
  return type == kString || type == kCString || type == kPString;
}
bool IsSupportedType(uint8_t type) {
  return (type >= kByte && type <= kDecimal) || IsStringType(type) || type == kGroup;
}

// Bytes per element of the fixed-width types (BYTE to REAL), else 0.
uint32_t FixedWidth(uint8_t type) {
  static constexpr uint8_t kWidths[] = {0, 1, 2, 2, 4, 4, 4, 4, 4, 8};
  return type >= kByte && type <= kReal ? kWidths[type] : 0;
}

// Declarations hand names over as C strings would: a zero byte ends them.
// Cutting there keeps the stream's zero-terminated texts decodable.
std::string CText(const std::string& text) { return text.substr(0, text.find('\0')); }
std::optional<std::string> OptionalText(const std::string& text) {
  if (text.empty()) return std::nullopt;
  return CText(text);
}

Status InvalidDescriptor() {
  return Status::Error(err::kInvalidFieldTypeDescriptor, "Invalid Field Type Descriptor");
}

Status Damaged(const std::string& what) {
  return Status::Error(err::kInvalidDataFile, "Invalid Data File: damaged table definition (" +
                                                  what + ")");
}

Status Report(ReportKind kind, int number, const std::string& attribute, int column,
              DefinitionReport* report, const char* text = nullptr, int text_number = 0) {
  DefinitionReport r;
  r.code_text = DefinitionCodeText(kind, number, attribute, column);
  r.text = text != nullptr ? text : DefinitionErrorText(kind, column);
  r.text_number = text_number;
  Status status = Status::Error(err::kInvalidRecordDeclaration, r.code_text + " " + r.text);
  if (report != nullptr) *report = std::move(r);
  return status;
}

ReportKind MemoKind(uint16_t flags) {
  return (flags & kMemoBlob) != 0 ? ReportKind::kBlob : ReportKind::kMemo;
}

// --- Describe ---------------------------------------------------------------

class Describer {
 public:
  Describer(const TableDeclaration& declaration, TableDefinition* out,
            DefinitionReport* report)
      : d_(declaration), out_(out), report_(report),
        create_((declaration.attributes & kTableCreate) != 0) {}

  Status Run() {
    if (d_.fields.size() > 0xFFFF) return InvalidDescriptor();
    uint32_t end = 0;
    Status s = Level(0, d_.fields.size(), 0, false, &end);
    if (!s.ok()) return s;
    // The whole buffer is stored as the data record.
    if (d_.record_size > kMaxDataSize) return InvalidDescriptor();
    out_->record_length = static_cast<uint32_t>(d_.record_size);
    s = Memos();
    if (!s.ok()) return s;
    s = Keys();
    if (!s.ok()) return s;
    return KeySizes();
  }

 private:
  // Describes the fields [first, end) of one level. The running end starts
  // at `start`; `inherited_over` is set inside a group lying over other
  // fields. `*running_end` receives the level's end.
  Status Level(size_t first, size_t end, uint32_t start, bool inherited_over,
               uint32_t* running_end) {
    uint32_t running = start;
    std::vector<uint32_t> sibling_offsets;
    size_t i = first;
    while (i < end) {
      const FieldDescription& f = d_.fields[i];
      const int number = static_cast<int>(i) + 1;
      FieldDefinition def;
      def.type = static_cast<uint8_t>(f.type);
      def.offset = f.offset;
      def.index = static_cast<uint32_t>(i);
      def.over = inherited_over;
      // Fields are laid out without gaps; one that starts early must start
      // exactly where an earlier field of its level starts.
      if (f.offset > running) return InvalidDescriptor();
      const bool overlays = f.offset < running;
      if (overlays) {
        bool found = false;
        for (uint32_t o : sibling_offsets) found = found || o == f.offset;
        if (!found) return InvalidDescriptor();
        def.over = true;
      }
      if (create_ && !def.over && f.label.empty() && f.external_name.empty()) {
        return Report(ReportKind::kField, number, "LABEL", 1, report_);
      }
      def.name = CText(f.stored_name());
      if (f.element_count > 0xFFFF) return Report(ReportKind::kField, number, "DIM", 3, report_);
      def.element_count = f.element_count;
      const uint64_t size = uint64_t{f.element_count} * f.element_length;
      if (IsDecimalType(def.type)) {
        if (f.element_length > 0xFF) return Report(ReportKind::kField, number, "SIZE", 4, report_);
        def.places = f.places;
        def.element_length = f.element_length;
      } else if (IsStringType(def.type)) {
        if ((def.type == kString && f.element_length > kMaxStringLength) ||
            (def.type == kCString && f.element_length > kMaxCStringLength) ||
            f.element_length > 0xFFFF) {
          return Report(ReportKind::kField, number, "SIZE", 4, report_);
        }
        def.element_length = f.element_length;
        def.picture = OptionalText(f.picture);
      } else if (def.type == kGroup) {
        def.group_members = f.group_members;
      } else if (FixedWidth(def.type) != 0) {
        // Key building and conversions read these by their type's width.
        if (f.element_length != FixedWidth(def.type)) return InvalidDescriptor();
      } else if (!IsSupportedType(def.type) && !def.over) {
        return Report(ReportKind::kField, number, "TYPE", 2, report_);
      }
      if (!def.over && def.type != kGroup) {
        if (size > kMaxDataSize) return Report(ReportKind::kField, number, "DIM", 5, report_);
        data_size_ += static_cast<uint32_t>(size);
        if (data_size_ > kMaxDataSize) {
          return Report(ReportKind::kField, number, "SIZE", 5, report_);
        }
      }
      // Every field, overlays included, must lie inside the record buffer:
      // reading or converting it must never run past the buffer's end.
      if (uint64_t{f.offset} + size > d_.record_size) return InvalidDescriptor();
      def.size = static_cast<uint32_t>(size);
      out_->fields.push_back(std::move(def));
      sibling_offsets.push_back(f.offset);
      if (!overlays) running = f.offset + static_cast<uint32_t>(size);
      if (f.type == FieldType::kGroup) {
        const size_t members = f.group_members;
        if (members > end - i - 1) return InvalidDescriptor();
        uint32_t inner_end = 0;
        Status s = Level(i + 1, i + 1 + members, f.offset, out_->fields.back().over, &inner_end);
        if (!s.ok()) return s;
        if (inner_end > f.offset + size) return InvalidDescriptor();
        i += 1 + members;
      } else {
        ++i;
      }
    }
    *running_end = running;
    return Status::OK();
  }

  Status Memos() {
    for (size_t k = 0; k < d_.memos.size(); ++k) {
      const MemoDescription& m = d_.memos[k];
      const ReportKind kind = MemoKind(m.flags);
      const int number = static_cast<int>(k) + 1;
      if (create_ && m.label.empty() && m.external_name.empty()) {
        return Report(kind, number, "LABEL", 1, report_);
      }
      if (k >= kMaxMemos) return Report(kind, number, "MEMOS", 2, report_);
      if (m.size > kMaxMemoSize) return Report(kind, number, "SIZE", 3, report_);
      MemoDefinition def;
      def.label = CText(m.label);
      def.external_name = OptionalText(m.external_name);
      def.size = m.size;
      def.flags = m.flags;
      def.number = static_cast<uint32_t>(number);
      out_->memos.push_back(std::move(def));
    }
    return Status::OK();
  }

  Status Keys() {
    for (size_t k = 0; k < d_.keys.size(); ++k) {
      const KeyDescription& key = d_.keys[k];
      const int number = static_cast<int>(k) + 1;
      if (create_ && key.label.empty() && key.external_name.empty()) {
        return Report(ReportKind::kKey, number, "LABEL", 1, report_);
      }
      if (k >= kMaxKeys) return Report(ReportKind::kKey, number, "KEYS", 2, report_);
      if (key.components.size() > 0xFFFF) return InvalidDescriptor();
      KeyDefinition def;
      def.label = CText(key.label);
      def.external_name = OptionalText(key.external_name);
      def.attributes = static_cast<uint8_t>(key.attributes & 0x1F);
      if ((key.attributes & kKeyIndex) != 0) {
        def.attributes |= key.components.empty() ? key_attr::kDynamicIndex : key_attr::kIndex;
      }
      for (const KeyComponent& c : key.components) {
        if (c.field == 0) return InvalidDescriptor();
        const int index = c.index();
        if (index < 0 || static_cast<size_t>(index) >= out_->fields.size()) {
          return InvalidDescriptor();
        }
        if (out_->fields[static_cast<size_t>(index)].element_count != 1) {
          return InvalidDescriptor();
        }
        def.parts.push_back({static_cast<uint16_t>(index), c.descending()});
      }
      out_->keys.push_back(std::move(def));
    }
    return Status::OK();
  }

  Status KeySizes() {
    for (size_t k = 0; k < out_->keys.size(); ++k) {
      uint32_t total = 0;
      for (const KeyPart& part : out_->keys[k].parts) {
        total += out_->fields[part.field].size;
        if (total > kMaxKeyComponentBytes) {
          return Report(ReportKind::kKey, static_cast<int>(k) + 1, "SIZE", 100, report_,
                        kKeyLengthText, kKeyLengthTextNumber);
        }
      }
    }
    return Status::OK();
  }

  const TableDeclaration& d_;
  TableDefinition* out_;
  DefinitionReport* report_;
  const bool create_;
  uint32_t data_size_ = 0;
};

// --- Stream ------------------------------------------------------------------

void Put16(std::vector<uint8_t>* out, uint32_t v) {
  out->push_back(static_cast<uint8_t>(v));
  out->push_back(static_cast<uint8_t>(v >> 8));
}

void PutText(std::vector<uint8_t>* out, const std::optional<std::string>& text) {
  if (!text) {
    out->push_back(0);
    out->push_back(1);
  } else if (text->empty()) {
    out->push_back(0);
    out->push_back(0);
  } else {
    out->insert(out->end(), text->begin(), text->end());
    out->push_back(0);
  }
}

// Reads the stream block by block. Errors are sticky: after the first one
// every read returns zero and status() tells what went wrong.
class StreamReader {
 public:
  explicit StreamReader(const DefinitionBlockReader& read) : read_(read) {}

  uint8_t U8() {
    if (pos_ == block_.size() && !NextBlock()) return 0;
    return block_[pos_++];
  }
  uint16_t U16() {
    const uint8_t lo = U8();
    return static_cast<uint16_t>(lo | (U8() << 8));
  }
  std::optional<std::string> Text() {
    uint8_t c = U8();
    if (c == 0) {
      const uint8_t marker = U8();
      if (marker == 1) return std::nullopt;
      if (marker != 0) Fail(Damaged("bad text marker"));
      return std::string();
    }
    std::string text;
    while (c != 0 && status_.ok()) {
      text.push_back(static_cast<char>(c));
      c = U8();
    }
    return text;
  }

  bool ok() const { return status_.ok(); }
  const Status& status() const { return status_; }
  void Fail(Status s) {
    if (status_.ok()) status_ = std::move(s);
  }

 private:
  bool NextBlock() {
    if (!status_.ok()) return false;
    if (next_block_ > 0xFFFF) {
      Fail(Damaged("longer than its block numbers allow"));
      return false;
    }
    std::vector<uint8_t> data;
    Status s = read_(static_cast<uint16_t>(next_block_), &data);
    if (!s.ok()) {
      Fail(std::move(s));
      return false;
    }
    if (data.size() > kDefinitionBlockSize) {
      Fail(Damaged("oversized block " + std::to_string(next_block_)));
      return false;
    }
    // A missing block, or the missing end of a short one, reads as zeros.
    data.resize(kDefinitionBlockSize, 0);
    block_ = std::move(data);
    pos_ = 0;
    ++next_block_;
    return true;
  }

  const DefinitionBlockReader& read_;
  std::vector<uint8_t> block_;
  size_t pos_ = 0;
  uint32_t next_block_ = 0;
  Status status_;
};

// Checks a loaded definition against the invariants the rest of the engine
// relies on (see the header).
Status Validate(const TableDefinition& def) {
  if (def.record_length > kMaxDataSize) return Damaged("record length");
  for (size_t i = 0; i < def.fields.size(); ++i) {
    const FieldDefinition& f = def.fields[i];
    const std::string where = "field " + std::to_string(i + 1);
    if (f.index != i) return Damaged(where + " index");
    if (uint64_t{f.offset} + f.size > def.record_length) return Damaged(where + " outside record");
    if (!f.over && !IsSupportedType(f.type)) return Damaged(where + " type");
    if (!IsSupportedType(f.type)) continue;
    uint64_t expected = f.size;
    if (IsDecimalType(f.type) || IsStringType(f.type)) {
      expected = uint64_t{f.element_count} * f.element_length;
    } else if (f.type != kGroup) {
      expected = uint64_t{f.element_count} * FixedWidth(f.type);
    }
    if (expected != f.size) return Damaged(where + " size");
    if (f.type == kGroup && f.group_members > def.fields.size() - i - 1) {
      return Damaged(where + " group members");
    }
  }
  for (const MemoDefinition& m : def.memos) {
    if (m.size > kMaxMemoSize) return Damaged("memo size");
  }
  for (const KeyDefinition& k : def.keys) {
    for (const KeyPart& part : k.parts) {
      if (part.field >= def.fields.size()) return Damaged("key component field");
      if (def.fields[part.field].element_count != 1) return Damaged("key component dimensions");
    }
  }
  return Status::OK();
}

}  // namespace

bool TableDefinition::has_blob() const {
  for (const MemoDefinition& m : memos) {
    if (m.blob()) return true;
  }
  return false;
}

const char* ReportKindWord(ReportKind kind) {
  switch (kind) {
    case ReportKind::kFile: return "FILE";
    case ReportKind::kField: return "FIELD";
    case ReportKind::kMemo: return "MEMO";
    case ReportKind::kBlob: return "BLOB";
    case ReportKind::kKey: return "KEY";
    case ReportKind::kComponent: return "COMPONENT";
  }
  return "";
}

const char* DefinitionErrorText(ReportKind kind, int column) {
  constexpr const char* kUnknown = "Unknown Error";
  switch (kind) {
    case ReportKind::kFile:
      return column == 0 ? kMismatchText : kUnknown;
    case ReportKind::kField: {
      static constexpr const char* kTexts[] = {
          kMismatchText, kNoNameText, "Data type not supported",
          "Number of dimensions is greater than that supported by the file driver",
          "Field is larger than the maximum supported by the file driver", kMismatchText};
      return column >= 0 && column <= 5 ? kTexts[column] : kUnknown;
    }
    case ReportKind::kMemo:
    case ReportKind::kBlob: {
      static constexpr const char* kTexts[] = {
          kMismatchText,
          kNoNameText,
          "Too Many Memos defined",
          "Memo is larger than the maximum size supported by the file driver",
          "Driver does not support BLOBs",
          "Driver does not support MEMOs",
          "Driver does not support BINARY memos or blobs",
          kMismatchText};
      return column >= 0 && column <= 7 ? kTexts[column] : kUnknown;
    }
    case ReportKind::kKey: {
      static constexpr const char* kTexts[] = {kMismatchText, kNoNameText,
                                               "Too Many Keys defined", kMismatchText};
      return column >= 0 && column <= 3 ? kTexts[column] : kUnknown;
    }
    case ReportKind::kComponent: {
      static constexpr const char* kTexts[] = {
          kMismatchText, "Driver does not support Descending Key Components",
          "Driver does not support mixed Ascending and Descending Key Components"};
      return column >= 0 && column <= 2 ? kTexts[column] : kUnknown;
    }
  }
  return kUnknown;
}

std::string DefinitionCodeText(ReportKind kind, int number, const std::string& attribute,
                               int column) {
  char buffer[160];
  std::snprintf(buffer, sizeof buffer, "%s : %d : %s : %s%05d", ReportKindWord(kind), number,
                attribute.c_str(), "D", column + 1);
  return buffer;
}

Status Describe(const TableDeclaration& declaration, TableDefinition* out,
                DefinitionReport* report) {
  try {
    TableDefinition def;
    Status s = Describer(declaration, &def, report).Run();
    if (!s.ok()) return s;
    *out = std::move(def);
    return Status::OK();
  } catch (const std::bad_alloc&) {
    return Status::Error(err::kInsufficientMemory, "Insufficient Memory");
  }
}

std::vector<uint8_t> EncodeDefinition(const TableDefinition& def) {
  std::vector<uint8_t> out;
  Put16(&out, def.version());
  Put16(&out, def.record_length);
  Put16(&out, static_cast<uint32_t>(def.fields.size()));
  Put16(&out, static_cast<uint32_t>(def.memos.size()));
  Put16(&out, static_cast<uint32_t>(def.keys.size()));
  for (const FieldDefinition& f : def.fields) {
    out.push_back(f.type);
    Put16(&out, f.offset);
    PutText(&out, f.name);
    Put16(&out, f.element_count);
    Put16(&out, f.size);
    Put16(&out, f.over ? 1 : 0);
    Put16(&out, f.index);
    if (IsDecimalType(f.type)) {
      out.push_back(f.places);
      out.push_back(static_cast<uint8_t>(f.element_length));
    } else if (IsStringType(f.type)) {
      Put16(&out, f.element_length);
      PutText(&out, f.picture);
    }
  }
  for (const MemoDefinition& m : def.memos) {
    PutText(&out, m.label);
    PutText(&out, m.external_name);
    Put16(&out, m.size);
    Put16(&out, m.flags);
  }
  for (const KeyDefinition& k : def.keys) {
    PutText(&out, k.label);
    PutText(&out, k.external_name);
    out.push_back(k.attributes);
    Put16(&out, static_cast<uint32_t>(k.parts.size()));
    for (const KeyPart& part : k.parts) {
      Put16(&out, part.field);
      Put16(&out, part.descending ? 1 : 0);
    }
  }
  return out;
}

std::vector<std::vector<uint8_t>> CutDefinitionBlocks(const std::vector<uint8_t>& stream) {
  std::vector<std::vector<uint8_t>> blocks;
  for (size_t at = 0; at < stream.size(); at += kDefinitionBlockSize) {
    const size_t n = std::min(kDefinitionBlockSize, stream.size() - at);
    blocks.emplace_back(stream.begin() + static_cast<ptrdiff_t>(at),
                        stream.begin() + static_cast<ptrdiff_t>(at + n));
  }
  return blocks;
}

Status LoadDefinition(const DefinitionBlockReader& read, TableDefinition* out) {
  try {
    StreamReader in(read);
    TableDefinition def;
    in.U16();  // version: read without a check on an undeclared open
    def.record_length = in.U16();
    const size_t fields = in.U16();
    const size_t memos = in.U16();
    const size_t keys = in.U16();
    if (!in.ok()) return in.status();
    if (memos > kMaxMemos || keys > kMaxKeys) return Damaged("counts");
    for (size_t i = 0; i < fields && in.ok(); ++i) {
      FieldDefinition f;
      f.type = in.U8();
      f.offset = in.U16();
      f.name = in.Text().value_or(std::string());
      f.element_count = in.U16();
      f.size = in.U16();
      const uint16_t over = in.U16();
      if (over > 1) in.Fail(Damaged("over flag"));
      f.over = over == 1;
      f.index = in.U16();
      if (IsDecimalType(f.type)) {
        f.places = in.U8();
        f.element_length = in.U8();
      } else if (IsStringType(f.type)) {
        f.element_length = in.U16();
        f.picture = in.Text();
      }
      // A field's type tells what follows it; a non-overlay field of an
      // unknown type means the stream is out of step, so stop here.
      if (!f.over && !IsSupportedType(f.type)) in.Fail(Damaged("field type"));
      def.fields.push_back(std::move(f));
    }
    for (size_t k = 0; k < memos && in.ok(); ++k) {
      MemoDefinition m;
      m.label = in.Text().value_or(std::string());
      m.external_name = in.Text();
      m.size = in.U16();
      m.flags = in.U16();
      m.number = static_cast<uint32_t>(k) + 1;
      def.memos.push_back(std::move(m));
    }
    for (size_t k = 0; k < keys && in.ok(); ++k) {
      KeyDefinition key;
      key.label = in.Text().value_or(std::string());
      key.external_name = in.Text();
      key.attributes = in.U8();
      const size_t parts = in.U16();
      for (size_t c = 0; c < parts && in.ok(); ++c) {
        KeyPart part;
        part.field = in.U16();
        const uint16_t descending = in.U16();
        if (descending > 1) in.Fail(Damaged("descending flag"));
        part.descending = descending == 1;
        key.parts.push_back(part);
      }
      def.keys.push_back(std::move(key));
    }
    if (!in.ok()) return in.status();
    Status s = Validate(def);
    if (!s.ok()) return s;
    *out = std::move(def);
    return Status::OK();
  } catch (const std::bad_alloc&) {
    return Status::Error(err::kInsufficientMemory, "Insufficient Memory");
  }
}

Status CompareDefinition(const DefinitionBlockReader& read, const TableDefinition& declared,
                         bool decimal_check, DefinitionReport* report) {
  StreamReader in(read);
  // A difference read from a failed stream is no difference: report the
  // damage instead.
  auto differ = [&](ReportKind kind, int number, const char* attribute,
                    int column = 0) -> Status {
    if (!in.ok()) return in.status();
    return Report(kind, number, attribute, column, report);
  };
  const uint16_t version = in.U16();
  if (version > kHighestDefinitionVersion) {
    if (!in.ok()) return in.status();
    return Report(ReportKind::kFile, 0, "VERSION", 101, report, kVersionText,
                  kVersionTextNumber);
  }
  in.U16();  // record length
  if (in.U16() != declared.fields.size()) return differ(ReportKind::kFile, 0, "FIELDS");
  if (in.U16() != declared.memos.size()) return differ(ReportKind::kFile, 0, "MEMOS");
  if (in.U16() != declared.keys.size()) return differ(ReportKind::kFile, 0, "KEYS");
  for (size_t i = 0; i < declared.fields.size(); ++i) {
    const FieldDefinition& f = declared.fields[i];
    const int number = static_cast<int>(i) + 1;
    const uint8_t type = in.U8();
    if (type != f.type) return differ(ReportKind::kField, number, "TYPE");
    in.U16();   // offset
    in.Text();  // name
    if (in.U16() != f.element_count) return differ(ReportKind::kField, number, "DIM");
    if (in.U16() != f.size) return differ(ReportKind::kField, number, "SIZE");
    if (in.U16() != (f.over ? 1 : 0)) return differ(ReportKind::kField, number, "OVER");
    in.U16();  // field index
    if (IsDecimalType(type)) {
      const uint8_t places = in.U8();
      const uint8_t length = in.U8();
      if (decimal_check) {
        if (places != f.places) return differ(ReportKind::kField, number, "SIZE");
        if (length != f.element_length) return differ(ReportKind::kField, number, "PLACES");
      }
    } else if (IsStringType(type)) {
      in.U16();   // element length
      in.Text();  // picture
    }
    if (!in.ok()) return in.status();
  }
  for (size_t k = 0; k < declared.memos.size(); ++k) {
    const MemoDefinition& m = declared.memos[k];
    const ReportKind kind = MemoKind(m.flags);
    const int number = static_cast<int>(k) + 1;
    in.Text();  // label
    in.Text();  // external name
    const uint16_t size = in.U16();
    if (!m.blob() && size != m.size) return differ(kind, number, "SIZE");
    if (((in.U16() ^ m.flags) & kMemoBinary) != 0) return differ(kind, number, "BINARY");
  }
  for (size_t k = 0; k < declared.keys.size(); ++k) {
    const KeyDefinition& key = declared.keys[k];
    const int number = static_cast<int>(k) + 1;
    in.Text();  // label
    in.Text();  // external name
    if (((in.U8() ^ key.attributes) & ~key_attr::kPrimary) != 0) {
      return differ(ReportKind::kKey, number, "ATTRIBUTE");
    }
    if (in.U16() != key.parts.size()) return differ(ReportKind::kKey, number, "FIELDS");
    for (size_t c = 0; c < key.parts.size(); ++c) {
      const int component = static_cast<int>(k * 1000 + c + 1001);
      if (in.U16() != key.parts[c].field) {
        return differ(ReportKind::kComponent, component, "FIELD");
      }
      if (in.U16() != (key.parts[c].descending ? 1 : 0)) {
        return differ(ReportKind::kComponent, component, "ASCENDING");
      }
    }
  }
  return in.status();
}

DefinitionBlockReader BlocksReader(const std::vector<std::vector<uint8_t>>& blocks) {
  return [blocks](uint16_t block, std::vector<uint8_t>* data) {
    data->clear();
    if (block < blocks.size()) *data = blocks[block];
    return Status::OK();
  };
}

}  // namespace tessera
