#include "storage/cursor.h"

#include "storage/internal_failure.h"
#include "storage/page.h"
#include "storage/page_store.h"
#include "storage/record.h"
#include "storage/tree.h"

namespace tessera {
namespace {

constexpr int kFailureInsertReadIntent = 231;
constexpr int kFailureInsertHeader = 232;
constexpr int kFailureCurrentHeader = 256;
constexpr int kFailureParentLinks = 300;
constexpr int kFailureDeleteReadIntent = 337;

}  // namespace

TsrCursor::TsrCursor(TsrTree* tree) : tree_(tree) {}

TsrCursor::~TsrCursor() { Detach(); }

void TsrCursor::Set(std::span<const uint8_t> key) {
  std::vector<uint8_t> copy(key.begin(), key.end());  // key may be ours
  Detach();
  key_ = std::move(copy);
}

void TsrCursor::Set(const TsrRecord& record) { Set(record.key()); }

void TsrCursor::LeaveRecord() {
  if (record_ == nullptr) return;
  key_.assign(record_->key().begin(), record_->key().end());
  if (record_prev_ != nullptr) {
    record_prev_->record_next_ = record_next_;
  } else {
    record_->cursors_ = record_next_;
  }
  if (record_next_ != nullptr) record_next_->record_prev_ = record_prev_;
  record_prev_ = record_next_ = nullptr;
  record_ = nullptr;
}

void TsrCursor::StandOn(TsrRecord* record) {
  LeaveRecord();
  if (record == nullptr) return;
  record_ = record;
  record_next_ = record->cursors_;
  if (record_next_ != nullptr) record_next_->record_prev_ = this;
  record->cursors_ = this;
}

void TsrCursor::Attach(TsrPage* page, TsrRecord* record) {
  Detach();
  page_ = page;
  page_next_ = page->cursors_;
  if (page_next_ != nullptr) page_next_->page_prev_ = this;
  page->cursors_ = this;
  StandOn(record);
}

void TsrCursor::Detach() {
  if (page_ == nullptr) return;
  LeaveRecord();
  if (page_prev_ != nullptr) {
    page_prev_->page_next_ = page_next_;
  } else {
    page_->cursors_ = page_next_;
  }
  if (page_next_ != nullptr) page_next_->page_prev_ = page_prev_;
  page_prev_ = page_next_ = nullptr;
  page_ = nullptr;
}

TsrRecord* TsrCursor::Current() {
  // Validation may discard the cache, detaching us; so it comes first.
  Check(tree_->store()->ValidateHeader(), kFailureCurrentHeader);
  if (page_ == nullptr) {
    TsrPage* leaf = tree_->Descend(key_, 0);
    Attach(leaf, leaf->Find(key_));
  }
  return record_ != nullptr && record_->key_size() > 0 ? record_ : nullptr;
}

Status TsrCursor::Insert(std::unique_ptr<TsrRecord> record) {
  PageStore* store = tree_->store();
  Check(store->InWriteIntent(), kFailureInsertReadIntent);
  Check(store->ValidateHeader(), kFailureInsertHeader);
  Status s = TsrTree::CheckInsertable(*record);
  if (!s.ok()) return s;
  const std::vector<uint8_t> key(record->key().begin(), record->key().end());
  if (page_ != nullptr) {
    // Appends go straight into the page that covers them: no descent.
    TsrPage* page = page_;
    TsrRecord* added = record.get();
    page->Insert(std::move(record));
    tree_->Touch(page);
    if (!page->NeedsSplit()) {
      StandOn(added);
      return Status::OK();
    }
    tree_->SplitIfNeeded(page);  // detaches us
  } else {
    s = tree_->Insert(std::move(record));
    if (!s.ok()) return s;
  }
  Set(key);
  Current();
  return Status::OK();
}

bool TsrCursor::Delete() {
  Check(tree_->store()->InWriteIntent(), kFailureDeleteReadIntent);
  TsrRecord* record = Current();
  if (record == nullptr) return false;
  TsrPage* page = page_;
  Check(page->ParentLinksConsistent(record), kFailureParentLinks);
  tree_->Touch(page);  // also keeps the page (and record) in memory below
  if (TsrRecord* before = TsrPage::Previous(record)) {
    // The page keeps its first record and at least one more: no repair
    // above is needed, so the record is unlinked right here.
    std::unique_ptr<TsrRecord> owned = page->Remove(record);
    StandOn(before);
    return true;  // other cursors on the record now stand on nothing
  }
  const std::vector<uint8_t> key(record->key().begin(), record->key().end());
  TsrRecord* before = tree_->Previous(key);
  if (before != nullptr) {
    Set(*before);
  } else {
    Set(std::span<const uint8_t>());  // the sentinel's empty key
  }
  tree_->Delete(record);
  return true;
}

}  // namespace tessera
