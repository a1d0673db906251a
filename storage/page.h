// TsrPage: one page of the record tree in memory, and its stored block form.
//
// (Layout comment, balanced-tree and codec details: to be completed by the
// module's author. The public members below are what the container relies on;
// they may gain members but the ones listed keep their meaning.)
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace tessera {

class TsrRecord;
class TsrCursor;

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
  // Greatest record whose key is not greater than `key`, or nullptr.
  TsrRecord* FindLE(std::span<const uint8_t> key) const;

  // Detaches every cursor standing on this page; each keeps a key copy.
  void DetachCursors();

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
};

// Stored length of a block (bytes 4-5), for the cache's 1477 check.
uint16_t BlockStoredLength(std::span<const uint8_t> block);

}  // namespace tessera
