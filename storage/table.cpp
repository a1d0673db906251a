#include "storage/table.h"

#include <algorithm>
#include <cstring>

#include "storage/file_registry.h"
#include "storage/internal_failure.h"
#include "storage/key_maintainer.h"
#include "storage/record.h"
#include "storage/tree.h"
#include "storage/tsr_file.h"

namespace tessera {
namespace {

using Bytes = std::span<const uint8_t>;

constexpr int kFileNotOpen = 37;
// A memo piece the tree refuses (pieces are far below the record limit).
constexpr int kFailureMemoPiece = 3301;
constexpr uint32_t kHighestNumber = 0xFDFFFFFFu;
// The most pieces a blob can have: piece numbers are two bytes.
constexpr size_t kMaxBlobLength = kBlobPieceSize * 0xFFFF;

Status NotOpen() { return Status::Error(kFileNotOpen, "File Not Open"); }
Status NotAvailable() { return Status::Error(err::kRecordNotAvailable, "Record Not Available"); }
Status Damaged(const std::string& what) {
  return Status::Error(err::kInvalidDataFile, "Invalid Data File: " + what);
}

void PutBE32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}
uint32_t GetBE32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}
void PutLE32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t GetLE32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

bool StartsWith(Bytes bytes, Bytes prefix) {
  return bytes.size() >= prefix.size() &&
         std::memcmp(bytes.data(), prefix.data(), prefix.size()) == 0;
}

Status Put(TsrTree* tree, Bytes key, Bytes data) {
  return tree->Insert(std::make_unique<TsrRecord>(key, data));
}

bool IsStringField(uint8_t type) {
  return type == field_type::kString || type == field_type::kCString ||
         type == field_type::kPString;
}

}  // namespace

// --- names -------------------------------------------------------------------------

std::string TableName::full() const {
  if (table == kUnnamedTable) return file;
  return file + std::string(kTableSeparator) + table;
}

TableName SplitTableName(const std::string& name, Env* env) {
  TableName out;
  std::string file = name;
  size_t from = 0;
  for (size_t at; (at = name.find(kTableSeparator, from)) != std::string::npos;
       from = at + kTableSeparator.size()) {
    const std::string before = name.substr(0, at);
    // A path that names a directory answers for "before/" only; a file of
    // that name does not.
    if (!before.empty() && env->Exists(before + "/")) continue;
    file = before;
    out.table = name.substr(at + kTableSeparator.size());
    out.has_table_part = true;
    break;
  }
  // An empty table part would give the one-byte key that starts the list
  // of names: it is the unnamed table.
  if (out.table.empty()) out.table = std::string(kUnnamedTable);
  const size_t slash = file.find_last_of('/');
  const size_t base = slash == std::string::npos ? 0 : slash + 1;
  if (file.find('.', base) == std::string::npos) file += kDefaultExtension;
  out.file = file;
  return out;
}

// --- record kinds ------------------------------------------------------------------

uint32_t NumberValue(const TableNumber& number) { return GetBE32(number.data()); }

TableNumber NumberBytes(uint32_t value) {
  TableNumber n;
  PutBE32(n.data(), value);
  return n;
}

std::vector<uint8_t> NameRecordKey(std::string_view table) {
  std::vector<uint8_t> key(1 + table.size());
  key[0] = kNameKind;
  std::memcpy(key.data() + 1, table.data(), table.size());
  return key;
}

std::array<uint8_t, 9> DataRecordKey(const TableNumber& t, uint32_t record) {
  std::array<uint8_t, 9> key{t[0], t[1], t[2], t[3], kDataKind};
  PutBE32(key.data() + 5, record);
  return key;
}

std::array<uint8_t, 6> CounterKey(const TableNumber& t, uint8_t index) {
  return {t[0], t[1], t[2], t[3], kCounterKind, index};
}

std::array<uint8_t, 7> DefinitionBlockKey(const TableNumber& t, uint16_t block) {
  return {t[0], t[1], t[2], t[3], kDefinitionKind, static_cast<uint8_t>(block),
          static_cast<uint8_t>(block >> 8)};
}

std::array<uint8_t, 12> MemoPieceKey(const TableNumber& t, uint32_t record, uint8_t memo,
                                     uint16_t piece) {
  std::array<uint8_t, 12> key{t[0], t[1], t[2], t[3], kMemoKind};
  PutBE32(key.data() + 5, record);
  key[9] = memo;
  key[10] = static_cast<uint8_t>(piece >> 8);
  key[11] = static_cast<uint8_t>(piece);
  return key;
}

