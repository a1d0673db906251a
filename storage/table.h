// Tables: the table catalogue of a Tessera file, the record kinds of a
// table, and the table-level and record-level operations on them.
//
// A Tessera file holds any number of tables. Everything of a table is a
// record of the file's tree whose key starts with the table number T (4
// bytes, big-endian) and a kind byte. N is a record number (4 bytes,
// big-endian); every other integer is little-endian.
//
//   key                                   data                 kind
//   FE, table name (no terminator)        T                    name record
//   FF                                    txn id, control file mark of the last
//                                         name, 00             multi-file txn
//   T, F3, N                              record buffer        data record
//   T, F6, index (243 = data, k = key k)  count (4, signed),   counter
//                                         rebuild point (4)
//   T, FA, block (2)                      <= 512 bytes of the  definition
//                                         definition stream
//   T, FB, 01                             OEM flag, tables     collation record
//   T, FC, N, memo index (1),             memo: <= 256 bytes;  memo / blob piece
//     piece (2, big-endian)               blob: <= 10240 (the
//                                         first: 4-byte length
//                                         L, then <= 10240)
//   T, k (0..239), components [, N]       N (unique keys) or   key entry
//                                         nothing (duplicates)
//
// Table and record numbers come from the file's one sequence counter, so a
// table number never equals a record number of the same file, and record
// numbers are never reused. Every table number's first byte is below FE, so
// all table records precede the name records. Within a table: key entries,
// data records, counters, definition, collation record, memo pieces.
//
// Names: "file" or "file\!table". The split is at the first "\!" whose
// preceding text is not an existing directory; a file name without an
// extension gets ".TSR"; without "\!" the table is "UNNAMED". On this
// platform the path separator is "/"; "\!" still separates the table.
//
// Invariants:
//  1. A table that exists has its name record, its definition blocks 0..n,
//     its data counter [T, F6, F3] and one counter per key.
//  2. The data counter's count equals the number of its data records.
//  3. A memo with trailing spaces only has no pieces; the stored pieces of a
//     memo are numbered 0, 1, ... without holes and all but the last hold
//     256 bytes (10240 data bytes for a blob, plus the length in piece 0).
//  4. String fields (not overlays) and non-binary memos of an OEM table are
//     stored in the OEM code page and held in the ANSI one in memory.
//
// Keys: an open table keeps its TableKeys (keys.h) from open or create to
// close, made once from its definition and its collation tables; dynamic
// indexes live in it and go with it. Add, append, change and delete keep the
// key entries through a KeyMaintainer: TableKeyMaintainer (key_maintainer.h)
// over that TableKeys unless the services name another. Finds, counts and
// builds of keys, and KeyWalk, the walk in a key's order, are here too.
//
// FULLBUILD: a build of all keys with the table's full-build setting on
// first renews the collation record from the platform's current tables, so
// that the rebuilt keys and the record agree; indexes (which that build
// does not build) are then marked stale from record 1, and dynamic indexes
// are dropped, because their entries were made with the old tables. Every
// build turns the setting off afterwards, whatever its result.
//
// Remove, copy, rename and the list of tables: table_catalogue.h. The
// interactive choice of a table: table_chooser.h.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "storage/collation.h"
#include "storage/declaration.h"
#include "storage/definition.h"
#include "storage/env/env.h"
#include "storage/key_build.h"
#include "storage/keys.h"
#include "storage/status.h"

namespace tessera {

class TsrCursor;
class TsrFile;
class TsrFileRegistry;
class TsrTree;

namespace err {
inline constexpr int kRecordNotAvailable = 33;
inline constexpr int kRecordNotFound = 35;
inline constexpr int kDuplicateKey = 40;
inline constexpr int kRecordChanged = 89;
}  // namespace err

// --- names ---------------------------------------------------------------------

inline constexpr std::string_view kTableSeparator = "\\!";
inline constexpr std::string_view kUnnamedTable = "UNNAMED";
inline constexpr std::string_view kDefaultExtension = ".TSR";

struct TableName {
  std::string file;   // OS file name, with its extension
  std::string table;  // "UNNAMED" when the name had no table part
  bool has_table_part = false;

