// TsrRecord: one record of the file's record tree, and the key order.
//
// A record is a byte string of total length T whose first K bytes are its key
// and whose remaining T - K bytes are its data:
//
//   +---------------------+----------------------+
//   | key (K bytes)       | data (T - K bytes)   |
//   +---------------------+----------------------+
//
// Order: keys alone decide. The first min(K1, K2) bytes are compared as
// unsigned bytes; the first difference decides; when all are equal the
// shorter key comes first. Keys are unique within a file.
//
// Invariants:
//  1. 0 <= K <= T <= kMaxRecordBytes (15093); creating a longer record is
//     internal failure 824. T = 0 only for the sentinel and the empty
//     smallest record of the root leaf.
//  2. A record linked into a page's balanced tree has weight >= 1 (the number
//     of records in its subtree); its empty subtrees are the file's sentinel,
//     which has weight 0 and whose links are never written. An unlinked
//     record has weight 0 and null links, so "weight() > 0" means "stands in
//     a loaded page".
//  3. Every cursor standing on a record is in the record's cursor list; when
//     the record is freed each such cursor keeps a copy of the key and stands
//     on nothing.
//  4. child is meaningful only for entries of index pages (level >= 1): the
//     unit of the page one level below whose smallest key this entry's key
//     was copied from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace tessera {

class TsrCursor;
class TsrPage;

// Longest record object that may exist (internal failure 824 beyond it).
inline constexpr size_t kMaxRecordBytes = 15093;

// Longest record the tree accepts for insertion. A page splits when its
// estimate (13 + sum of T + 5 per record, more in index pages) passes 15094,
// and a page cannot split below two records, so a single record with
// T + 5 + 13 > 15094 -- that is T > 15076 -- could never be stored in any
// page. Insertion refuses such records up front instead of failing in the
// split; every record the tables write is at most 15009 bytes.
inline constexpr size_t kMaxRecordLength = 15076;

// Three-way comparison of two keys in the file's order.
int CompareKeys(std::span<const uint8_t> a, std::span<const uint8_t> b);

class TsrRecord {
 public:
  // A record of key bytes followed by data bytes (internal failure 824 when
  // together longer than kMaxRecordBytes).
  TsrRecord(std::span<const uint8_t> key, std::span<const uint8_t> data);
  // A key-only copy of `source` (T = K), as index entries are made.
  static std::unique_ptr<TsrRecord> KeyCopy(const TsrRecord& source,
                                            int32_t child);
  ~TsrRecord();  // cursors standing on it keep a key copy, stand on nothing
  TsrRecord(const TsrRecord&) = delete;
  TsrRecord& operator=(const TsrRecord&) = delete;

  size_t size() const { return size_; }          // T
  size_t key_size() const { return key_size_; }  // K
  std::span<const uint8_t> bytes() const { return {bytes_.get(), size_}; }
  std::span<const uint8_t> key() const { return {bytes_.get(), key_size_}; }
  std::span<const uint8_t> data() const {
    return {bytes_.get() + key_size_, static_cast<size_t>(size_ - key_size_)};
  }

  // Weight in its page's balanced tree; 0 when it stands in no page.
  uint32_t weight() const { return weight_; }
  bool linked() const { return weight_ > 0; }

  int32_t child = 0;  // index entries: unit of the child page

 private:
  friend class TsrPage;
  friend class TsrCursor;

  std::unique_ptr<uint8_t[]> bytes_;
  uint16_t size_ = 0;
  uint16_t key_size_ = 0;

  // Balanced-tree links (see invariant 2).
  TsrRecord* left_ = nullptr;
  TsrRecord* right_ = nullptr;
  TsrRecord* parent_ = nullptr;
  uint32_t weight_ = 0;

  TsrCursor* cursors_ = nullptr;  // head of the cursors standing on it
};

}  // namespace tessera