std::array<uint8_t, 8> EncodeCounter(const Counter& c) {
  std::array<uint8_t, 8> data;
  PutLE32(data.data(), static_cast<uint32_t>(c.count));
  PutLE32(data.data() + 4, c.rebuild_point);
  return data;
}

bool DecodeCounter(std::span<const uint8_t> data, Counter* out) {
  if (data.size() != 8) return false;
  out->count = static_cast<int32_t>(GetLE32(data.data()));
  out->rebuild_point = GetLE32(data.data() + 4);
  return true;
}

std::vector<std::vector<uint8_t>> CutMemo(std::span<const uint8_t> memo) {
  size_t end = memo.size();
  while (end > 0 && memo[end - 1] == ' ') --end;
  std::vector<std::vector<uint8_t>> pieces;
  for (size_t at = 0; at < end; at += kMemoPieceSize) {
    const size_t n = std::min(kMemoPieceSize, end - at);
    pieces.emplace_back(memo.begin() + at, memo.begin() + at + n);
  }
  return pieces;
}

std::vector<std::vector<uint8_t>> CutBlob(std::span<const uint8_t> blob) {
  std::vector<std::vector<uint8_t>> pieces;
  for (size_t at = 0; at < blob.size(); at += kBlobPieceSize) {
    const size_t n = std::min(kBlobPieceSize, blob.size() - at);
    std::vector<uint8_t> piece;
    if (at == 0) {
      piece.resize(4);
      PutLE32(piece.data(), static_cast<uint32_t>(blob.size()));
    }
    piece.insert(piece.end(), blob.begin() + at, blob.begin() + at + n);
    pieces.push_back(std::move(piece));
  }
  return pieces;
}

std::vector<uint8_t> ReadMemo(const std::vector<std::vector<uint8_t>>& pieces, size_t size) {
  std::vector<uint8_t> memo;
  memo.reserve(size);
  for (const auto& piece : pieces) {
    const size_t n = std::min(piece.size(), size - memo.size());
    memo.insert(memo.end(), piece.begin(), piece.begin() + n);
  }
  memo.resize(size, ' ');
  return memo;
}

bool ReadBlob(const std::vector<std::vector<uint8_t>>& pieces, std::vector<uint8_t>* blob) {
  blob->clear();
  if (pieces.empty()) return true;
  if (pieces[0].size() < 4) return false;
  const uint32_t length = GetLE32(pieces[0].data());
  // The length is only believed once the pieces hold that many bytes: a
  // damaged length must not allocate more than is stored.
  size_t stored = pieces[0].size() - 4;
  for (size_t i = 1; i < pieces.size(); ++i) stored += pieces[i].size();
  if (stored != length) return false;
  blob->reserve(length);
  blob->insert(blob->end(), pieces[0].begin() + 4, pieces[0].end());
  for (size_t i = 1; i < pieces.size(); ++i) {
    blob->insert(blob->end(), pieces[i].begin(), pieces[i].end());
  }
  return true;
}

// --- services ----------------------------------------------------------------------

TsrFileRegistry& TableServices::Registry(bool per_thread) const {
  if (per_thread) return thread_files != nullptr ? *thread_files : TsrFileRegistry::ThisThread();
  return files != nullptr ? *files : TsrFileRegistry::Process();
}

KeyMaintainer& TableServices::Keys() const {
  return keys != nullptr ? *keys : TableKeyMaintainer::Instance();
}

// --- the table ---------------------------------------------------------------------

Table::Table(TableServices services) : services_(services) {}

Table::~Table() { (void)Close(); }

template <class F>
Status Table::Write(F&& body) {
  if (file_ == nullptr) return NotOpen();
  Status s = file_->BeginWriteIntent();
  if (!s.ok()) return s;
  s = file_->Guard(std::forward<F>(body));
  Status end = file_->EndWriteIntent();
  return s.ok() ? end : s;
}

template <class F>
Status Table::Read(F&& body) {
  if (file_ == nullptr) return NotOpen();
  Status s = file_->Guard(std::forward<F>(body));
  Status end = file_->EndOperation();
  return s.ok() ? end : s;
}

KeyTable Table::KeyView() {
  KeyTable k;
  k.file = file_;
  k.tree = tree_.get();
  k.number = number_;
  k.definition = &definition_;
  k.tables = &tables_;
  k.oem = oem_;
  k.keys = keys_.get();
  return k;
}

void Table::MakeKeys() {
  keys_.reset();  // its cursors leave the pages before the new ones come
  keys_ = std::make_unique<TableKeys>(file_, NumberValue(number_), definition_.record_length,
                                      KeyLayoutsOf(definition_), KeyStrings{&tables_, oem_});
}