  // file, or file "\!" table unless the table is UNNAMED.
  std::string full() const;
};

// Splits a table name (see the header comment); `env` answers whether a
// prefix is an existing directory.
TableName SplitTableName(const std::string& name, Env* env);

// --- record kinds ----------------------------------------------------------------

using TableNumber = std::array<uint8_t, 4>;

inline constexpr uint8_t kNameKind = 0xFE;
inline constexpr uint8_t kDataKind = 0xF3;
inline constexpr uint8_t kCounterKind = 0xF6;
inline constexpr uint8_t kDefinitionKind = 0xFA;
inline constexpr uint8_t kCollationKind = 0xFB;
inline constexpr uint8_t kMemoKind = 0xFC;
inline constexpr uint8_t kDataCounterIndex = 0xF3;
inline constexpr size_t kMemoPieceSize = 256;
inline constexpr size_t kBlobPieceSize = 10240;

uint32_t NumberValue(const TableNumber& number);
TableNumber NumberBytes(uint32_t value);

std::vector<uint8_t> NameRecordKey(std::string_view table);
std::array<uint8_t, 9> DataRecordKey(const TableNumber& t, uint32_t record);
std::array<uint8_t, 6> CounterKey(const TableNumber& t, uint8_t index);
std::array<uint8_t, 7> DefinitionBlockKey(const TableNumber& t, uint16_t block);
std::array<uint8_t, 12> MemoPieceKey(const TableNumber& t, uint32_t record, uint8_t memo,
                                     uint16_t piece);

struct Counter {
  int32_t count = 0;
  uint32_t rebuild_point = 0;  // 0: the key is complete
};
std::array<uint8_t, 8> EncodeCounter(const Counter& c);
bool DecodeCounter(std::span<const uint8_t> data, Counter* out);

// A memo's or blob's stored pieces, and the content read back from them.
// Text memos lose their trailing spaces; ReadMemo fills to `size` with
// spaces and cuts anything longer. A blob's first piece carries its length;
// ReadBlob refuses (false) pieces that do not add up to it.
std::vector<std::vector<uint8_t>> CutMemo(std::span<const uint8_t> memo);
std::vector<std::vector<uint8_t>> CutBlob(std::span<const uint8_t> blob);
std::vector<uint8_t> ReadMemo(const std::vector<std::vector<uint8_t>>& pieces, size_t size);
bool ReadBlob(const std::vector<std::vector<uint8_t>>& pieces, std::vector<uint8_t>* blob);

// --- key maintenance -------------------------------------------------------------

// What a key maintainer works on: the open table's file and tree, number,
// definition and string treatment, and the table's own key view (null for a
// table opened only to be removed, copied or renamed). Valid for the
// duration of one call.
struct KeyTable {
  TsrFile* file = nullptr;
  TsrTree* tree = nullptr;
  TableNumber number{};
  const TableDefinition* definition = nullptr;
  const CollationTables* tables = nullptr;
  bool oem = false;
  TableKeys* keys = nullptr;
};

// The table layer calls these inside the file's write intent, in the order
// the operations need. Each `record` is the record buffer in memory form
// (ANSI strings), record_length bytes. They may raise internal failures
// (which end the table operation with 90).
class KeyMaintainer {
 public:
  virtual ~KeyMaintainer() = default;

  // A new record N. `maintain` false (append): insert nothing, only lower
  // every key's rebuild point to N. On a duplicate in a key without
  // duplicates, removes the entries already added for N and returns 40.
  virtual Status AddEntries(const KeyTable& table, uint32_t record,
                            std::span<const uint8_t> buffer, bool maintain) = 0;
  // Record N changes from `old_buffer` to `new_buffer`. On 40 every key is
  // left as it was (the old entries stand).
  virtual Status UpdateEntries(const KeyTable& table, uint32_t record,
                               std::span<const uint8_t> old_buffer,
                               std::span<const uint8_t> new_buffer) = 0;
  // Record N with `buffer` is gone: remove its entries (missing ones are no
  // error: a deferred key may not have them yet).
  virtual void DeleteEntries(const KeyTable& table, uint32_t record,
                             std::span<const uint8_t> buffer) = 0;
  // Every record of the table number is about to be deleted (create over an
  // old table, empty, remove, rename away, an add finding its counter
  // gone): drop whatever is held in memory for the table (dynamic indexes).
  virtual void DropTable(const KeyTable& table) = 0;
};

// --- services --------------------------------------------------------------------

// Where tables get their OS services, open files and key maintenance. Null
// registries mean the process's (and the thread's) own.
struct TableServices {
  Env* env = Env::Default();
  TsrFileRegistry* files = nullptr;         // tables without the per-thread flag
  TsrFileRegistry* thread_files = nullptr;  // tables with it
  KeyMaintainer* keys = nullptr;            // null: TableKeyMaintainer

