// Keys: a table's key entries in the file's record tree -- made from record
// buffers, kept up to date on add, change and delete, found by key or by
// position, counted.
//
// Records (T = table number, N = record number, both 4 bytes big-endian;
// C = the key's encoded components, the same width for every entry):
//
//   key entry of key k (k = 0..239), key without duplicates
//     key   T(4) k(1) components(C)            data  N(4)
//   key entry of key k, key with duplicates (attribute bit 0)
//     key   T(4) k(1) components(C) N(4)       data  none
//   counter record of key k
//     key   T(4) F6(1) k(1)                    data  count(4, signed LE)
//                                                    rebuild point(4, LE)
//
// In both entry forms the last four bytes of key + data are N. Components
// are the key's columns encoded by key_codec.h in declaration order, each as
// wide as its field, so plain byte order of entries is the key's declared
// order; entries of equal components in a key with duplicates follow N.
//
// Kinds of key (attribute bits, as stored in the definition):
//   ordinary        entries follow every add, change and delete;
//   index (bit 5)   entries are not maintained; any add, change or delete of
//                   a record below the rebuild point lowers the point to that
//                   record's number; a build brings the entries up to date;
//   dynamic (bit 6) columns given when it is built; its entries and its
//                   counter live in a MemoryPageStore owned here, never in
//                   the file, and vanish with this object (table closed).
// An append ("defer all") treats every key as an index for that update.
// Rebuild point: 0 when the key is complete, else the lowest record number
// whose entries may be missing or stale; 0 counts as above every N.
//
// Invariants (keys other than dynamic indexes):
//  1. Each data record N has one entry in each key, made from its buffer,
//     except where the key is optional and the record's columns are blank,
//     and except for records at or above a non-zero rebuild point, whose
//     entries may be missing or stale.
//  2. The counter's count is the number of the key's entries in the tree.
//  3. A key without duplicates never holds two entries of equal components.
//  4. An update that fails (40, 5) leaves every entry and every counter as it
//     found them: it undoes exactly what it did, in reverse.
//
// This header deliberately includes neither the key codec nor the table
// declarations: the table layer includes it next to its own definitions.
//
// Internal failures: 3101 a record buffer that does not hold a key's columns,
// 3102 a counter record whose data is not 8 bytes, 3103 a key number out of
// range, 3104 an undo that cannot put back what it took, 3105 an entry too
// short for its key.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "storage/status.h"

namespace tessera {

struct CollationTables;
class TsrFile;
class TsrRecord;
class TsrTree;

// One column of a key: a field of the record buffer.
struct KeyColumn {
  uint8_t type = 0;     // field type code
  uint32_t offset = 0;  // in the record buffer
  uint32_t size = 0;    // the field's width, and its encoding's
  bool descending = false;
};

// What key maintenance knows of one key.
struct KeyLayout {
  uint8_t attributes = 0;  // key attribute bits
  std::vector<KeyColumn> columns;

  bool duplicates() const { return (attributes & 0x01) != 0; }
  bool optional() const { return (attributes & 0x02) != 0; }
  bool case_insensitive() const { return (attributes & 0x04) != 0; }
  bool index() const { return (attributes & 0x20) != 0; }
  bool dynamic() const { return (attributes & 0x40) != 0; }
};

// How the table treats text in keys: its collation tables (nullptr: the
// platform's current tables) and its OEM attribute.
struct KeyStrings {
  const CollationTables* tables = nullptr;
  bool oem = false;
};

// The data of a counter record.
struct KeyCounter {
  int32_t count = 0;
  uint32_t rebuild_point = 0;  // 0: none
};

// A field a dynamic index's component list may name.
struct NamedField {
  std::string name;  // stored (upper-case) name
  KeyColumn column;  // descending is set by the list
};

// Parses a dynamic index component list: names separated by ","; before each
// name spaces are skipped and an optional "+" (ascending) or "-"
// (descending) taken; the name runs to the next "," or the end and is matched
// against `fields` without regard to case. 76 ("Invalid Index String") for an
// empty text or a name that matches no field.
Status ParseIndexComponents(std::string_view text, std::span<const NamedField> fields,
                            std::vector<KeyColumn>* out);

class TableKeys {
 public:
  static constexpr uint8_t kDataKind = 0xF3;
  static constexpr uint8_t kCounterKind = 0xF6;
  static constexpr size_t kPrefixSize = 5;  // T, k

  // `record_length`: the size of every record buffer handed in. The columns
  // of every key must lie inside it.
  TableKeys(TsrFile* file, uint32_t table, uint32_t record_length,
            std::vector<KeyLayout> keys, KeyStrings strings = {});
  ~TableKeys();
  TableKeys(const TableKeys&) = delete;
  TableKeys& operator=(const TableKeys&) = delete;

