// TsrFile: see tsr_file.h for the on-disk layout, the commit state machine
// and the invariants.
//
// Divisions: 1. object life, open, close  2. block I/O  3. header validation
// and recovery  4. pages  5. moves and placement  6. commit and rollback
#include "storage/tsr_file.h"

#include <algorithm>
#include <cstring>

#include "storage/page.h"
#include "storage/record.h"

namespace tessera {
namespace {

constexpr size_t kCipherPiece = 64;

int64_t RoundUp(int64_t n) {
  return (n + static_cast<int64_t>(kUnitSize) - 1) / kUnitSize * kUnitSize;
}

}  // namespace

// ---------------------------------------------------------------------------
// 1. Object life, open, close

TsrFile::TsrFile(Env* env)
    : env_(env),
      zones_(&header_, [this](int32_t from, int32_t to) { MoveBlock(from, to); }),
      sentinel_(std::make_unique<TsrRecord>(std::span<const uint8_t>{},
                                            std::span<const uint8_t>{})) {
  reader_slot_ = static_cast<int>(env_->ClockHundredths() % 1023);
}

TsrFile::~TsrFile() {
  // Pages (and the cursors on them) go before the sentinel they end in.
  cache_.Clear();
}

FileHeader TsrFile::FreshHeader() const {
  FileHeader h;
  h.magic = kMagic;
  h.root_unit = -1;  // no root page has a place yet
  return h;
}

void TsrFile::ResetToFresh() {
  DiscardCache();
  handle_.reset();
  cipher_.reset();
  name_.clear();
  header_ = FileHeader();
  committed_ = FileHeader();
  read_intent_ = true;
  header_current_ = false;
  dirty_ = false;
  in_transaction_ = false;
  failure_ = 0;
  sticky_ = Status::OK();
  next_temp_unit_ = 0;
  prepared_.clear();
}

Status TsrFile::FailedStatus() const {
  return Status::Error(err::kFileSystemError,
                       name_.empty() ? kNoFileNameText : kCorruptionText,
                       failure_);
}

Status TsrFile::Open(const std::string& name, uint32_t open_mode,
                     std::string_view password) {
  if (handle_) return Status::Error(err::kAccessDenied, "file object already open");
  uint32_t m = (open_mode & mode::kShareMask) == 0 ? open_mode | mode::kDenyNone : open_mode;
  Status s = env_->Open(name, m, &handle_);
  if (!s.ok()) return s;
  name_ = name;
  mode_ = m;
  cipher_ = BlockCipher::FromPassword(password);
  read_intent_ = true;
  int v = 0;
  try {
    v = Validate(/*wait=*/true);
  } catch (const InternalFailure&) {
    v = 1;  // bytes too damaged to read a log from: not a usable file
  }
  if (v != 0) {
    ResetToFresh();
    if (v == 1) return Status::Error(err::kInvalidDataFile, "Invalid Data File");
    return Status::Error(v, "cannot recover " + name, v);
  }
  header_current_ = false;  // the open was an operation of its own
  return Status::OK();
}

Status TsrFile::Close() {
  if (!handle_) {
    ResetToFresh();
    return Status::OK();
  }
  if (failure_ != 0) {
    // Locked out: release everything, write nothing.
    ResetToFresh();
    return Status::OK();
  }
  Status s = Guard([&] {
    Status r = read_intent_ ? Status::OK() : EndWriteIntent();
    if (r.ok() && !in_transaction_ && mode::Access(mode_) != mode::kReadOnly) r = Truncate();
    return r;
  });
  ResetToFresh();
  return s;
}

Status TsrFile::Delete() {
  std::string name = name_;
  ResetToFresh();
  if (name.empty()) return Status::Error(err::kFileNotFound, "no file");
  return env_->Delete(name);
}

Status TsrFile::Truncate() {
  return Guard([&] {
    if (!handle_) return Status::OK();
    Check(Validate(false) == 0, 1143);
    // Never cut away a log that is still to be replayed.
    if (committed_.log_start != committed_.log_end || !log_map_.empty()) return Status::OK();
    // Nor below blocks that uncommitted moves still need.
    if (dirty_) return Status::OK();
    uint64_t end = static_cast<uint64_t>(header_.EndOfData());
    if (Size() <= end) return Status::OK();
    return handle_->Truncate(end);
  });
}

uint64_t TsrFile::Size() {
  uint64_t size = 0;
  if (!handle_ || !handle_->Size(&size).ok()) return 0;
  return size;
}

Status TsrFile::Reopen(uint32_t open_mode) {
  if (failure_ != 0) return FailedStatus();
  uint32_t m = open_mode & ~mode::kCreate;
  if ((m & mode::kShareMask) == 0) m |= mode::kDenyNone;
  handle_.reset();
  Status s = env_->Open(name_, m, &handle_);
  if (!s.ok()) {
    // Keep the file usable in its old mode when the new one is refused.
    Status back = env_->Open(name_, mode_ & ~mode::kCreate, &handle_);
    (void)back;
    return s;
  }
  mode_ = m;
  header_current_ = false;
  return Status::OK();
}

// ---------------------------------------------------------------------------
// 2. Block I/O

size_t TsrFile::ReadBlock(int64_t offset, uint8_t* buffer, size_t length) {
  Check(length % kCipherPiece == 0, 2272);
  if (!handle_) return 0;
  size_t got = 0;
  Status s = handle_->Read(static_cast<uint64_t>(offset), buffer, length, &got);
  Check(s.ok(), 2277);
  if (got == length && cipher_) cipher_->Decipher(buffer, length);
  return got;
}

void TsrFile::ReadExact(int64_t offset, uint8_t* buffer, size_t length) {
  Check(ReadBlock(offset, buffer, length) == length, 2172);
}

void TsrFile::WriteBlock(int64_t offset, uint8_t* buffer, size_t length) {
  Check(length % kCipherPiece == 0, 2286);
  if (!handle_ || !sticky_.ok()) return;
  if (cipher_) cipher_->Encipher(buffer, length);
  size_t written = 0;
  Status s = handle_->Write(static_cast<uint64_t>(offset), buffer, length, &written);
  if (cipher_) cipher_->Decipher(buffer, length);
  if (!s.ok()) {
    sticky_ = s;
  } else if (written != length) {
    sticky_ = Status::Error(err::kAccessDenied, "short write to " + name_);
  }
}

Status TsrFile::Flush() {
  if (!handle_) return Status::OK();
  return handle_->Sync();
}

void TsrFile::WriteHeaderAt(int64_t offset, FileHeader h) {
  h.own_offset = 0;
  h.header_size = kHeaderSize;
  std::array<uint8_t, kHeaderSize> b;
  h.Encode(b);
  WriteBlock(offset, b.data(), b.size());
}

bool TsrFile::ReadHeaderAt(int64_t offset, FileHeader* h, size_t* got) {
  std::array<uint8_t, kHeaderSize> b;
  *got = ReadBlock(offset, b.data(), b.size());
  if (*got != kHeaderSize) return false;
  *h = FileHeader::Decode(b);
  return true;
}

// ---------------------------------------------------------------------------
// 3. Header validation and recovery
//
// Locks of shared files (reader slot, writer byte) are taken at the marked
// points by the locking layer; this file is the single-process core.

int TsrFile::Validate(bool wait) {
  (void)wait;  // waiting applies to the locks of shared files
  if (header_current_) return 0;
  // [shared: take the reader slot or the writer byte here]
  header_current_ = true;
  // Nobody else writes a file we do not share; but a writer never works on
  // a prepared file, and a reader of one rereads until it is repaired.
  if (!shared() && header_.HasMagic() && log_map_.empty() &&
      committed_.log_start == committed_.log_end) {
    return 0;
  }

  FileHeader stored;
  size_t got = 0;
  if (!ReadHeaderAt(0, &stored, &got)) {
    if (got != 0) {
      header_current_ = false;
      return 1;
    }
    stored = FreshHeader();  // an empty file is a new Tessera file
  } else if (!stored.HasMagic()) {
    header_current_ = false;
    return 1;
  }
  bool prepared = stored.log_start != stored.log_end;
  // A reader keeps a current cache; a writer never works on a prepared file.
  if (stored.change_count <= header_.change_count && header_.HasMagic() &&
      !(prepared && !read_intent_) && !(!prepared && !log_map_.empty())) {
    return 0;
  }
  DiscardCache();
  header_ = stored;
  committed_ = stored;
  if (!prepared) return 0;
  int r = Recover();
  if (r != 0) header_current_ = false;
  return r;
}

int TsrFile::Recover() {
  // Walk the log: every block names its home in its first four bytes.
  std::vector<LogBlock> blocks;
  std::map<int64_t, int64_t> map;
  bool broken = false;
  const int64_t end = committed_.log_end;
  for (int64_t at = committed_.log_start; at < end && !broken;) {
    std::array<uint8_t, kHeaderSize> b;
    if (ReadBlock(at, b.data(), b.size()) != b.size()) {
      broken = true;
      break;
    }
    int64_t home = static_cast<int64_t>(uint32_t{b[0]} | uint32_t{b[1]} << 8 |
                                        uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24);
    int64_t length = RoundUp(BlockStoredLength(b));
    // Bad bytes mean a broken log, never a loop or a wild write.
    if (length == 0 || length > static_cast<int64_t>(kMaxBlockBytes) ||
        at + length > end || (home != 0 && (home < static_cast<int64_t>(kHeaderSize) ||
                                            (home - kHeaderSize) % kUnitSize != 0))) {
      broken = true;
      break;
    }
    map[home] = at;
    blocks.push_back(LogBlock{home, at, static_cast<size_t>(length)});
    at += length;
  }
  FileHeader logged;
  if (!broken) {
    auto it = map.find(0);
    size_t got = 0;
    broken = it == map.end() || !ReadHeaderAt(it->second, &logged, &got) ||
             !logged.HasMagic();
  }
  if (!broken && txn_check_) {
    log_map_ = map;
    header_ = logged;
    bool committed = txn_check_(*this);
    DiscardCache();
    header_ = committed_;
    broken = !committed;
  }

  if (broken) {
    // Not committed: the state described by the header at offset 0 stands.
    DiscardCache();
    header_ = committed_;
    if (read_intent_) return 0;  // left for a writer to repair
    // [deny write: take the writer byte around the reset]
    Status s = ResetLog();
    return s.ok() ? 0 : s.code();
  }
  if (read_intent_) {
    // Read the committed state through the log, writing nothing.
    log_map_ = std::move(map);
    header_ = logged;
    return 0;
  }
  DiscardCache();
  // [deny write: take the writer byte around replay and reset]
  Status s = Replay(blocks);
  if (s.ok()) s = ResetLog();
  return s.ok() ? 0 : s.code();
}

Status TsrFile::Replay(const std::vector<LogBlock>& blocks) {
  sticky_ = Status::OK();
  std::vector<uint8_t> b;
  for (const LogBlock& lb : blocks) {
    b.resize(lb.length);
    ReadExact(lb.at, b.data(), b.size());
    WriteBlock(lb.home, b.data(), b.size());
  }
  if (!sticky_.ok()) return sticky_;
  return Status::OK();
}

Status TsrFile::ResetLog() {
  Status s = Flush();
  if (!s.ok()) return s;
  FileHeader h;
  size_t got = 0;
  if (!ReadHeaderAt(0, &h, &got)) {
    // Nothing at offset 0 yet (a new file whose first commit was
    // discarded): the committed state is the empty file.
    h = committed_;
  }
  h.log_start = h.log_end = static_cast<uint32_t>(h.EndOfData());
  h.change_count += 1;
  sticky_ = Status::OK();
  WriteHeaderAt(0, h);
  if (!sticky_.ok()) return sticky_;
  s = Flush();
  if (!s.ok()) return s;
  header_ = h;
  committed_ = h;
  log_map_.clear();
  return Status::OK();
}

void TsrFile::DiscardCache() {
  cache_.Clear();
  log_map_.clear();
  prepared_.clear();
}

// ---------------------------------------------------------------------------
// 4. Pages

TsrPage* TsrFile::GetRootPage() {
  Check(Validate(false) == 0, 1013);
  if (header_.change_count == 0 ||
      (header_.root_unit < 0 && cache_.Find(header_.root_unit) == nullptr)) {
    if (header_.change_count == 0) header_.change_count = 1;
    header_.root_unit = NewTempUnit();
  }
  return GetPage(header_.root_unit);
}

TsrPage* TsrFile::GetPage(int32_t unit) {
  cache_.Evict();
  PageCache::Entry* e = cache_.Find(unit);
  if (e == nullptr) {
    if (unit < 0) {
      // A temporary unit has no block: an empty page. The root of a new
      // file receives the empty smallest record.
      auto page = std::make_unique<TsrPage>(unit, 0, sentinel_.get());
      TsrPage* p = page.get();
      e = cache_.Add(std::move(page));
      if (unit == header_.root_unit) {
        p->Insert(std::make_unique<TsrRecord>(std::span<const uint8_t>{},
                                              std::span<const uint8_t>{}));
        MarkDirty(p);
      }
      return p;
    }
    std::vector<uint8_t> block = ReadRawBlock(unit);
    e = cache_.Add(TsrPage::Decode(unit, block, sentinel_.get()));
    return e->page.get();
  }
  if (!e->page->dirty) cache_.Use(e);
  return e->page.get();
}

std::vector<uint8_t> TsrFile::ReadRawBlock(int32_t unit) {
  int z = zones_.ZoneOf(unit);
  Check(z != 0, 1735);
  std::vector<uint8_t> block(static_cast<size_t>(z) * kUnitSize);
  int64_t offset = UnitOffset(unit);
  auto logged = log_map_.find(offset);
  if (logged != log_map_.end()) offset = logged->second;
  ReadExact(offset, block.data(), block.size());
  Check(RoundUp(BlockStoredLength(block)) == static_cast<int64_t>(block.size()), 1477);
  return block;
}

TsrPage* TsrFile::NewPage(int level) {
  auto page = std::make_unique<TsrPage>(NewTempUnit(), level, sentinel_.get());
  page->dirty = true;
  dirty_ = true;
  return cache_.Add(std::move(page))->page.get();
}

void TsrFile::MarkDirty(TsrPage* page) {
  PageCache::Entry* e = cache_.EntryOf(page);
  Check(e != nullptr, 1735);
  dirty_ = true;
  if (page->dirty) return;
  if (placing_ && page->unit >= 0) {
    // During commit a clean page only changes place or child units: its
    // stored block is exact, and stays valid whatever moves next.
    e->block = ReadRawBlock(page->unit);
    e->block_ready = true;
  }
  cache_.MarkDirty(e);
}

void TsrFile::FreePage(TsrPage* page) {
  PageCache::Entry* e = cache_.EntryOf(page);
  Check(e != nullptr, 1735);
  int32_t unit = page->unit;
  // Out of the cache first, so that the block moved into the freed place
  // does not meet it there.
  std::unique_ptr<TsrPage> gone = cache_.Take(e);
  dirty_ = true;
  if (unit >= 0) zones_.Free(unit);
}

// ---------------------------------------------------------------------------
// 5. Moves and placement

void TsrFile::MoveBlock(int32_t from, int32_t to) {
  TsrPage* page = GetPage(from);
  PagePin pin(page);
  MarkDirty(page);
  Rehome(cache_.EntryOf(page), from, to);
}

void TsrFile::Rehome(PageCache::Entry* e, int32_t from, int32_t to) {
  TsrPage* page = e->page.get();
  cache_.Rehome(e, to);
  if (header_.root_unit == from) {
    header_.root_unit = to;
    return;
  }
  const TsrRecord* first = page->First();
  // An empty page is one a delete is about to free; its parent entry is
  // already gone. A stored page is never empty.
  Check(first != nullptr || page->dirty, 1891);
  if (first == nullptr) return;
  std::vector<uint8_t> key(first->key().begin(), first->key().end());
  PagePin pin(page);
  FixParent(key, from, to);
}

void TsrFile::FixParent(const std::vector<uint8_t>& key, int32_t from, int32_t to) {
  TsrPage* page = GetPage(header_.root_unit);
  for (;;) {
    Check(page->level > 0, 1894);
    TsrRecord* entry = page->FindLE(key);
    Check(entry != nullptr, 1894);
    if (entry->child == from) {
      entry->child = to;
      MarkDirty(page);
      return;
    }
    page = GetPage(entry->child);
  }
}

void TsrFile::Replace(PageCache::Entry* e, int c) {
  TsrPage* page = e->page.get();
  PagePin pin(page);
  int cur = zones_.ZoneOf(page->unit);
  if (c == cur) return;
  if (cur != 0) {
    int32_t old = page->unit;
    Rehome(e, old, NewTempUnit());
    zones_.Free(old);
  }
  if (c != 0) {
    int32_t unit = zones_.Allocate(c);
    Rehome(e, page->unit, unit);
  }
}

void TsrFile::PlaceDirtyPages() {
  placing_ = true;
  struct Off {
    bool* flag;
    ~Off() { *flag = false; }
  } off{&placing_};
  // The dirty list grows while pages are placed (moves make pages dirty);
  // those are placed too, in order.
  auto& dirty = cache_.dirty_list();
  for (auto it = dirty.begin(); it != dirty.end(); ++it) {
    PageCache::Entry* e = *it;
    if (!e->block_ready) {
      e->block = e->page->Encode();
      e->block_ready = true;
    }
    Replace(e, Zones::ClassOf(BlockStoredLength(e->block)));
  }
  zones_.Compact();
  // Compaction only moves blocks whose stored form was read or encoded
  // before; should a page lack one, its encoding must still fit its zone.
  for (PageCache::Entry* e : dirty) {
    if (e->block_ready) continue;
    e->block = e->page->Encode();
    e->block_ready = true;
    Check(Zones::ClassOf(BlockStoredLength(e->block)) == zones_.ZoneOf(e->page->unit), 1477);
  }
}

// ---------------------------------------------------------------------------
// 6. Commit and rollback

Status TsrFile::BeginWriteIntent() {
  if (failure_ != 0) return FailedStatus();
  if (read_intent_) {
    // End the current read. [shared: release the reader slot]
    header_current_ = false;
    read_intent_ = false;
  }
  return Status::OK();
}

Status TsrFile::EndWriteIntent() {
  if (failure_ != 0) return FailedStatus();
  if (in_transaction_) return Status::OK();
  Status s = read_intent_ ? Status::OK() : Commit();
  header_current_ = false;
  // [shared: release the writer byte]
  read_intent_ = true;
  return s;
}

Status TsrFile::EndOperation() {
  Status s = Commit();
  header_current_ = false;
  // [shared: release the reader slot or the writer byte]
  return s;
}

Status TsrFile::Commit() {
  return Guard([&] {
    if (read_intent_ || !dirty_ || in_transaction_) return Status::OK();
    Status s = CommitPhase1();
    if (!s.ok()) return s;
    return CommitPhase2();
  });
}

Status TsrFile::CommitPhase1() {
  return Guard([&]() -> Status {
    if (read_intent_ || !dirty_) return Status::OK();
    // [shared or deny write: take the commit lock, waiting]
    old_end_ = header_.EndOfData();
    old_size_ = Size();
    for (PageCache::Entry* e : cache_.DirtyEntries()) e->block_ready = false;

    PlaceDirtyPages();

    int64_t new_end = header_.EndOfData();
    int64_t log = std::max(old_end_, new_end);
    header_.log_start = static_cast<uint32_t>(log);
    header_.change_count += 1;
    sticky_ = Status::OK();

    // Pages beyond the old end of data overwrite nothing committed: they go
    // home now. The others, and the header, go to the log.
    int64_t log_end = log;
    prepared_.clear();
    for (PageCache::Entry* e : cache_.DirtyEntries()) {
      TsrPage* page = e->page.get();
      page->RefreshBlock(&e->block);
      int64_t home = UnitOffset(page->unit);
      if (home < old_end_) {
        WriteBlock(log_end, e->block.data(), e->block.size());
        log_end += static_cast<int64_t>(e->block.size());
        prepared_.push_back(e);
      } else {
        WriteBlock(home, e->block.data(), e->block.size());
        cache_.Drop(e);
      }
    }
    header_.log_end = static_cast<uint32_t>(log_end + static_cast<int64_t>(kHeaderSize));
    WriteHeaderAt(log_end, header_);
    if (!sticky_.ok()) return FailPhase1(sticky_, false);
    Status s = Flush();
    if (!s.ok()) return FailPhase1(s, false);

    // Prepare: the header as last committed, pointing at the new log.
    FileHeader prepared = committed_.HasMagic() ? committed_ : FreshHeader();
    prepared.log_start = header_.log_start;
    prepared.log_end = header_.log_end;
    WriteHeaderAt(0, prepared);
    if (!sticky_.ok()) return FailPhase1(sticky_, true);
    s = Flush();
    if (!s.ok()) return FailPhase1(s, true);
    committed_ = prepared;
    // From here a crash is repaired by replaying the log.
    return Status::OK();
  });
}

Status TsrFile::FailPhase1(Status error, bool header_written) {
  // Put the file back as it was: the header at 0 (when it may have been
  // touched), then the length. Only when the header is surely back is the
  // log cut away; otherwise the log stays for recovery to use.
  bool restored = true;
  if (header_written) {
    sticky_ = Status::OK();
    WriteHeaderAt(0, committed_.HasMagic() ? committed_ : FreshHeader());
    restored = sticky_.ok() && Flush().ok();
  }
  if (restored && handle_) {
    (void)handle_->Truncate(old_size_);
    (void)handle_->Sync();
  }
  Rollback();
  return error;
}

Status TsrFile::CommitPhase2() {
  return Guard([&]() -> Status {
    if (prepared_.empty() && committed_.log_start == committed_.log_end) {
      // Nothing was prepared (phase 1 had nothing to do).
      return Status::OK();
    }
    for (PageCache::Entry* e : prepared_) {
      WriteBlock(UnitOffset(e->page->unit), e->block.data(), e->block.size());
      cache_.Drop(e);
    }
    prepared_.clear();
    WriteHeaderAt(0, header_);
    Status s = sticky_;
    if (s.ok()) s = ResetLog();
    if (!s.ok()) {
      // The log is complete on disk: the next validation replays it.
      dirty_ = false;
      header_.magic = 0;
      DiscardCache();
      header_current_ = false;
      return s;
    }
    dirty_ = false;
    // [release the commit lock]
    return Status::OK();
  });
}

Status TsrFile::DiscardPrepared() {
  return Guard([&] {
    Status s = ResetLog();
    dirty_ = false;
    header_.magic = 0;
    DiscardCache();
    header_current_ = false;
    return s;
  });
}

void TsrFile::Rollback() {
  if (dirty_) {
    dirty_ = false;
    header_.magic = 0;  // forces a reread of the header, even exclusive
    DiscardCache();
  }
  header_current_ = false;
  // [release the commit lock and the operation's lock]
}

Status TsrFile::TakeSequenceNumber(std::array<uint8_t, 4>* number) {
  return Guard([&] {
    Check(!read_intent_, 1163);
    Check(Validate(false) == 0, 1164);
    *number = header_.NextSequence();
    dirty_ = true;
    return Status::OK();
  });
}

Status TsrFile::RaiseSequenceNumber(uint32_t at_least) {
  return Guard([&] {
    Check(!read_intent_, 1163);
    Check(Validate(false) == 0, 1164);
    Check(at_least < 0xFE000000u, 1173);
    if (header_.SequenceValue() >= at_least) return Status::OK();
    for (int i = 0; i < 4; ++i) {
      header_.sequence[i] = static_cast<uint8_t>(at_least >> (24 - 8 * i));
    }
    dirty_ = true;
    return Status::OK();
  });
}

}  // namespace tessera
