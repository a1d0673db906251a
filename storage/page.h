// TsrPage: one page of the record tree in memory, and its stored block form.
//
// Block layout (all integers little-endian):
//
//   offset  width      field
//   0       4          own offset: 512 + 256 * unit, where the block belongs
//   4       2          stored length: bytes that carry data, header included
//   6       2          unpacked length: length once the stream is expanded
//   8       2          size estimate (low 16 bits)
//   10      2          record count
//   12      1          level: 0 leaf, L >= 1 index
//   13      4 * count  child units (index pages only), in key order
//   ...                record stream (record_stream.h), run-length
//                      compressed when stored length < unpacked length
//   stored  ..         0xB0 up to the next multiple of 256
//
// The compressed form is kept only when it saves at least one 256-byte
// unit. A block is at most kMaxBlockBytes (15104) long.
//
// In memory the records form a weight-balanced binary tree ordered by key.
// Invariants:
//  1. weight(n) = weight(left) + weight(right) + 1; the sentinel (every
//     empty subtree) weighs 0; count() is the root's weight.
//  2. Every child's parent link names its parent; the root's is null.
//  3. estimate = 13 + sum over records of cost(record), where cost is T + 5
//     in a leaf and T + 9 in an index page (the child unit); it bounds the
//     unpacked length of the encoded block from above.
//  4. A decoded page is perfectly balanced: of n records the left subtree
//     holds the first n / 2, then the root, then the rest.
//  5. Every cursor in the page's cursor list stands on this page.
//
// Insertion rebalances on the way up: at node N with subtrees A and B, if B
// is heavier than A and B's right subtree weighs at least A, rotate left;
// mirrored for A. Removal replaces a node by its in-order neighbour from the
// heavier side and does not rotate. The split point of a page is the root of
// its tree, so the rotation rule decides where pages split.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace tessera {

class TsrRecord;
class TsrCursor;

inline constexpr size_t kBlockHeaderBytes = 13;
inline constexpr size_t kUnitBytes = 256;
inline constexpr size_t kMaxBlockBytes = 15104;
inline constexpr uint8_t kBlockPadding = 0xB0;
// Split thresholds: a page splits when its estimate passes kSplitHardLimit,
// or passes kSplitSoftLimit while holding more than kSplitMinRecords.
inline constexpr uint32_t kSplitSoftLimit = 4096;
inline constexpr uint32_t kSplitHardLimit = 15094;
inline constexpr size_t kSplitMinRecords = 20;

class TsrPage {
 public:
  // A page at a unit and level whose tree is empty (just the sentinel).
  TsrPage(int32_t unit, int level, TsrRecord* sentinel);
  ~TsrPage();  // frees every record it holds; detaches its cursors first
  TsrPage(const TsrPage&) = delete;
  TsrPage& operator=(const TsrPage&) = delete;

  // --- state the container manages -------------------------------------
  int32_t unit = 0;        // may be negative (temporary unit, no block yet)
  int level = 0;           // 0 leaf, >= 1 index
  uint32_t estimate = 13;  // upper bound of the encoded length
  bool dirty = false;
  int pins = 0;            // > 0: the cache must not evict this page
  // Cache bookkeeping (owned by the page cache).
  uint32_t load_stamp = 0, last_use = 0, use_count = 0;

  // --- the records ---------------------------------------------------------
  size_t count() const;
  TsrRecord* First() const;  // smallest record, or nullptr when empty
  TsrRecord* Last() const;   // greatest record, or nullptr when empty
  // Greatest record whose key is not greater than `key`, or nullptr.
  TsrRecord* FindLE(std::span<const uint8_t> key) const;
  // Greatest record whose key is less than `key`, or nullptr.
  TsrRecord* FindLT(std::span<const uint8_t> key) const;
  // Smallest record whose key is greater than `key`, or nullptr.
  TsrRecord* FindGT(std::span<const uint8_t> key) const;
  // The record whose key equals `key`, or nullptr.
  TsrRecord* Find(std::span<const uint8_t> key) const;
  // In-order neighbours of a record standing in a page (the one it stands
  // in), or nullptr at the ends of that page.
  static TsrRecord* Next(const TsrRecord* record);
  static TsrRecord* Previous(const TsrRecord* record);
  // The records in key order.
  std::vector<TsrRecord*> Records() const;