void Table::Reset() {
  keys_.reset();
  tree_.reset();
  file_ = nullptr;
  registry_ = nullptr;
  current_ = 0;
  watch_ = false;
  saved_.clear();
  memos_.clear();
  memos_read_.clear();
  has_collation_ = false;
}

Status Table::Open(const std::string& name, const TableDeclaration* declaration,
                   const OpenOptions& options, DefinitionReport* report) {
  // A declaration is only checked against the file when it lays out a
  // record (fields) or memos; otherwise the file's definition is taken.
  const bool declared =
      declaration != nullptr && (!declaration->fields.empty() || !declaration->memos.empty());
  if (declared) {
    Status s = Describe(*declaration, &definition_, report);
    if (!s.ok()) return s;
  }
  declared_ = declared;
  return OpenAs(name, declared ? declaration : nullptr, options, report, Purpose::kOpen);
}

Status Table::Create(const std::string& name, const TableDeclaration& declaration,
                     const OpenOptions& options, DefinitionReport* report) {
  Status s = Describe(declaration, &definition_, report);
  if (!s.ok()) return s;
  declared_ = true;
  return OpenAs(name, &declaration, options, report, Purpose::kCreate);
}

Status Table::OpenAs(const std::string& name, const TableDeclaration* declaration,
                     const OpenOptions& options, DefinitionReport* report, Purpose purpose) {
  if (file_ != nullptr) (void)Close();
  if (name.empty()) return Status::Error(err::kBadFileName, "Invalid Filename");
  options_ = options;
  name_ = SplitTableName(name, services_.env);
  uint32_t open_mode = options.mode;
  if (purpose == Purpose::kCreate) open_mode = kCreateMode;
  if (purpose == Purpose::kRemove || purpose == Purpose::kRenameSource ||
      purpose == Purpose::kCopySource) {
    open_mode = kChangeMode;
  }
  registry_ = &services_.Registry(options.per_thread);
  Status s = registry_->OpenShared(name_.file, open_mode, options.password, &file_);
  if (!s.ok()) {
    Reset();
    return s;
  }
  tree_ = std::make_unique<TsrTree>(file_);
  const bool writes = purpose == Purpose::kCreate || purpose == Purpose::kRemove ||
                      purpose == Purpose::kRenameSource;
  if (writes) s = file_->BeginWriteIntent();
  if (s.ok()) s = file_->Guard([&] { return OpenBody(declaration, report, purpose); });
  // Open and create are whole operations; remove and the sources of copy and
  // rename go on in the same write, which their callers end.
  if (purpose == Purpose::kCreate) {
    Status end = s.ok() ? file_->EndWriteIntent() : Status::OK();
    if (!s.ok()) file_->Rollback();
    if (s.ok()) s = end;
  } else if (purpose == Purpose::kOpen) {
    Status end = file_->EndOperation();
    if (s.ok()) s = end;
  } else if (!s.ok() && writes) {
    file_->Rollback();
  }
  if (!s.ok()) {
    (void)registry_->Release(file_);
    Reset();
    return s;
  }
  full_name_ = name_.full();
  if (purpose == Purpose::kOpen || purpose == Purpose::kCreate) MakeKeys();
  full_build_ = false;
  return s;
}

