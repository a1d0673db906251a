#include "storage/page.h"

#include <cstring>

#include "storage/coding.h"
#include "storage/cursor.h"
#include "storage/internal_failure.h"
#include "storage/record.h"
#include "storage/record_stream.h"

namespace tessera {
namespace {

constexpr int kFailureDuplicateKey = 706;
constexpr int kFailureNotInPage = 780;
constexpr int kFailureSplitTooFew = 1364;
constexpr int kFailureDecode = 1602;
constexpr int kFailureOverEstimate = 1659;
constexpr int kFailureBlockTooLong = 1678;

// Header field offsets.
constexpr size_t kOwnOffsetAt = 0;
constexpr size_t kStoredLengthAt = 4;
constexpr size_t kUnpackedLengthAt = 6;
constexpr size_t kEstimateAt = 8;
constexpr size_t kCountAt = 10;
constexpr size_t kLevelAt = 12;
constexpr size_t kChildUnitBytes = 4;

constexpr size_t RoundUpToUnit(size_t n) {
  return (n + kUnitBytes - 1) / kUnitBytes * kUnitBytes;
}

uint32_t OwnOffset(int32_t unit) {
  return static_cast<uint32_t>(512 + 256 * static_cast<int64_t>(unit));
}

}  // namespace

TsrPage::TsrPage(int32_t unit_in, int level_in, TsrRecord* sentinel)
    : unit(unit_in), level(level_in), sentinel_(sentinel), root_(sentinel) {}

TsrPage::~TsrPage() {
  DetachCursors();
  for (TsrRecord* r : Records()) delete r;
}

uint32_t TsrPage::Weight(const TsrRecord* r) { return r->weight_; }

bool TsrPage::Empty(const TsrRecord* r) { return r->weight_ == 0; }

size_t TsrPage::count() const { return Weight(root_); }

TsrRecord* TsrPage::First() const {
  if (Empty(root_)) return nullptr;
  TsrRecord* n = root_;
  while (!Empty(n->left_)) n = n->left_;
  return n;
}

TsrRecord* TsrPage::Last() const {
  if (Empty(root_)) return nullptr;
  TsrRecord* n = root_;
  while (!Empty(n->right_)) n = n->right_;
  return n;
}

TsrRecord* TsrPage::FindLE(std::span<const uint8_t> key) const {
  TsrRecord* best = nullptr;
  for (TsrRecord* n = root_; !Empty(n);) {
    const int c = CompareKeys(n->key(), key);
    if (c == 0) return n;
    if (c < 0) {
      best = n;
      n = n->right_;
    } else {
      n = n->left_;
    }
  }
  return best;
}

TsrRecord* TsrPage::FindLT(std::span<const uint8_t> key) const {
  TsrRecord* best = nullptr;
  for (TsrRecord* n = root_; !Empty(n);) {
    if (CompareKeys(n->key(), key) < 0) {
      best = n;
      n = n->right_;
    } else {
      n = n->left_;
    }
  }
  return best;
}

TsrRecord* TsrPage::FindGT(std::span<const uint8_t> key) const {
  TsrRecord* best = nullptr;
  for (TsrRecord* n = root_; !Empty(n);) {
    if (CompareKeys(n->key(), key) > 0) {
      best = n;
      n = n->left_;
    } else {
      n = n->right_;
    }
  }
  return best;
}

TsrRecord* TsrPage::Find(std::span<const uint8_t> key) const {
  TsrRecord* r = FindLE(key);
  return r != nullptr && CompareKeys(r->key(), key) == 0 ? r : nullptr;
}

TsrRecord* TsrPage::Next(const TsrRecord* record) {
  if (!Empty(record->right_)) {
    TsrRecord* n = record->right_;
    while (!Empty(n->left_)) n = n->left_;
    return n;
  }
  const TsrRecord* n = record;
  TsrRecord* p = record->parent_;
  while (p != nullptr && p->right_ == n) {
    n = p;
    p = p->parent_;
  }
  return p;
}

TsrRecord* TsrPage::Previous(const TsrRecord* record) {
  if (!Empty(record->left_)) {
    TsrRecord* n = record->left_;
    while (!Empty(n->right_)) n = n->right_;
    return n;
  }
  const TsrRecord* n = record;
  TsrRecord* p = record->parent_;
  while (p != nullptr && p->left_ == n) {
    n = p;
    p = p->parent_;
  }
  return p;
}

std::vector<TsrRecord*> TsrPage::Records() const {
  std::vector<TsrRecord*> out;
  out.reserve(count());
  for (TsrRecord* r = First(); r != nullptr; r = Next(r)) out.push_back(r);
  return out;
}

uint32_t TsrPage::Cost(const TsrRecord& record) const {
  return static_cast<uint32_t>(record.size()) + 5 + (level > 0 ? 4 : 0);
}

uint32_t TsrPage::ComputeEstimate() const {
  uint32_t e = kBlockHeaderBytes;
  for (TsrRecord* r = First(); r != nullptr; r = Next(r)) e += Cost(*r);
  return e;
}

bool TsrPage::NeedsSplit() const {
  if (estimate <= kSplitHardLimit &&
      (estimate <= kSplitSoftLimit || count() <= kSplitMinRecords)) {
    return false;
  }
  return true;
}

// --- balanced tree -----------------------------------------------------------

void TsrPage::ReplaceChild(TsrRecord* parent, TsrRecord* old_child,
                           TsrRecord* new_child) {
  if (parent == nullptr) {
    root_ = new_child;
  } else if (parent->left_ == old_child) {
    parent->left_ = new_child;
  } else {
    parent->right_ = new_child;
  }
  if (!Empty(new_child)) new_child->parent_ = parent;
}

TsrRecord* TsrPage::RotateLeft(TsrRecord* n) {
  TsrRecord* b = n->right_;
  TsrRecord* parent = n->parent_;
  n->right_ = b->left_;
  if (!Empty(b->left_)) b->left_->parent_ = n;
  ReplaceChild(parent, n, b);
  b->left_ = n;
  n->parent_ = b;
  n->weight_ = Weight(n->left_) + Weight(n->right_) + 1;
  b->weight_ = Weight(b->left_) + Weight(b->right_) + 1;
  return b;
}

TsrRecord* TsrPage::RotateRight(TsrRecord* n) {
  TsrRecord* a = n->left_;
  TsrRecord* parent = n->parent_;
  n->left_ = a->right_;
  if (!Empty(a->right_)) a->right_->parent_ = n;
  ReplaceChild(parent, n, a);
  a->right_ = n;
  n->parent_ = a;
  n->weight_ = Weight(n->left_) + Weight(n->right_) + 1;
  a->weight_ = Weight(a->left_) + Weight(a->right_) + 1;
  return a;
}

TsrRecord* TsrPage::Rebalance(TsrRecord* n) {
  const TsrRecord* a = n->left_;
  const TsrRecord* b = n->right_;
  if (Weight(b) > Weight(a) && Weight(b->right_) >= Weight(a)) {
    return RotateLeft(n);
  }
  if (Weight(a) > Weight(b) && Weight(a->left_) >= Weight(b)) {
    return RotateRight(n);
  }
  return n;
}

void TsrPage::Link(TsrRecord* record) {
  TsrRecord* parent = nullptr;
  bool left = false;
  for (TsrRecord* n = root_; !Empty(n);) {
    const int c = CompareKeys(record->key(), n->key());
    if (c == 0) {
      delete record;
      RaiseInternalFailure(kFailureDuplicateKey);
    }
    parent = n;
    left = c < 0;
    n = left ? n->left_ : n->right_;
  }
  record->left_ = record->right_ = sentinel_;
  record->parent_ = parent;
  record->weight_ = 1;
  if (parent == nullptr) {
    root_ = record;
    return;
  }
  (left ? parent->left_ : parent->right_) = record;
  // Back up the path: count the new record, then apply the rotation rule.
  for (TsrRecord* n = parent; n != nullptr;) {
    ++n->weight_;
    n = Rebalance(n)->parent_;
  }
}

void TsrPage::Insert(std::unique_ptr<TsrRecord> record) {
  const uint32_t cost = Cost(*record);
  Link(record.release());
  estimate += cost;
}

std::unique_ptr<TsrRecord> TsrPage::Remove(TsrRecord* record) {
  Check(record != nullptr && record->linked() && FindLE(record->key()) == record,
        kFailureNotInPage);
  TsrRecord* l = record->left_;
  TsrRecord* r = record->right_;
  if (Empty(l) && Empty(r)) {
    for (TsrRecord* n = record->parent_; n != nullptr; n = n->parent_) --n->weight_;
    ReplaceChild(record->parent_, record, sentinel_);
  } else {
    // The in-order neighbour from the heavier side takes the node's place.
    const bool from_left = Weight(l) > Weight(r);
    TsrRecord* y = from_left ? l : r;
    if (from_left) {
      while (!Empty(y->right_)) y = y->right_;
    } else {
      while (!Empty(y->left_)) y = y->left_;
    }
    for (TsrRecord* n = y->parent_; n != nullptr; n = n->parent_) --n->weight_;
    ReplaceChild(y->parent_, y, from_left ? y->left_ : y->right_);
    y->left_ = record->left_;
    y->right_ = record->right_;
    y->weight_ = record->weight_;
    if (!Empty(y->left_)) y->left_->parent_ = y;
    if (!Empty(y->right_)) y->right_->parent_ = y;
    ReplaceChild(record->parent_, record, y);
  }
  record->left_ = record->right_ = record->parent_ = nullptr;
  record->weight_ = 0;
  estimate -= Cost(*record);
  return std::unique_ptr<TsrRecord>(record);
}

bool TsrPage::ParentLinksConsistent(const TsrRecord* record) const {
  const TsrRecord* n = record;
  for (size_t steps = 0; steps <= count(); ++steps) {
    const TsrRecord* p = n->parent_;
    if (p == nullptr) return n == root_;
    if (p->left_ != n && p->right_ != n) return false;
    n = p;
  }
  return false;  // a cycle
}

void TsrPage::MoveAllTo(TsrPage* to) {
  Check(to->count() == 0 && to->level == level, kFailureSplitTooFew);
  to->root_ = root_;
  root_ = sentinel_;
  estimate = ComputeEstimate();
  to->estimate = to->ComputeEstimate();
}

void TsrPage::SplitInto(TsrPage* to) {
  Check(count() >= 2, kFailureSplitTooFew);
  Check(to->count() == 0 && to->level == level, kFailureSplitTooFew);
  TsrRecord* middle = root_;
  root_ = middle->left_;
  if (!Empty(root_)) root_->parent_ = nullptr;
  to->root_ = middle->right_;
  if (!Empty(to->root_)) to->root_->parent_ = nullptr;
  middle->left_ = middle->right_ = middle->parent_ = nullptr;
  middle->weight_ = 0;
  (count() < to->count() ? this : to)->Link(middle);
  estimate = ComputeEstimate();
  to->estimate = to->ComputeEstimate();
}

void TsrPage::DetachCursors() {
  while (cursors_ != nullptr) cursors_->Detach();
}

bool TsrPage::Verify() const {
  if (!Empty(root_) && root_->parent_ != nullptr) return false;
  if (sentinel_->weight_ != 0) return false;
  // Iterative post-order would do; a simple recursive lambda keeps it clear.
  struct Walker {
    const TsrPage* page;
    bool ok = true;
    const TsrRecord* prev = nullptr;
    uint32_t Walk(const TsrRecord* n, const TsrRecord* parent) {
      if (page->Empty(n)) return 0;
      if (n->parent_ != parent) ok = false;
      const uint32_t wl = Walk(n->left_, n);
      if (prev != nullptr && CompareKeys(prev->key(), n->key()) >= 0) ok = false;
      prev = n;
      const uint32_t wr = Walk(n->right_, n);
      if (n->weight_ != wl + wr + 1) ok = false;
      return wl + wr + 1;
    }
  } walker{this};
  walker.Walk(root_, nullptr);
  return walker.ok;
}

bool TsrPage::PerfectlyBalanced() const {
  struct Walker {
    const TsrPage* page;
    bool Walk(const TsrRecord* n) {
      if (page->Empty(n)) return true;
      if (page->Weight(n->left_) != (n->weight_) / 2) return false;
      return Walk(n->left_) && Walk(n->right_);
    }
  } walker{this};
  return walker.Walk(root_);
}

// --- stored form -------------------------------------------------------------

std::vector<uint8_t> TsrPage::Encode() const {
  const std::vector<TsrRecord*> records = Records();
  const size_t children = level > 0 ? records.size() : 0;
  const size_t stream_at = kBlockHeaderBytes + kChildUnitBytes * children;

  std::vector<uint8_t> block(stream_at, 0);
  EncodeRecordStream(std::span<const TsrRecord* const>(
                         const_cast<const TsrRecord* const*>(records.data()),
                         records.size()),
                     &block);
  const size_t unpacked = block.size();
  Check(unpacked <= estimate, kFailureOverEstimate);

  size_t stored = unpacked;
  std::vector<uint8_t> packed;
  if (RunLengthEncode(std::span<const uint8_t>(block).subspan(stream_at),
                      &packed) &&
      RoundUpToUnit(stream_at + packed.size()) < RoundUpToUnit(unpacked)) {
    block.resize(stream_at);
    block.insert(block.end(), packed.begin(), packed.end());
    stored = block.size();
  }
  Check(RoundUpToUnit(stored) <= kMaxBlockBytes, kFailureBlockTooLong);
  block.resize(RoundUpToUnit(stored), kBlockPadding);

  EncodeFixed16(&block[kStoredLengthAt], static_cast<uint16_t>(stored));
  EncodeFixed16(&block[kUnpackedLengthAt], static_cast<uint16_t>(unpacked));
  EncodeFixed16(&block[kEstimateAt], static_cast<uint16_t>(estimate));
  EncodeFixed16(&block[kCountAt], static_cast<uint16_t>(records.size()));
  block[kLevelAt] = static_cast<uint8_t>(level);
  RefreshBlock(&block);
  return block;
}

void TsrPage::RefreshBlock(std::vector<uint8_t>* block) const {
  const size_t children = level > 0 ? count() : 0;
  Check(block->size() >= kBlockHeaderBytes + kChildUnitBytes * children &&
            DecodeFixed16(block->data() + kCountAt) == count(),
        kFailureDecode);
  EncodeFixed32(block->data() + kOwnOffsetAt, OwnOffset(unit));
  if (children == 0) return;
  uint8_t* p = block->data() + kBlockHeaderBytes;
  for (TsrRecord* r = First(); r != nullptr; r = Next(r)) {
    EncodeFixed32(p, static_cast<uint32_t>(r->child));
    p += kChildUnitBytes;
  }
}

TsrRecord* TsrPage::BuildBalanced(
    std::vector<std::unique_ptr<TsrRecord>>& records, size_t lo, size_t hi,
    TsrRecord* parent) {
  if (lo == hi) return sentinel_;
  const size_t mid = lo + (hi - lo) / 2;
  TsrRecord* n = records[mid].release();
  n->parent_ = parent;
  n->weight_ = static_cast<uint32_t>(hi - lo);
  n->left_ = BuildBalanced(records, lo, mid, n);
  n->right_ = BuildBalanced(records, mid + 1, hi, n);
  return n;
}

std::unique_ptr<TsrPage> TsrPage::Decode(int32_t unit,
                                         std::span<const uint8_t> block,
                                         TsrRecord* sentinel) {
  Check(block.size() >= kBlockHeaderBytes, kFailureDecode);
  const uint8_t* base = block.data();
  const size_t stored = DecodeFixed16(base + kStoredLengthAt);
  const size_t unpacked = DecodeFixed16(base + kUnpackedLengthAt);
  const uint32_t stored_estimate = DecodeFixed16(base + kEstimateAt);
  const size_t count = DecodeFixed16(base + kCountAt);
  const int level = base[kLevelAt];
  const size_t stream_at =
      kBlockHeaderBytes + (level > 0 ? kChildUnitBytes * count : 0);

  Check(stored <= block.size() && stored <= unpacked &&
            unpacked <= kMaxBlockBytes && stream_at <= stored &&
            stored_estimate >= unpacked,
        kFailureDecode);

  std::vector<std::unique_ptr<TsrRecord>> records;
  if (stored == unpacked) {
    records = DecodeRecordStream(base + stream_at, base + stored, count);
  } else {
    std::vector<uint8_t> stream(unpacked - stream_at);
    RunLengthDecode(base + stream_at, base + stored, stream.data(),
                    stream.size());
    records = DecodeRecordStream(stream.data(), stream.data() + stream.size(),
                                 count);
  }
  for (size_t i = 1; i < records.size(); ++i) {
    Check(CompareKeys(records[i - 1]->key(), records[i]->key()) < 0,
          kFailureDecode);
  }
  if (level > 0) {
    for (size_t i = 0; i < count; ++i) {
      records[i]->child = static_cast<int32_t>(
          DecodeFixed32(base + kBlockHeaderBytes + kChildUnitBytes * i));
    }
  }

  auto page = std::make_unique<TsrPage>(unit, level, sentinel);
  page->root_ = page->BuildBalanced(records, 0, records.size(), nullptr);
  page->estimate = stored_estimate;
  return page;
}

uint16_t BlockStoredLength(std::span<const uint8_t> block) {
  if (block.size() < kStoredLengthAt + 2) return 0;
  return DecodeFixed16(block.data() + kStoredLengthAt);
}

}  // namespace tessera
