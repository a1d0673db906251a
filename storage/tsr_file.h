// TsrFile: one open Tessera file -- header, zones, page cache, raw block
// I/O and the durable commit.
//
// On disk (see file_header.h for the header, zones.h for the units):
//
//   0        512                       end of data          logStart   logEnd
//   | header | zone 1 | zone 2 | ... | zone 59 |  (free)  | log blocks ... |
//
// The commit log lies at or beyond the end of data, before and after the
// commit. Each logged block is the exact image of a page (or, last, of the
// header) that belongs at the file offset in its own first four bytes, and
// occupies its stored length (bytes 4-5) rounded up to 256.
//
// Commit state machine (per file):
//
//     IDLE --Commit()--> PLACING --(all dirty pages encoded, re-placed,
//      ^                  zones compacted)--> LOGGING --(pages at or beyond
//      |                  the old end of data written home, the rest and the
//      |                  header appended to the log, synced)--> PREPARING
//      |                  --(header at offset 0 = last committed header with
//      |                  the new logStart/logEnd, synced)--> PREPARED
//      |                  --CommitPhase2(): pages and header written home,
//      +------------------ ResetLog() --> IDLE
//
//   Any write or sync failure before PREPARED rolls the file back: the log
//   and the new blocks lie beyond the old end of data and the header at 0 is
//   unchanged, so the file is truncated back to its old length and is byte
//   for byte as before. A failure after PREPARED leaves a complete log that
//   the next validation in write intent replays; the cache is discarded so
//   that this process rereads the header too.
//
//   The header written at offset 0 to prepare is the header as last
//   committed on disk with only logStart and logEnd changed, not the header
//   copy of this commit: if the prepared file is later discarded instead of
//   replayed (a broken log, a multi-file transaction that did not commit),
//   resetting the log keeps zone tables that still match the blocks at
//   home.
//
// Recovery (header validation): a header at offset 0 with logStart !=
// logEnd is prepared. The log is walked; when it is complete, a writer
// replays it (copies every logged block home) and resets the log, while a
// reader reads through the log map (home offset -> logged copy) without
// writing. A broken log is discarded by the next writer.
//
// Internal failures: every public operation catches InternalFailure; the
// first one locks the file out: every later operation returns 90 with
// "Possible data corruption in file" and the number (in os_error()) until
// the file is closed, and close writes nothing.
//
// Invariants:
//  1. A dirty page is never evicted, and a page written home by a commit is
//     dropped from the cache.
//  2. Between commits a clean cached page equals its block on disk (or its
//     logged copy, read through the log map).
//  3. Pages move only by MoveBlock/Replace, which fix rootUnit or exactly one
//     parent entry; moves write nothing.
//  4. A writer never works on a prepared file: validation in write intent
//     replays or discards a pending log first.
//  5. The file is never truncated below a pending log.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "storage/cipher.h"
#include "storage/env/env.h"
#include "storage/file_header.h"
#include "storage/internal_failure.h"
#include "storage/page_cache.h"
#include "storage/page_store.h"
#include "storage/status.h"
#include "storage/zones.h"

namespace tessera {

class TsrFile final : public PageStore {
 public:
  explicit TsrFile(Env* env = Env::Default());
  // Destroying an open file discards what was not committed, as a crash
  // would; Close keeps it.
  ~TsrFile() override;
  TsrFile(const TsrFile&) = delete;
  TsrFile& operator=(const TsrFile&) = delete;

  // --- file level ----------------------------------------------------------
  // Opens the OS file with the open-mode word and validates its header.
  // 36 when the bytes are not a Tessera file (or the password is wrong);
  // the OS layer's code when the OS open fails. The file is in read intent.
  Status Open(const std::string& name, uint32_t open_mode,
              std::string_view password = {});
  // Ends write intent (commit), cuts the file to its end of data and closes
  // the handle. After an internal failure: writes nothing, just closes.
  Status Close();
  // Closes the handle and deletes the OS file.
  Status Delete();
  // Cuts the OS file to the end of data (never below a pending log).
  Status Truncate();
  // OS file length in bytes (0 when not open).
  uint64_t Size();
  // Closes the OS handle and opens the file again with another mode (the
  // registry's merged mode). The cache stays.
  Status Reopen(uint32_t open_mode);

  // --- intent and commit ---------------------------------------------------
  Status BeginWriteIntent();
  // Commits, then returns to read intent (not while in a transaction).
  Status EndWriteIntent();
  // Commits and ends the current operation: the header must be validated
  // again by the next one (and, in a shared file, is reread).
  Status EndOperation();
  // Phase 1 then phase 2; 0 or the OS error of a failed write or sync.
  Status Commit();
  // Phase 1 alone (multi-file transactions prepare every file first).
  Status CommitPhase1();
  Status CommitPhase2();
  // Discards every change since the last commit.
  void Rollback();
  // Discards a prepared commit (phase 1 done, phase 2 not to run): resets
  // the log and forgets the changes.
  Status DiscardPrepared();

  // Takes the next number of the file's sequence counter (big-endian
  // bytes). 1163 in read intent, 1164 when the header cannot be validated.
  Status TakeSequenceNumber(std::array<uint8_t, 4>* number);
  // Moves the sequence counter up to `at_least` (never down), as a table
  // copied in from another file needs for its renumbered records. The same
  // checks as TakeSequenceNumber; 1173 past the highest number.
  Status RaiseSequenceNumber(uint32_t at_least);