Status Table::OpenBody(const TableDeclaration* declaration, DefinitionReport* report,
                       Purpose purpose) {
  const std::vector<uint8_t> name_key = NameRecordKey(name_.table);
  TsrRecord* name_record = tree_->Find(name_key);
  TableNumber old{};
  const bool existed = name_record != nullptr;
  if (existed) {
    if (name_record->data().size() != 4) return Damaged("table name record");
    std::copy_n(name_record->data().begin(), 4, old.begin());
    if (purpose == Purpose::kCreate || purpose == Purpose::kRemove ||
        purpose == Purpose::kRenameSource) {
      tree_->Delete(name_record);
    }
  }
  KeyMaintainer& keys = services_.Keys();
  if (purpose == Purpose::kCreate) {
    if (existed) {
      number_ = old;
      keys.DropTable(KeyView());
      tree_->DeleteTableRecords(old);
    }
    Status s = file_->TakeSequenceNumber(&number_);
    if (!s.ok()) return s;
    s = Put(tree_.get(), name_key, number_);
    if (!s.ok()) return s;
    s = WriteTableRecords();
    if (!s.ok()) return s;
    CollationRecord collation;
    collation.oem = (declaration->attributes & kTableOem) != 0;
    collation.tables = PlatformCollation();
    std::array<uint8_t, kCollationRecordSize> data;
    EncodeCollationRecord(collation, &data);
    s = Put(tree_.get(), CollationRecordKey(NumberValue(number_)), data);
    if (!s.ok()) return s;
    tables_ = collation.tables;
    oem_ = collation.oem;
    has_collation_ = true;
    MakeWorkAreas();
    return Status::OK();
  }
  if (!existed) return Status::Error(err::kFileNotFound, "File Not Found");
  number_ = old;
  if (purpose == Purpose::kOpen) {
    DefinitionBlockReader read = [&](uint16_t block, std::vector<uint8_t>* data) {
      data->clear();
      if (TsrRecord* r = tree_->Find(DefinitionBlockKey(number_, block))) {
        data->assign(r->data().begin(), r->data().end());
      }
      return Status::OK();
    };
    Status s = declaration != nullptr
                   ? CompareDefinition(read, definition_, options_.decimal_check, report)
                   : LoadDefinition(read, &definition_);
    if (!s.ok()) return s;
  }
  tables_ = PlatformCollation();
  oem_ = declaration != nullptr && (declaration->attributes & kTableOem) != 0;
  if (TsrRecord* r = tree_->Find(CollationRecordKey(NumberValue(number_)))) {
    if (purpose == Purpose::kRemove) {
      tree_->Delete(r);
    } else {
      CollationRecord collation;
      Status s = DecodeCollationRecord(r->data(), &collation);
      if (!s.ok()) return Damaged("collation record");
      tables_ = collation.tables;
      oem_ = collation.oem;
      has_collation_ = true;
    }
  }
  MakeWorkAreas();
  return Status::OK();
}

void Table::MakeWorkAreas() {
  memos_.clear();
  for (const MemoDefinition& m : definition_.memos) {
    memos_.push_back(m.blob() ? std::vector<uint8_t>() : std::vector<uint8_t>(m.size, ' '));
  }
  memos_read_ = memos_;
  saved_.clear();
  current_ = 0;
  watch_ = false;
}

Status Table::WriteTableRecords() {
  const auto blocks = CutDefinitionBlocks(EncodeDefinition(definition_));
  for (size_t b = 0; b < blocks.size(); ++b) {
    Status s = Put(tree_.get(), DefinitionBlockKey(number_, static_cast<uint16_t>(b)), blocks[b]);
    if (!s.ok()) return s;
  }
  const auto zero = EncodeCounter(Counter{});
  Status s = Put(tree_.get(), CounterKey(number_, kDataCounterIndex), zero);
  for (size_t k = 0; s.ok() && k < definition_.keys.size(); ++k) {
    s = Put(tree_.get(), CounterKey(number_, static_cast<uint8_t>(k)), zero);
  }
  return s;
}

Status Table::Close() {
  if (file_ == nullptr) return Status::OK();
  keys_.reset();  // its cursors stand on pages of the file
  Status s = registry_->Release(file_);
  Reset();
  return s;
}

Status Table::Empty() {
  return Write([&] {
    services_.Keys().DropTable(KeyView());
    tree_->DeleteTableRecords(number_);
    Status s = WriteTableRecords();
    // The table goes on with the collation tables it has: keep them stored
    // too, so that keys built after a reopen match keys built before it.
    if (s.ok() && has_collation_) {
      CollationRecord collation{oem_, tables_};
      std::array<uint8_t, kCollationRecordSize> data;
      EncodeCollationRecord(collation, &data);
      s = Put(tree_.get(), CollationRecordKey(NumberValue(number_)), data);
    }
    if (keys_ != nullptr) MakeKeys();  // dynamic indexes go with the records
    current_ = 0;
    watch_ = false;
    return s;
  });
}

// --- conversion --------------------------------------------------------------------

namespace {

// Converts the text of each string field that stores its own bytes (not an
// overlay) between the code pages.
void ConvertStrings(const TableDefinition& def, std::span<uint8_t> buffer, bool to_oem) {
  auto convert = [to_oem](std::span<uint8_t> text) {
    if (to_oem) {
      AnsiToOem(text);
    } else {
      OemToAnsi(text);
    }
  };
  for (const FieldDefinition& f : def.fields) {
    if (f.over || !IsStringField(f.type) || f.element_length == 0) continue;
    if (uint64_t{f.offset} + f.size > buffer.size()) continue;
    for (uint32_t e = 0; e < f.element_count; ++e) {
      std::span<uint8_t> element = buffer.subspan(f.offset + e * f.element_length,
                                                  f.element_length);
      if (f.type == field_type::kString) {
        convert(element);
      } else if (f.type == field_type::kCString) {
        const auto end = std::find(element.begin(), element.end(), uint8_t{0});
        convert(element.first(static_cast<size_t>(end - element.begin())));
      } else {
        const size_t length = std::min<size_t>(element[0], element.size() - 1);
        convert(element.subspan(1, length));
      }
    }
  }
}

}  // namespace

