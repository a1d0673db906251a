// TsrTree: the record tree of one file, over the pages of a PageStore.
//
// Shape:
//
//   root (level h, never moves; unit fixed)     [""|u1] [k2|u2] [k3|u3]
//                                                  |       |       |
//   index pages (level L >= 1): one entry per child page of level L - 1,
//   a key-only copy of the child's first key with the child's unit
//                                                  |       |       |
//   leaves (level 0): the records in key order   ["", ...] [k2, ...] [k3, ...]
//
// Invariants:
//  1. All leaves are at level 0; every child of an index page of level L is
//     at level L - 1. The tree gains a level only when the root splits: the
//     root's records move to a new page and the root becomes an index one
//     level up, so the root keeps its unit.
//  2. The leftmost entry at every level has the empty key; the empty
//     smallest record stands first in the leftmost leaf, so a descent by
//     "greatest entry not greater than the key" always finds an entry. The
//     smallest record is never returned by a search.
//  3. An entry's key equals its child's first key: deleting a child's first
//     record replaces the entry; a child that becomes empty is freed and its
//     entry removed. Pages are never merged; the root is never freed.
//  4. After every insert no page needs a split (page.h thresholds).
//
// Page lifetimes follow page_store.h: a page pointer is held across another
// page fetch only while the page is pinned or dirty.
//
// Failures: 706 equal key, 780 record to delete not in its page, 1194 insert
// and 1203 delete in read intent, 1364 a page of one record needs a split,
// kFailureBadDescent when an index page has no entry for a key or a child is
// not one level below its parent (damaged file).
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "storage/status.h"

namespace tessera {

class PageStore;
class TsrPage;
class TsrRecord;

inline constexpr int kFailureBadDescent = 1365;

// Longest key the tree accepts: an index page must be able to hold a
// single entry (13 + K + 9 <= 15094).
inline constexpr size_t kMaxKeyLength = 15072;

class TsrTree {
 public:
  explicit TsrTree(PageStore* store) : store_(store) {}

  PageStore* store() const { return store_; }

  // The record whose key equals `key`, or nullptr.
  TsrRecord* Find(std::span<const uint8_t> key);
  // The first record whose key is greater than `key`, or nullptr.
  TsrRecord* Next(std::span<const uint8_t> key);
  // The same for the key of `record`; when the record stands in a loaded
  // page that holds a following record, that record is returned without a
  // descent.
  TsrRecord* Next(const TsrRecord& record);
  // The last record whose key is less than `key`, or nullptr (the empty
  // smallest record counts as none).
  TsrRecord* Previous(std::span<const uint8_t> key);

  // Puts a new record into the leaf covering its key. Refuses, with an
  // error and without touching the tree, a record longer than
  // kMaxRecordLength or with a key longer than kMaxKeyLength. Internal
  // failure 1194 in read intent, 706 for an equal key.
  Status Insert(std::unique_ptr<TsrRecord> record);
  // The same for an entry of an index page of `level` (separators).
  void InsertAtLevel(std::unique_ptr<TsrRecord> record, int level);
  // Removes and frees a record obtained from the tree (780 when that very
  // object is not in its page; 1203 in read intent).
  void Delete(TsrRecord* record);
  // Removes every record whose first four key bytes equal `table`.
  void DeleteTableRecords(std::span<const uint8_t, 4> table);

  // Whether a record fits the limits above.
  static Status CheckInsertable(const TsrRecord& record);

  // --- for the cursor layer ------------------------------------------------
  // The page of `level` covering `key`, by descent from the root.
  TsrPage* Descend(std::span<const uint8_t> key, int level);
  // Marks a page dirty unless it is already.
  void Touch(TsrPage* page);
  // Splits `page` (and its halves, and pages above) until no split is due.
  void SplitIfNeeded(TsrPage* page);

 private:
  TsrPage* Child(TsrPage* page, const TsrRecord* entry);
  TsrRecord* NextIn(TsrPage* page, std::span<const uint8_t> key);
  TsrRecord* PreviousIn(TsrPage* page, std::span<const uint8_t> key);
  void InsertChecked(std::unique_ptr<TsrRecord> record, int level);
  // Removes the entry with `key` at `level` -- `identity` when given, else
  // the one whose child is `child` -- and repairs the levels above.
  std::unique_ptr<TsrRecord> RemoveAt(std::span<const uint8_t> key,
                                      const TsrRecord* identity,
                                      int32_t child, int level);

  PageStore* store_;
};

}  // namespace tessera
