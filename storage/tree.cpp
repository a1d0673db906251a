#include "storage/tree.h"

#include <cstring>
#include <string>
#include <vector>

#include "storage/cursor.h"
#include "storage/internal_failure.h"
#include "storage/page.h"
#include "storage/page_store.h"
#include "storage/record.h"

namespace tessera {
namespace {

constexpr int kFailureInsertReadIntent = 1194;
constexpr int kFailureDeleteReadIntent = 1203;
constexpr int kFailureNotInPage = 780;
constexpr int kFailureSplitTooFew = 1364;

}  // namespace

Status TsrTree::CheckInsertable(const TsrRecord& record) {
  if (record.size() > kMaxRecordLength) {
    return Status::Error(err::kFileSystemError,
                         "record of " + std::to_string(record.size()) +
                             " bytes is longer than a page can hold (" +
                             std::to_string(kMaxRecordLength) + ")");
  }
  if (record.key_size() > kMaxKeyLength) {
    return Status::Error(err::kFileSystemError,
                         "key of " + std::to_string(record.key_size()) +
                             " bytes is longer than an index page can hold (" +
                             std::to_string(kMaxKeyLength) + ")");
  }
  return Status::OK();
}

void TsrTree::Touch(TsrPage* page) {
  if (!page->dirty) store_->MarkDirty(page);
}

TsrPage* TsrTree::Child(TsrPage* page, const TsrRecord* entry) {
  Check(entry != nullptr, kFailureBadDescent);
  const int level = page->level;
  TsrPage* child = store_->GetPage(entry->child);
  Check(child != nullptr && child->level == level - 1, kFailureBadDescent);
  return child;
}

TsrPage* TsrTree::Descend(std::span<const uint8_t> key, int level) {
  TsrPage* page = store_->GetRootPage();
  Check(page->level >= level, kFailureBadDescent);
  while (page->level > level) page = Child(page, page->FindLE(key));
  return page;
}

// --- searches ------------------------------------------------------------------

TsrRecord* TsrTree::Find(std::span<const uint8_t> key) {
  if (key.empty()) return nullptr;  // the smallest record stays hidden
  return Descend(key, 0)->Find(key);
}

TsrRecord* TsrTree::NextIn(TsrPage* page, std::span<const uint8_t> key) {
  if (page->level == 0) return page->FindGT(key);
  PagePin pin(page);
  TsrRecord* entry = page->FindLE(key);
  if (entry == nullptr) entry = page->First();
  // Usually the first child answers; when the key is at or past the end of
  // that child the answer is the first record of a later one.
  for (; entry != nullptr; entry = TsrPage::Next(entry)) {
    if (TsrRecord* r = NextIn(Child(page, entry), key)) return r;
  }
  return nullptr;
}

TsrRecord* TsrTree::Next(std::span<const uint8_t> key) {
  return NextIn(store_->GetRootPage(), key);
}

TsrRecord* TsrTree::Next(const TsrRecord& record) {
  if (record.linked()) {
    if (TsrRecord* r = TsrPage::Next(&record)) return r;
  }
  const std::vector<uint8_t> key(record.key().begin(), record.key().end());
  return Next(key);
}

TsrRecord* TsrTree::PreviousIn(TsrPage* page, std::span<const uint8_t> key) {
  if (page->level == 0) return page->FindLT(key);
  PagePin pin(page);
  for (TsrRecord* entry = page->FindLT(key); entry != nullptr;
       entry = TsrPage::Previous(entry)) {
    if (TsrRecord* r = PreviousIn(Child(page, entry), key)) return r;
  }
  return nullptr;
}

TsrRecord* TsrTree::Previous(std::span<const uint8_t> key) {
  TsrRecord* r = PreviousIn(store_->GetRootPage(), key);
  return r != nullptr && r->key_size() > 0 ? r : nullptr;
}

// --- insert and split ------------------------------------------------------------

Status TsrTree::Insert(std::unique_ptr<TsrRecord> record) {
  Status s = CheckInsertable(*record);
  if (!s.ok()) return s;
  InsertChecked(std::move(record), 0);
  return Status::OK();
}

void TsrTree::InsertAtLevel(std::unique_ptr<TsrRecord> record, int level) {
  InsertChecked(std::move(record), level);
}

void TsrTree::InsertChecked(std::unique_ptr<TsrRecord> record, int level) {
  Check(store_->InWriteIntent(), kFailureInsertReadIntent);
  TsrPage* page = Descend(record->key(), level);
  page->Insert(std::move(record));
  Touch(page);
  SplitIfNeeded(page);
}

void TsrTree::SplitIfNeeded(TsrPage* page) {
  if (!page->NeedsSplit()) return;
  Check(page->count() >= 2, kFailureSplitTooFew);
  page->DetachCursors();
  Touch(page);  // dirty pages stay in memory while we hold them
  TsrPage* fresh = store_->NewPage(page->level);
  Touch(fresh);
  if (store_->GetRootPage() == page) {
    // The root keeps its unit: its records move down into the new page and
    // the root becomes the index above it.
    page->MoveAllTo(fresh);
    page->level += 1;
    page->estimate = page->ComputeEstimate();
    page->Insert(TsrRecord::KeyCopy(*fresh->First(), fresh->unit));
    page = fresh;
    fresh = store_->NewPage(page->level);
    Touch(fresh);
  }
  page->SplitInto(fresh);
  InsertAtLevel(TsrRecord::KeyCopy(*fresh->First(), fresh->unit),
                fresh->level + 1);
  SplitIfNeeded(page);
  SplitIfNeeded(fresh);
}

// --- delete ----------------------------------------------------------------------

void TsrTree::Delete(TsrRecord* record) {
  Check(store_->InWriteIntent(), kFailureDeleteReadIntent);
  // The smallest record anchors the leftmost path; it is never deleted.
  Check(record != nullptr && record->key_size() > 0, kFailureNotInPage);
  std::unique_ptr<TsrRecord> owned = RemoveAt(record->key(), record, 0, 0);
}

std::unique_ptr<TsrRecord> TsrTree::RemoveAt(std::span<const uint8_t> key,
                                             const TsrRecord* identity,
                                             int32_t child, int level) {
  TsrPage* page = store_->GetRootPage();
  Check(page->level >= level, kFailureBadDescent);
  // Remember the parent's entry by key: the fix-ups below may split the
  // parent, so a pointer into it would not stay meaningful.
  std::vector<uint8_t> entry_key;
  bool has_parent = false;
  while (page->level > level) {
    TsrRecord* entry = page->FindLE(key);
    Check(entry != nullptr, kFailureBadDescent);
    if (page->level == level + 1) {
      entry_key.assign(entry->key().begin(), entry->key().end());
      has_parent = true;
    }
    page = Child(page, entry);
  }
  TsrRecord* target = page->Find(key);
  Check(target != nullptr &&
            (identity != nullptr ? target == identity : target->child == child),
        kFailureNotInPage);
  std::unique_ptr<TsrRecord> owned = page->Remove(target);
  Touch(page);
  page->DetachCursors();
  if (!has_parent) return owned;  // the root: never freed, nothing above

  if (page->count() == 0) {
    // The page is gone: drop its entry (repairing above), then the page.
    RemoveAt(entry_key, nullptr, page->unit, level + 1);
    store_->FreePage(page);
  } else if (CompareKeys(page->First()->key(), entry_key) > 0) {
    // Its first record was removed: a new entry for the new first key
    // goes in (it lands in the same parent) before the old one goes out,
    // so the parent never becomes empty on the way.
    InsertAtLevel(TsrRecord::KeyCopy(*page->First(), page->unit), level + 1);
    RemoveAt(entry_key, nullptr, page->unit, level + 1);
  }
  return owned;
}

void TsrTree::DeleteTableRecords(std::span<const uint8_t, 4> table) {
  // The key just past the table's records: the table number plus one.
  std::vector<uint8_t> bound(table.begin(), table.end());
  int i = 3;
  for (; i >= 0; --i) {
    if (++bound[i] != 0) break;
  }
  // FF FF FF FF has no successor of four bytes; it is no table number
  // either (the sequence counter stops below FE 00 00 00).
  if (i < 0) return;
  TsrRecord* last = Previous(bound);
  if (last == nullptr) return;
  TsrCursor cursor(this);
  cursor.Set(*last);
  for (TsrRecord* r = cursor.Current();
       r != nullptr && r->key_size() >= 4 &&
       std::memcmp(r->key().data(), table.data(), 4) == 0;
       r = cursor.Current()) {
    cursor.Delete();
  }
}

}  // namespace tessera