void Table::ToStored(std::span<uint8_t> buffer) const {
  if (oem_) ConvertStrings(definition_, buffer, true);
}

void Table::FromStored(std::span<uint8_t> buffer) const {
  if (oem_) ConvertStrings(definition_, buffer, false);
}

void Table::ConvertMemo(std::vector<uint8_t>* memo, size_t i, bool to_oem) const {
  if (!oem_ || definition_.memos[i].binary()) return;
  if (to_oem) {
    AnsiToOem(*memo);
  } else {
    OemToAnsi(*memo);
  }
}

// --- memos -------------------------------------------------------------------------

std::vector<std::vector<uint8_t>> Table::PiecesOf(size_t i) const {
  std::vector<uint8_t> content = memos_[i];
  if (!definition_.memos[i].blob() && content.size() > definition_.memos[i].size) {
    content.resize(definition_.memos[i].size);
  }
  ConvertMemo(&content, i, true);
  return definition_.memos[i].blob() ? CutBlob(content) : CutMemo(content);
}

std::vector<std::vector<uint8_t>> Table::StoredPieces(uint32_t record, size_t i) {
  const auto first = MemoPieceKey(number_, record, static_cast<uint8_t>(i), 0);
  const Bytes prefix(first.data(), 10);
  std::vector<std::vector<uint8_t>> pieces;
  for (TsrRecord* r = tree_->Next(prefix); r != nullptr && StartsWith(r->key(), prefix);
       r = tree_->Next(*r)) {
    pieces.emplace_back(r->data().begin(), r->data().end());
  }
  return pieces;
}

Status Table::ReadMemos(uint32_t record, std::vector<std::vector<uint8_t>>* out) {
  out->clear();
  for (size_t i = 0; i < definition_.memos.size(); ++i) {
    const auto pieces = StoredPieces(record, i);
    std::vector<uint8_t> content;
    if (definition_.memos[i].blob()) {
      if (!ReadBlob(pieces, &content)) return Damaged("blob of record " + std::to_string(record));
    } else {
      content = ReadMemo(pieces, definition_.memos[i].size);
    }
    ConvertMemo(&content, i, false);
    out->push_back(std::move(content));
  }
  return Status::OK();
}

void Table::WriteMemos(uint32_t record) {
  for (size_t i = 0; i < definition_.memos.size(); ++i) {
    const auto pieces = PiecesOf(i);
    for (size_t p = 0; p < pieces.size(); ++p) {
      Status s = Put(tree_.get(),
                     MemoPieceKey(number_, record, static_cast<uint8_t>(i),
                                  static_cast<uint16_t>(p)),
                     pieces[p]);
      Check(s.ok(), kFailureMemoPiece);
    }
  }
}

void Table::RewriteMemos(uint32_t record) {
  for (size_t i = 0; i < definition_.memos.size(); ++i) {
    const auto pieces = PiecesOf(i);
    const auto stored = StoredPieces(record, i);
    const uint8_t memo = static_cast<uint8_t>(i);
    // Pieces equal to what is stored stay; only the others are replaced.
    for (size_t p = 0; p < pieces.size(); ++p) {
      if (p < stored.size() && stored[p] == pieces[p]) continue;
      const auto key = MemoPieceKey(number_, record, memo, static_cast<uint16_t>(p));
      if (TsrRecord* r = tree_->Find(key)) tree_->Delete(r);
      Check(Put(tree_.get(), key, pieces[p]).ok(), kFailureMemoPiece);
    }
    for (size_t p = pieces.size(); p < stored.size(); ++p) {
      if (TsrRecord* r = tree_->Find(MemoPieceKey(number_, record, memo,
                                                  static_cast<uint16_t>(p)))) {
        tree_->Delete(r);
      }
    }
  }
}

void Table::DeleteMemos(uint32_t record) {
  const auto first = MemoPieceKey(number_, record, 0, 0);
  const Bytes prefix(first.data(), 9);
  for (TsrRecord* r = tree_->Next(prefix); r != nullptr && StartsWith(r->key(), prefix);
       r = tree_->Next(prefix)) {
    tree_->Delete(r);
  }
}

// --- records -----------------------------------------------------------------------