  // Runs `body` as an engine operation: an internal failure raised inside
  // ends it with 90 and locks the file out (see above).
  template <class F>
  Status Guard(F&& body);
  // The lock-out status after an internal failure.
  Status FailedStatus() const;

  // --- block level ---------------------------------------------------------
  // Reads `length` (a multiple of 64, else 2272) bytes. Returns the count;
  // a short read is left undeciphered. 2277 when the OS read fails. (The
  // reads are positional, so there is no separate seek to fail: 2341.)
  size_t ReadBlock(int64_t offset, uint8_t* buffer, size_t length);
  // ReadBlock that must return everything (2172).
  void ReadExact(int64_t offset, uint8_t* buffer, size_t length);
  // Writes `length` (a multiple of 64, else 2286) bytes unless the file has
  // no handle or a sticky error. The caller's buffer is unchanged.
  void WriteBlock(int64_t offset, uint8_t* buffer, size_t length);
  Status Flush();

  // --- page level (PageStore) ----------------------------------------------
  TsrPage* GetRootPage() override;
  TsrPage* GetPage(int32_t unit) override;
  TsrPage* NewPage(int level) override;
  void MarkDirty(TsrPage* page) override;
  void FreePage(TsrPage* page) override;
  bool InWriteIntent() const override { return !read_intent_; }
  bool ValidateHeader() override { return Validate(false) == 0; }
  TsrRecord* Sentinel() override { return sentinel_.get(); }

  // Moves the block at unit `from` to unit `to` (logically: the page is
  // written at its new place by the next commit) and fixes rootUnit or the
  // parent's entry (1891 page without records, 1894 parent not found).
  void MoveBlock(int32_t from, int32_t to);
  // The raw block of a cached page's unit, as stored (through the log map).
  std::vector<uint8_t> ReadRawBlock(int32_t unit);

  // --- state ---------------------------------------------------------------
  const FileHeader& header() const { return header_; }
  const std::string& name() const { return name_; }
  uint32_t open_mode() const { return mode_; }
  bool is_open() const { return handle_ != nullptr; }
  bool shared() const { return mode::Sharing(mode_) == mode::kDenyNone; }
  bool deny_write() const { return mode::Sharing(mode_) == mode::kDenyWrite; }
  bool read_intent() const { return read_intent_; }
  bool dirty() const { return dirty_; }
  bool header_current() const { return header_current_; }
  bool in_transaction() const { return in_transaction_; }
  void set_in_transaction(bool on) { in_transaction_ = on; }
  int failure() const { return failure_; }
  const Status& sticky_error() const { return sticky_; }
  int reader_slot() const { return reader_slot_; }
  const PageCache& cache() const { return cache_; }
  const std::map<int64_t, int64_t>& log_map() const { return log_map_; }
  Zones& zones() { return zones_; }

  // Decides whether a complete log belongs to a committed transaction
  // (multi-file transactions install it); without one, a complete log is
  // committed.
  using TransactionCheck = std::function<bool(TsrFile&)>;
  void set_transaction_check(TransactionCheck check) { txn_check_ = std::move(check); }

 private:
  struct LogBlock {
    int64_t home;
    int64_t at;
    size_t length;
  };

  // 0, 1 (not a Tessera file) or an OS error code. Steps of validation.
  int Validate(bool wait);
  int Recover();
  Status ResetLog();
  Status Replay(const std::vector<LogBlock>& blocks);
  void DiscardCache();
  void ResetToFresh();
  FileHeader FreshHeader() const;
  void WriteHeaderAt(int64_t offset, FileHeader h);
  bool ReadHeaderAt(int64_t offset, FileHeader* h, size_t* got);

  int32_t NewTempUnit() { return --next_temp_unit_; }
  // Page at `from` now lives at `to`: rehash, fix rootUnit or the parent.
  void Rehome(PageCache::Entry* e, int32_t from, int32_t to);
  void FixParent(const std::vector<uint8_t>& key, int32_t from, int32_t to);
  // Re-places a dirty page whose block (class c) is ready.
  void Replace(PageCache::Entry* e, int c);
  void PlaceDirtyPages();
  Status FailPhase1(Status error, bool header_written);
  void Fail(int number) { if (failure_ == 0) failure_ = number; }

  Env* env_;
  std::unique_ptr<FileHandle> handle_;
  std::string name_;
  uint32_t mode_ = mode::kDenyNone;
  std::optional<BlockCipher> cipher_;

  bool read_intent_ = true;
  bool header_current_ = false;
  bool dirty_ = false;
  bool in_transaction_ = false;
  bool placing_ = false;  // inside commit's placing step
  int failure_ = 0;
  Status sticky_;

  FileHeader header_;     // the working copy
  FileHeader committed_;  // the header as last committed on disk
  int64_t old_end_ = 0;   // end of data when the current commit began
  uint64_t old_size_ = 0;  // OS length when the current commit began
  int32_t next_temp_unit_ = 0;
  int reader_slot_ = 0;

  PageCache cache_;
  Zones zones_;
  std::map<int64_t, int64_t> log_map_;       // home offset -> logged copy
  std::vector<PageCache::Entry*> prepared_;  // logged pages awaiting phase 2
  std::unique_ptr<TsrRecord> sentinel_;
  TransactionCheck txn_check_;
};

template <class F>
Status TsrFile::Guard(F&& body) {
  if (failure_ != 0) return FailedStatus();
  try {
    return body();
  } catch (const InternalFailure& f) {
    Fail(f.number());
    return FailedStatus();
  }
}

}  // namespace tessera