  TsrFile* file() const { return file_; }
  uint32_t table() const { return table_; }
  uint32_t record_length() const { return record_length_; }
  int key_count() const { return static_cast<int>(keys_.size()); }
  const KeyLayout& layout(int k) const;
  // The width of key k's components (0 for a dynamic index not yet built).
  size_t components_size(int k) const;
  // Whether key k's columns are known (false only for a dynamic index that
  // was never built).
  bool defined(int k) const;

  // --- counter records ---------------------------------------------------
  // Inserts a counter (count 0, rebuild point 0) for every key that is not a
  // dynamic index: create and empty of a table.
  Status CreateCounters();
  // 5 ("Access Denied") when the counter record is missing (the table was
  // removed by another process).
  Status ReadCounter(int k, KeyCounter* out);
  Status WriteCounter(int k, const KeyCounter& counter);
  Status Count(int k, int32_t* count);
  // The data records' counter [T, F6, F3]; 5 when missing.
  Status DataCount(int32_t* count);

  // --- entries -----------------------------------------------------------
  struct Entry {
    std::vector<uint8_t> key, data;
  };
  // The entry of key k for `record` and N; false (no entry) when the key is
  // optional and the columns are all blank.
  bool MakeEntry(int k, std::span<const uint8_t> record, uint32_t n, Entry* out) const;

  // Updates every key but dynamic indexes for record N: add (old empty),
  // change (both) or delete (new empty); `defer_all` for an append. 0, or 40
  // ("Creates Duplicate Key") / 5 with nothing changed.
  Status Update(std::span<const uint8_t> new_record, std::span<const uint8_t> old_record,
                uint32_t n, bool defer_all);
  // Delete of record N whose data record is already gone: each key on its
  // own, so that a key that cannot be updated (its counter gone: 5) does
  // not bring back the entries the others gave up. The first error.
  Status RemoveEntries(std::span<const uint8_t> old_record, uint32_t n);

  // The record number of the entry for the buffer's components: in a key
  // without duplicates the entry of equal key bytes, with duplicates the
  // first entry (lowest N) of equal components. *found false: none (35).
  Status FindByKey(int k, std::span<const uint8_t> record, uint32_t* n, bool* found);
  // The key bytes an entry of key k for the buffer's components would have
  // (N = 0 in a key with duplicates, so it sorts before every real entry of
  // equal components), made even where the components are blank-optional:
  // the place a find or a walk starts from. Empty for a dynamic index not
  // yet built.
  std::vector<uint8_t> ProbeKey(int k, std::span<const uint8_t> record) const;
  // Whether the entry of exactly these encoded components and N exists
  // (returning to a remembered position).
  Status FindByPosition(int k, uint32_t n, std::span<const uint8_t> components,
                        bool* found);
  // Whether the buffer would duplicate an entry of key k (k without
  // duplicates, the buffer's entry not blank-optional, an entry of equal key
  // whose record is not `n`; no `n`: any record).
  Status WouldDuplicate(int k, std::span<const uint8_t> record, std::optional<uint32_t> n,
                        bool* duplicate);
  // Asks every key in order; *key is the first that would duplicate, or -1.
  Status WouldDuplicate(std::span<const uint8_t> record, std::optional<uint32_t> n, int* key);

  // Every entry of key k in key order: its record number and components.
  Status Walk(int k, const std::function<void(uint32_t n, std::span<const uint8_t> components)>&
                         visit);

  // --- for builds and the cursor layer -----------------------------------
  // The tree holding key k's entries: the file's, or a dynamic index's own.
  TsrTree* TreeOf(int k);
  // The file's tree (data records, counters, entries of stored keys).
  TsrTree* file_tree() const { return tree_.get(); }
  std::array<uint8_t, kPrefixSize> Prefix(int k) const;
  static uint32_t RecordNumberOf(const TsrRecord& entry);
  // A build item: the encoded components, then N big-endian
  // (components_size(k) + 4 bytes). False when blank-optional.
  bool MakeItem(int k, std::span<const uint8_t> record, uint32_t n, uint8_t* item) const;
  // The entry an item stands for.
  void EntryFromItem(int k, const uint8_t* item, Entry* out) const;
  // Drops a dynamic index's entries and gives it these columns, an empty
  // tree in memory and a counter of its own.
  void ResetDynamic(int k, std::vector<KeyColumn> columns);

 private:
  struct KeyState;
  struct Journal;

  KeyState& state(int k) const;
  Status UpdateKey(int k, std::span<const uint8_t> new_record,
                   std::span<const uint8_t> old_record, uint32_t n, bool defer_all,
                   Journal* journal);
  void Revert(Journal* journal);
  Status ReadCounterIn(int k, KeyCounter* out);
  Status WriteCounterIn(int k, const KeyCounter& counter);

  TsrFile* file_;
  uint32_t table_;
  uint32_t record_length_;
  KeyStrings strings_;
  std::vector<std::unique_ptr<KeyState>> keys_;
  std::unique_ptr<TsrTree> tree_;  // the file's
};

}  // namespace tessera