Status Table::FetchCurrent(std::vector<uint8_t>* stored) {
  if (current_ == 0) return NotAvailable();
  bool found = false;
  Status s = FetchStored(current_, stored, &found);
  if (!s.ok()) return s;
  return found ? Status::OK() : NotAvailable();
}

Status Table::FetchStored(uint32_t record, std::vector<uint8_t>* buffer, bool* found) {
  *found = false;
  TsrRecord* r = tree_->Find(DataRecordKey(number_, record));
  if (r == nullptr) return Status::OK();
  *found = true;
  // A stored record of another length (the record length is not part of
  // the declaration check) is cut or zero-filled to this table's length.
  buffer->assign(definition_.record_length, 0);
  std::copy_n(r->data().begin(), std::min<size_t>(r->data().size(), buffer->size()),
              buffer->begin());
  FromStored(*buffer);
  return Status::OK();
}

Status Table::ChangeCounter(uint8_t index, int delta, bool* missing) {
  *missing = false;
  const auto key = CounterKey(number_, index);
  TsrRecord* r = tree_->Find(key);
  if (r == nullptr) {
    *missing = true;
    return Status::OK();
  }
  Counter c;
  if (!DecodeCounter(r->data(), &c)) return Damaged("counter record");
  c.count += delta;
  tree_->Delete(r);
  return Put(tree_.get(), key, EncodeCounter(c));
}

Status Table::AddRecord(std::span<const uint8_t> buffer, bool maintain_keys) {
  if (file_ == nullptr) return NotOpen();
  if (buffer.size() != definition_.record_length) {
    return Status::Error(err::kInvalidRecordDeclaration, "record buffer of the wrong length");
  }
  for (size_t i = 0; i < memos_.size(); ++i) {
    if (definition_.memos[i].blob() && memos_[i].size() > kMaxBlobLength) {
      return Status::Error(err::kInsufficientMemory, "blob longer than a record can store");
    }
  }
  return Write([&] {
    TableNumber number;
    Status s = file_->TakeSequenceNumber(&number);
    if (!s.ok()) return s;
    const uint32_t record = NumberValue(number);
    s = services_.Keys().AddEntries(KeyView(), record, buffer, maintain_keys);
    if (!s.ok()) return s;
    current_ = 0;
    watch_ = false;
    saved_.assign(buffer.begin(), buffer.end());
    std::vector<uint8_t> stored = saved_;
    ToStored(stored);
    s = Put(tree_.get(), DataRecordKey(number_, record), stored);
    if (!s.ok()) return s;
    current_ = record;
    bool missing = false;
    s = ChangeCounter(kDataCounterIndex, +1, &missing);
    if (!s.ok()) return s;
    if (missing) {
      // Another process removed the table under us: leave nothing behind.
      services_.Keys().DropTable(KeyView());
      tree_->DeleteTableRecords(number_);
      current_ = 0;
      return Status::Error(err::kAccessDenied, "Access Denied");
    }
    WriteMemos(record);
    memos_read_ = memos_;
    return Status::OK();
  });
}

Status Table::Change(std::span<const uint8_t> buffer) {
  if (file_ == nullptr) return NotOpen();
  if (buffer.size() != definition_.record_length) {
    return Status::Error(err::kInvalidRecordDeclaration, "record buffer of the wrong length");
  }
  const bool watch = watch_;
  watch_ = false;
  return Write([&] {
    std::vector<uint8_t> stored;
    Status s = FetchCurrent(&stored);
    if (!s.ok()) return s;
    if (watch) {
      bool changed = stored != saved_;
      for (size_t i = 0; !changed && i < memos_read_.size(); ++i) {
        if (definition_.memos[i].blob()) continue;
        std::vector<uint8_t> as_read = memos_read_[i];
        ConvertMemo(&as_read, i, true);
        changed = StoredPieces(current_, i) != CutMemo(as_read);
      }
      if (changed) {
        return Status::Error(err::kRecordChanged, "Record Changed By Another Station");
      }
    }
    if (!std::equal(buffer.begin(), buffer.end(), stored.begin(), stored.end())) {
      s = services_.Keys().UpdateEntries(KeyView(), current_, stored, buffer);
      if (!s.ok()) return s;
      const auto key = DataRecordKey(number_, current_);
      if (TsrRecord* r = tree_->Find(key)) tree_->Delete(r);
      std::vector<uint8_t> data(buffer.begin(), buffer.end());
      ToStored(data);
      s = Put(tree_.get(), key, data);
      if (!s.ok()) return s;
      saved_.assign(buffer.begin(), buffer.end());
    }
    if (!options_.defer_memos) {
      RewriteMemos(current_);
      memos_read_ = memos_;
    }
    return Status::OK();
  });
}