  TsrFileRegistry& Registry(bool per_thread) const;
  KeyMaintainer& Keys() const;
};

// Open modes the engine uses for its own operations.
inline constexpr uint32_t kListMode = 0x40;
inline constexpr uint32_t kChangeMode = 0x42;
inline constexpr uint32_t kCreateMode = 0x142;

// --- the table -------------------------------------------------------------------

struct OpenOptions {
  uint32_t mode = mode::kReadWrite | mode::kDenyNone;
  std::string password;
  bool per_thread = false;
  bool decimal_check = true;  // the DecimalCheck driver option
  bool defer_memos = false;   // memos are not read with records
};

class Table {
 public:
  explicit Table(TableServices services = {});
  ~Table();  // closes the table if open
  Table(const Table&) = delete;
  Table& operator=(const Table&) = delete;

  // Opens an existing table. With a declaration that has fields or memos
  // the stored definition is compared with it (47 and `report` on a
  // difference); without one the stored definition is loaded. 2 when the
  // table does not exist; 36 for a damaged definition.
  Status Open(const std::string& name, const TableDeclaration* declaration,
              const OpenOptions& options = {}, DefinitionReport* report = nullptr);
  // Creates the table (mode 0x142), replacing one of the same name.
  Status Create(const std::string& name, const TableDeclaration& declaration,
                const OpenOptions& options = {}, DefinitionReport* report = nullptr);
  // Commits and gives the file back to its registry.
  Status Close();

  // Deletes every record of the table and writes its definition and
  // counters again.
  Status Empty();

  // Record level. Buffers are record_length() bytes in memory form.
  Status Add(std::span<const uint8_t> buffer) { return AddRecord(buffer, true); }
  Status Append(std::span<const uint8_t> buffer) { return AddRecord(buffer, false); }
  // Changes the current record; with `watch` set by the fetch, 89 when the
  // stored record or a stored memo changed since it was read.
  Status Change(std::span<const uint8_t> buffer);
  Status Delete();
  // Reads record N into `buffer` and makes it current; 35 when it does not
  // exist. `watch` arms the check of the next Change.
  Status Fetch(uint32_t record, std::span<uint8_t> buffer, bool watch = false);
  // The count of the data records (index 243) or of key k (a dynamic
  // index: of its entries in memory, 0 before its first build).
  Status Records(uint8_t index, int32_t* count);

  // --- keys (k counts from 0; 76 for a key the table does not have) --------
  int key_count() const { return static_cast<int>(definition_.keys.size()); }
  // The table's key view, null when the table is not open.
  TableKeys* keys() const { return keys_.get(); }
  // Reads into `buffer` the first record, in key k's order, whose key
  // components equal the buffer's, and makes it current; 35 when there is
  // none. `buffer` is untouched then.
  Status Find(int k, std::span<uint8_t> buffer, bool watch = false);
  // Progress reports of builds: the hook and the setting (1..100), as
  // BuildOptions takes them.
  void set_build_progress(BuildProgress* progress, int setting) {
    progress_ = progress;
    progress_setting_ = setting;
  }
  // The FULLBUILD setting (see the header comment); builds turn it off.
  void set_full_build(bool on) { full_build_ = on; }
  bool full_build() const { return full_build_; }
  // Builds key k (key_build.h); 5 unless the table is open for reading and
  // writing. The build's work is committed whatever its result.
  Status BuildKey(int k);
  // Builds every key that is neither an index nor a dynamic index, renewing
  // the collation record first with FULLBUILD on.
  Status BuildAllKeys();
  // Gives dynamic index k the columns of `components` (field names, see
  // ParseIndexComponents) and builds it from the records `filter` accepts.
  Status BuildDynamicIndex(int k, std::string_view components, const RecordFilter& filter = {});

  // Working memo buffers (declaration order): a memo is its declared size,
  // space filled; a blob any length. Written by Add and Change, read by
  // Fetch.
  std::vector<uint8_t>& memo(size_t i) { return memos_[i]; }
  size_t memo_count() const { return memos_.size(); }

  bool is_open() const { return file_ != nullptr; }
  const std::string& name() const { return full_name_; }
  const TableName& split_name() const { return name_; }
  const TableDefinition& definition() const { return definition_; }
  uint32_t record_length() const { return definition_.record_length; }
  uint32_t number() const { return NumberValue(number_); }
  uint32_t current() const { return current_; }
  bool oem() const { return oem_; }
  bool has_collation_record() const { return has_collation_; }
  const CollationTables& collation() const { return tables_; }
  TsrFile* file() const { return file_; }

 private:
  friend class TableCatalogue;
  friend class KeyWalk;
  enum class Purpose { kOpen, kCreate, kRemove, kRenameSource, kCopySource };