  // What a record adds to the estimate here: T + 5, plus 4 in index pages.
  uint32_t Cost(const TsrRecord& record) const;
  // 13 + the sum of Cost over the records.
  uint32_t ComputeEstimate() const;
  // True when the estimate calls for a split (the thresholds above).
  bool NeedsSplit() const;

  // Links `record` into the tree, raising the estimate by its cost. An equal
  // key is internal failure 706 (the record is then freed and the page is
  // unchanged).
  void Insert(std::unique_ptr<TsrRecord> record);
  // Unlinks `record` (found by identity; internal failure 780 when it is not
  // in this page), lowers the estimate and hands the record back.
  std::unique_ptr<TsrRecord> Remove(TsrRecord* record);
  // True when the parent links from `record` up to the root are consistent
  // (each names a node that has it as a child, ending at this page's root).
  bool ParentLinksConsistent(const TsrRecord* record) const;

  // Moves every record into `to`, an empty page of the same level, and
  // recomputes both estimates.
  void MoveAllTo(TsrPage* to);
  // Splits at the root record of the tree: the records after it go to `to`
  // (an empty page of the same level), then the root record goes into this
  // page when it holds fewer records than `to`, else into `to`. Both
  // estimates are recomputed. Needs at least 2 records (failure 1364).
  void SplitInto(TsrPage* to);

  // Detaches every cursor standing on this page; each keeps a key copy.
  void DetachCursors();
  bool HasCursors() const { return cursors_ != nullptr; }

  // Checks invariants 1, 2 and the key order; for tests and debugging.
  bool Verify() const;
  // True when the tree is perfectly balanced (invariant 4).
  bool PerfectlyBalanced() const;

  // --- stored form ---------------------------------------------------------
  // Encodes the page into its block: header, child array, record stream
  // (run-length compressed when that saves a 256-byte unit), padded with
  // 0xB0 to a multiple of 256. The own-offset field is 512 + 256 * unit.
  // Raises 1659 (longer than the estimate) and 1678 (over 15104 bytes).
  std::vector<uint8_t> Encode() const;
  // Rewrites the own-offset field and the child array of an encoded block
  // from the current unit and child units (children may have moved since).
  void RefreshBlock(std::vector<uint8_t>* block) const;
  // Decodes a stored block into a page. Raises 522, 530, 1602 and, for any
  // other inconsistency in the bytes, a numbered failure; never reads past
  // `block.size()`.
  static std::unique_ptr<TsrPage> Decode(int32_t unit,
                                         std::span<const uint8_t> block,
                                         TsrRecord* sentinel);

 private:
  friend class TsrCursor;

  // Empty subtrees are the sentinel, the only node of weight 0.
  static bool Empty(const TsrRecord* r);
  void ReplaceChild(TsrRecord* parent, TsrRecord* old_child,
                    TsrRecord* new_child);
  TsrRecord* RotateLeft(TsrRecord* n);
  TsrRecord* RotateRight(TsrRecord* n);
  TsrRecord* Rebalance(TsrRecord* n);
  void Link(TsrRecord* record);  // insertion without the estimate
  TsrRecord* BuildBalanced(std::vector<std::unique_ptr<TsrRecord>>& records,
                           size_t lo, size_t hi, TsrRecord* parent);
  static uint32_t Weight(const TsrRecord* r);

  TsrRecord* sentinel_;
  TsrRecord* root_;
  TsrCursor* cursors_ = nullptr;  // head of the cursors standing here
};

// Stored length of a block (bytes 4-5), for the cache's 1477 check.
uint16_t BlockStoredLength(std::span<const uint8_t> block);

// Keeps a page from being evicted while a pointer to it is held across
// other page fetches.
class PagePin {
 public:
  explicit PagePin(TsrPage* page) : page_(page) { ++page_->pins; }
  ~PagePin() { --page_->pins; }
  PagePin(const PagePin&) = delete;
  PagePin& operator=(const PagePin&) = delete;

 private:
  TsrPage* page_;
};

}  // namespace tessera