Status Table::Delete() {
  if (file_ == nullptr) return NotOpen();
  return Write([&] {
    std::vector<uint8_t> stored;
    Status s = FetchCurrent(&stored);
    if (!s.ok()) return s;
    tree_->Delete(tree_->Find(DataRecordKey(number_, current_)));
    services_.Keys().DeleteEntries(KeyView(), current_, stored);
    bool missing = false;
    s = ChangeCounter(kDataCounterIndex, -1, &missing);
    if (!s.ok()) return s;
    DeleteMemos(current_);
    current_ = 0;
    watch_ = false;
    return Status::OK();
  });
}

Status Table::Fetch(uint32_t record, std::span<uint8_t> buffer, bool watch) {
  if (file_ == nullptr) return NotOpen();
  if (buffer.size() != definition_.record_length) {
    return Status::Error(err::kInvalidRecordDeclaration, "record buffer of the wrong length");
  }
  return Read([&] {
    std::vector<uint8_t> stored;
    bool found = false;
    Status s = FetchStored(record, &stored, &found);
    if (!s.ok()) return s;
    if (!found) return Status::Error(err::kRecordNotFound, "Record Not Found");
    if (!options_.defer_memos) {
      std::vector<std::vector<uint8_t>> memos;
      s = ReadMemos(record, &memos);
      if (!s.ok()) return s;
      memos_ = memos;
      memos_read_ = std::move(memos);
    }
    std::copy(stored.begin(), stored.end(), buffer.begin());
    saved_ = std::move(stored);
    current_ = record;
    watch_ = watch;
    return Status::OK();
  });
}

Status Table::Records(uint8_t index, int32_t* count) {
  *count = 0;
  if (keys_ != nullptr && index < key_count() && keys_->layout(index).dynamic()) {
    return Read([&] { return keys_->Count(index, count); });
  }
  return Read([&] {
    TsrRecord* r = tree_->Find(CounterKey(number_, index));
    if (r == nullptr) return Status::Error(err::kRecordNotFound, "Record Not Found");
    Counter c;
    if (!DecodeCounter(r->data(), &c)) return Damaged("counter record");
    *count = c.count;
    return Status::OK();
  });
}

// --- keys --------------------------------------------------------------------------

Status Table::CheckKey(int k) const {
  if (file_ == nullptr || keys_ == nullptr) return NotOpen();
  if (k < 0 || k >= key_count()) {
    return Status::Error(err::kInvalidIndexString,
                         "Invalid Index String: the table has no key " + std::to_string(k + 1));
  }
  return Status::OK();
}

Status Table::Find(int k, std::span<uint8_t> buffer, bool watch) {
  Status s = CheckKey(k);
  if (!s.ok()) return s;
  if (buffer.size() != definition_.record_length) {
    return Status::Error(err::kInvalidRecordDeclaration, "record buffer of the wrong length");
  }
  uint32_t record = 0;
  bool found = false;
  s = Read([&] { return keys_->FindByKey(k, buffer, &record, &found); });
  if (!s.ok()) return s;
  if (!found) return Status::Error(err::kRecordNotFound, "Record Not Found");
  return Fetch(record, buffer, watch);
}

BuildOptions Table::MakeBuildOptions() const {
  BuildOptions options;
  options.full_build = full_build_;
  options.progress_setting = progress_setting_;
  options.progress = progress_;
  if (oem_) options.to_buffer = [this](std::span<uint8_t> buffer) { FromStored(buffer); };
  options.env = services_.env;
  return options;
}

template <class F>
Status Table::Build(F&& body) {
  if (file_ == nullptr) return NotOpen();
  Status s = body();
  full_build_ = false;
  // A build commits as it goes; what it did last is committed too, whatever
  // its result (an interrupted build leaves its key stale from where it
  // started, see key_build.h).
  Status end = file_->read_intent() ? Status::OK() : file_->EndWriteIntent();
  return s.ok() ? end : s;
}

Status Table::BuildKey(int k) {
  Status s = CheckKey(k);
  if (!s.ok()) return s;
  return Build([&] { return tessera::BuildKey(keys_.get(), k, MakeBuildOptions()); });
}

Status Table::BuildAllKeys() {
  if (keys_ == nullptr) return NotOpen();
  return Build([&] {
    if (full_build_) {
      Status s = RenewCollation();
      if (!s.ok()) return s;
    }
    return tessera::BuildAllKeys(keys_.get(), MakeBuildOptions());
  });
}