  Status OpenAs(const std::string& name, const TableDeclaration* declaration,
                const OpenOptions& options, DefinitionReport* report, Purpose purpose);
  Status OpenBody(const TableDeclaration* declaration, DefinitionReport* report,
                  Purpose purpose);
  Status WriteTableRecords();  // definition blocks and counters
  Status AddRecord(std::span<const uint8_t> buffer, bool maintain_keys);
  Status ChangeCounter(uint8_t index, int delta, bool* missing);
  void DeleteEverything();
  void MakeWorkAreas();
  KeyTable KeyView();
  Status CheckKey(int k) const;
  // Makes keys_ anew from the definition and the working tables.
  void MakeKeys();
  BuildOptions MakeBuildOptions() const;
  template <class F>
  Status Build(F&& body);
  // FULLBUILD's first step: the collation record from the platform's tables.
  Status RenewCollation();
  // Runs a changing operation in write intent and ends it.
  template <class F>
  Status Write(F&& body);
  template <class F>
  Status Read(F&& body);

  // Data record bytes <-> memory form (OEM conversion of string fields).
  void ToStored(std::span<uint8_t> buffer) const;
  void FromStored(std::span<uint8_t> buffer) const;
  void ConvertMemo(std::vector<uint8_t>* memo, size_t i, bool to_oem) const;
  Status ReadMemos(uint32_t record, std::vector<std::vector<uint8_t>>* out);
  void WriteMemos(uint32_t record);
  void RewriteMemos(uint32_t record);
  void DeleteMemos(uint32_t record);
  std::vector<std::vector<uint8_t>> StoredPieces(uint32_t record, size_t i);
  std::vector<std::vector<uint8_t>> PiecesOf(size_t i) const;
  Status FetchStored(uint32_t record, std::vector<uint8_t>* buffer, bool* found);
  // The stored copy of the current record; 33 when there is none or it is gone.
  Status FetchCurrent(std::vector<uint8_t>* stored);
  void Reset();

  TableServices services_;
  TsrFileRegistry* registry_ = nullptr;
  TsrFile* file_ = nullptr;
  std::unique_ptr<TsrTree> tree_;
  TableName name_;
  std::string full_name_;
  OpenOptions options_;
  TableNumber number_{};
  TableDefinition definition_;
  bool declared_ = false;
  bool has_collation_ = false;
  bool oem_ = false;
  CollationTables tables_;
  // After the file: destroyed first, as its cursors stand on its pages.
  std::unique_ptr<TableKeys> keys_;
  bool full_build_ = false;
  BuildProgress* progress_ = nullptr;
  int progress_setting_ = 0;

  uint32_t current_ = 0;  // 0: none
  bool watch_ = false;
  std::vector<uint8_t> saved_;                  // the current record as read
  std::vector<std::vector<uint8_t>> memos_;     // working buffers
  std::vector<std::vector<uint8_t>> memos_read_;  // as read, for watch
};

// KeyWalk: the entries of key k in key order, one step at a time, each step
// an operation of its own. The walk keeps only a copy of the key of the entry
// it stands on (or of the place it stands before), never a pointer into the
// tree, so adds, changes and deletes between steps -- through this table or
// any other -- cannot invalidate it: a step takes the entry after (or before)
// that copy in the tree as it is then. An entry deleted under the walk is
// simply not met again; an entry added ahead of it is met.
class KeyWalk {
 public:
  // Stands before the first entry.
  KeyWalk(Table* table, int k);

  void ToFirst();  // before the first entry
  void ToLast();   // after the last entry
  // Stands before the first entry whose components are not below the
  // buffer's (the place Table::Find starts from).
  Status Seek(std::span<const uint8_t> buffer);

  // Steps to the next (previous) entry; 33 ("Record Not Available") past
  // the last (first) one, where the walk then stands.
  Status Next() { return Step(true); }
  Status Previous() { return Step(false); }
  // The record number of the entry stood on (0 when none).
  uint32_t record() const { return record_; }
  // Reads that record into `buffer` (Table::Fetch: it becomes current);
  // 35 when the entry outlived its record.
  Status Fetch(std::span<uint8_t> buffer, bool watch = false);

 private:
  Status Step(bool forward);

  enum class Place { kStart, kEnd, kBefore, kOn };

  Table* table_;
  int k_;
  Place place_ = Place::kStart;
  std::vector<uint8_t> key_;  // kOn: the entry's key; kBefore: the bound
  uint32_t record_ = 0;
};

}  // namespace tessera
