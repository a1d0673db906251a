// TsrCursor: a place in the record tree that survives page changes.
//
// A cursor is either attached (it stands on a loaded leaf page, in that
// page's cursor list, and on one of its records or on nothing) or detached
// (it holds only a private copy of a key). It detaches -- keeping the key of
// its record -- whenever its page splits, has a record deleted through the
// tree, or leaves memory; Current() then descends again by that key and
// stands on the record with exactly that key, or on nothing.
//
// Invariants:
//  1. page_ == nullptr implies record_ == nullptr.
//  2. record_ != nullptr implies record_ is in page_'s tree and the cursor is
//     in record_'s cursor list; page_ != nullptr implies the cursor is in
//     page_'s cursor list.
//  3. key_ holds the key the cursor finds its place by; it is refreshed from
//     the record whenever the cursor leaves it (detach, record freed).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "storage/status.h"

namespace tessera {

class TsrPage;
class TsrRecord;
class TsrTree;

class TsrCursor {
 public:
  // A cursor on the tree's file that stands nowhere (the empty key).
  explicit TsrCursor(TsrTree* tree);
  ~TsrCursor();
  TsrCursor(const TsrCursor&) = delete;
  TsrCursor& operator=(const TsrCursor&) = delete;

  // Keeps a copy of the key (of the record) and detaches from any page.
  void Set(std::span<const uint8_t> key);
  void Set(const TsrRecord& record);

  // The record with exactly the cursor's key, or nullptr (the empty smallest
  // record is reported as nullptr). Validates the header first (internal
  // failure 256); a detached cursor descends to the leaf covering its key
  // and attaches there.
  TsrRecord* Current();

  // Adds a record whose key is greater than the cursor's and than every key
  // of its kind added since, directly into the cursor's page when it stands
  // on one. Internal failure 231 in read intent, 232 when the header cannot
  // be validated, 706 for an equal key. A record longer than
  // kMaxRecordLength is refused with an error and the tree is not touched.
  // Afterwards the cursor stands on the new record.
  Status Insert(std::unique_ptr<TsrRecord> record);

  // Deletes the record the cursor stands on (made current first) and moves
  // the cursor to the record before it. Internal failure 337 in read intent,
  // 300 when the page's parent links are inconsistent. Returns false when
  // the cursor stands on no record (nothing is deleted).
  bool Delete();

  // Leaves the page, keeping the key of the record it stood on.
  void Detach();

  // Inspection.
  TsrPage* page() const { return page_; }
  TsrRecord* record() const { return record_; }
  std::span<const uint8_t> key() const { return key_; }
  TsrTree* tree() const { return tree_; }

 private:
  friend class TsrPage;
  friend class TsrRecord;

  void Attach(TsrPage* page, TsrRecord* record);
  void StandOn(TsrRecord* record);  // within page_
  void LeaveRecord();               // keeps key_ up to date

  TsrTree* tree_;
  TsrPage* page_ = nullptr;
  TsrRecord* record_ = nullptr;
  std::vector<uint8_t> key_;

  // Intrusive lists: the page's cursors and the record's cursors.
  TsrCursor* page_prev_ = nullptr;
  TsrCursor* page_next_ = nullptr;
  TsrCursor* record_prev_ = nullptr;
  TsrCursor* record_next_ = nullptr;
};

}  // namespace tessera