Status Table::BuildDynamicIndex(int k, std::string_view components, const RecordFilter& filter) {
  Status s = CheckKey(k);
  if (!s.ok()) return s;
  std::vector<NamedField> fields;
  for (const FieldDefinition& f : definition_.fields) {
    fields.push_back(NamedField{f.name, KeyColumn{f.type, f.offset, f.size, false}});
  }
  return Build([&] {
    return tessera::BuildDynamicIndex(keys_.get(), k, components, fields, filter,
                                      MakeBuildOptions());
  });
}

Status Table::RenewCollation() {
  if (mode::Access(file_->open_mode()) != mode::kReadWrite) {
    return Status::Error(err::kAccessDenied, "Access Denied: the table is not open for writing");
  }
  Status s = file_->BeginWriteIntent();
  if (!s.ok()) return s;
  return file_->Guard([&]() -> Status {
    const CollationTables& now = PlatformCollation();
    const auto key = CollationRecordKey(NumberValue(number_));
    if (TsrRecord* r = tree_->Find(key)) tree_->Delete(r);
    std::array<uint8_t, kCollationRecordSize> data;
    EncodeCollationRecord(CollationRecord{oem_, now}, &data);
    s = Put(tree_.get(), key, data);
    if (!s.ok()) return s;
    has_collation_ = true;
    if (tables_ == now) return Status::OK();
    // Entries made with the old tables do not match keys made with the new
    // ones: the build that follows remakes every ordinary key; indexes are
    // marked stale from the first record so that their next build remakes
    // them; dynamic indexes are dropped with the old key view.
    tables_ = now;
    for (int k = 0; k < key_count(); ++k) {
      if (!keys_->layout(k).index() || keys_->layout(k).dynamic()) continue;
      KeyCounter counter;
      s = keys_->ReadCounter(k, &counter);
      if (s.ok()) {
        counter.rebuild_point = 1;
        s = keys_->WriteCounter(k, counter);
      }
      if (!s.ok()) return s;
    }
    MakeKeys();
    return Status::OK();
  });
}

// --- the walk in key order ---------------------------------------------------------

KeyWalk::KeyWalk(Table* table, int k) : table_(table), k_(k) {}

void KeyWalk::ToFirst() {
  place_ = Place::kStart;
  key_.clear();
  record_ = 0;
}

void KeyWalk::ToLast() {
  place_ = Place::kEnd;
  key_.clear();
  record_ = 0;
}

Status KeyWalk::Seek(std::span<const uint8_t> buffer) {
  Status s = table_->CheckKey(k_);
  if (!s.ok()) return s;
  if (buffer.size() != table_->record_length()) {
    return Status::Error(err::kInvalidRecordDeclaration, "record buffer of the wrong length");
  }
  return table_->Read([&] {
    key_ = table_->keys_->ProbeKey(k_, buffer);
    place_ = key_.empty() ? Place::kStart : Place::kBefore;
    record_ = 0;
    return Status::OK();
  });
}

Status KeyWalk::Step(bool forward) {
  Status s = table_->CheckKey(k_);
  if (!s.ok()) return s;
  return table_->Read([&]() -> Status {
    TableKeys& keys = *table_->keys_;
    TsrTree* tree = keys.TreeOf(k_);  // none: a dynamic index never built
    const auto prefix = keys.Prefix(k_);
    TsrRecord* r = nullptr;
    if (tree != nullptr) {
      switch (place_) {
        case Place::kStart:
          if (forward) r = tree->Next(prefix);
          break;
        case Place::kEnd:
          if (!forward) {
            auto after = prefix;
            ++after[TableKeys::kPrefixSize - 1];  // keys number at most 240
            r = tree->Previous(after);
          }
          break;
        case Place::kBefore:
          if (forward) {
            r = tree->Find(key_);
            if (r == nullptr) r = tree->Next(key_);
          } else {
            r = tree->Previous(key_);
          }
          break;
        case Place::kOn:
          r = forward ? tree->Next(key_) : tree->Previous(key_);
          break;
      }
    }
    if (r == nullptr || !StartsWith(r->key(), prefix) || r->key_size() == prefix.size()) {
      place_ = forward ? Place::kEnd : Place::kStart;
      key_.clear();
      record_ = 0;
      return NotAvailable();
    }
    key_.assign(r->key().begin(), r->key().end());
    record_ = TableKeys::RecordNumberOf(*r);
    place_ = Place::kOn;
    return Status::OK();
  });
}

Status KeyWalk::Fetch(std::span<uint8_t> buffer, bool watch) {
  if (record_ == 0) return NotAvailable();
  return table_->Fetch(record_, buffer, watch);
}

}  // namespace tessera
