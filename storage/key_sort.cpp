// Key-build sort; the run format and the invariants are in key_sort.h.
#include "storage/key_sort.h"

#include <algorithm>
#include <cstring>

#include "storage/internal_failure.h"

namespace tessera {

// --- RunStore ----------------------------------------------------------------

RunStore::RunStore(Env* env) : env_(env) {}

RunStore::~RunStore() { Close(); }

void RunStore::Close() {
  memory_.clear();
  memory_.shrink_to_fit();
  buffer_.clear();
  buffer_.shrink_to_fit();
  if (file_) {
    file_.reset();  // close before deleting
    (void)env_->Delete(file_name_);
    file_name_.clear();
  }
}

Status RunStore::Fail(Status s) {
  failed_ = s;
  Close();  // the runs are useless now; do not keep the file
  return s;
}

Status RunStore::WriteAt(uint64_t offset, const void* data, size_t n) {
  size_t written = 0;
  Status s = file_->Write(offset, data, n, &written);
  if (!s.ok()) return Fail(s);
  if (written != n) {
    return Fail(Status::Error(err::kFileSystemError,
                              "temporary sort file " + file_name_ + ": wrote " +
                                  std::to_string(written) + " of " +
                                  std::to_string(n) + " bytes (disk full?)"));
  }
  return Status::OK();
}

Status RunStore::Flush() {
  if (buffer_.empty()) return Status::OK();
  Status s = WriteAt(buffer_start_, buffer_.data(), buffer_.size());
  buffer_start_ += buffer_.size();
  buffer_.clear();
  return s;
}

Status RunStore::MoveToFile() {
  Status s = env_->CreateTempFile(&file_name_, &file_);
  if (!s.ok()) {
    file_.reset();
    file_name_.clear();
    return Fail(s);
  }
  if (size_ > 0) {
    s = WriteAt(0, memory_.data(), static_cast<size_t>(size_));
    if (!s.ok()) return s;
  }
  memory_.clear();
  memory_.shrink_to_fit();
  buffer_.reserve(kWriteBuffer);
  buffer_start_ = size_;
  return Status::OK();
}

Status RunStore::Append(const void* data, size_t n) {
  if (!failed_.ok()) return failed_;
  const uint8_t* p = static_cast<const uint8_t*>(data);
  if (!file_) {
    if (size_ + n <= kMemoryArea) {
      if (memory_.capacity() == 0) memory_.reserve(kMemoryArea);
      memory_.insert(memory_.end(), p, p + n);
      size_ += n;
      return Status::OK();
    }
    Status s = MoveToFile();
    if (!s.ok()) return s;
  }
  if (n > kWriteBuffer) {
    Status s = Flush();
    if (!s.ok()) return s;
    s = WriteAt(size_, p, n);
    if (!s.ok()) return s;
    size_ += n;
    buffer_start_ = size_;
    return Status::OK();
  }
  while (n > 0) {
    size_t take = std::min(n, kWriteBuffer - buffer_.size());
    buffer_.insert(buffer_.end(), p, p + take);
    p += take;
    n -= take;
    size_ += take;
    if (buffer_.size() == kWriteBuffer) {
      Status s = Flush();
      if (!s.ok()) return s;
    }
  }
  return Status::OK();
}

Status RunStore::Read(uint64_t offset, void* buf, size_t n) {
  if (!failed_.ok()) return failed_;
  Check(offset <= size_ && n <= size_ - offset, 3004);
  if (!file_) {
    std::memcpy(buf, memory_.data() + offset, n);
    return Status::OK();
  }
  Status s = Flush();
  if (!s.ok()) return s;
  size_t got = 0;
  s = file_->Read(offset, buf, n, &got);
  if (!s.ok()) return Fail(s);
  if (got != n) {
    return Fail(Status::Error(err::kFileSystemError,
                              "temporary sort file " + file_name_ +
                                  " is shorter than was written"));
  }
  return Status::OK();
}

// --- KeySort -----------------------------------------------------------------

// Merges one run: its unread bytes start at `next`; the loaded item is the
// smallest of the run not yet handed out.
struct KeySort::Reader {
  uint64_t next = 0;
  uint64_t remaining = 0;  // bytes of the run not yet read from the store
  uint8_t buffer[kReaderBuffer];
  size_t buffer_pos = 0;
  size_t buffer_len = 0;
  std::vector<uint8_t> item;
  bool exhausted() const { return remaining == 0 && buffer_pos == buffer_len; }
};

namespace {
// Heap order: std heaps keep the greatest on top, so "less" is reversed.
struct SlotGreater {
  const uint8_t* items;
  size_t size;
  bool operator()(uint32_t a, uint32_t b) const {
    return std::memcmp(items + size_t{a} * size, items + size_t{b} * size, size) > 0;
  }
};
}  // namespace

KeySort::KeySort(Env* env, size_t item_size)
    : env_(env), item_size_(item_size), store_(env) {
  Check(item_size >= 1 && item_size <= kMaxItemSize, 3002);
}

KeySort::~KeySort() { End(); }

void KeySort::End() {
  phase_ = Phase::kEnded;
  items_.clear();
  items_.shrink_to_fit();
  heap_.clear();
  heap_.shrink_to_fit();
  held_bytes_ = 0;
  reader_heap_.clear();
  readers_.clear();
  store_.Close();
}

Status KeySort::Fail(Status s) {
  failed_ = s;
  Phase phase = phase_;
  End();  // nothing more can come out; free it all and delete the file now
  phase_ = phase;
  return s;
}

void KeySort::PushItem(const void* item) {
  uint32_t slot = static_cast<uint32_t>(items_.size() / item_size_);
  const uint8_t* p = static_cast<const uint8_t*>(item);
  items_.insert(items_.end(), p, p + item_size_);
  heap_.push_back(slot);
  std::push_heap(heap_.begin(), heap_.end(), SlotGreater{items_.data(), item_size_});
  held_bytes_ += item_size_;
}

uint32_t KeySort::PopSlot() {
  std::pop_heap(heap_.begin(), heap_.end(), SlotGreater{items_.data(), item_size_});
  uint32_t slot = heap_.back();
  heap_.pop_back();
  return slot;
}

Status KeySort::WriteRun() {
  const uint64_t length = uint64_t{heap_.size()} * item_size_;
  uint8_t prefix[4] = {static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8),
                       static_cast<uint8_t>(length >> 16),
                       static_cast<uint8_t>(length >> 24)};
  runs_.push_back({store_.size(), length});
  Status s = store_.Append(prefix, sizeof prefix);
  while (s.ok() && !heap_.empty()) s = store_.Append(ItemAt(PopSlot()), item_size_);
  items_.clear();
  heap_.clear();
  held_bytes_ = 0;
  return s;
}

Status KeySort::Add(const void* item) {
  Check(phase_ == Phase::kCollecting, 3003);
  if (!failed_.ok()) return failed_;
  if (held_bytes_ >= kRunBytes) {
    Status s = WriteRun();
    if (!s.ok()) return Fail(s);
  }
  PushItem(item);
  return Status::OK();
}

Status KeySort::StartReader(Reader* r, uint64_t offset, uint64_t length) {
  uint8_t prefix[4];
  Status s = store_.Read(offset, prefix, sizeof prefix);
  if (!s.ok()) return s;
  uint64_t stored = uint64_t{prefix[0]} | uint64_t{prefix[1]} << 8 |
                    uint64_t{prefix[2]} << 16 | uint64_t{prefix[3]} << 24;
  if (stored != length) {
    return Status::Error(err::kFileSystemError,
                         "temporary sort file " + store_.file_name() +
                             ": a run's length changed after it was written");
  }
  r->next = offset + sizeof prefix;
  r->remaining = length;
  r->item.resize(item_size_);
  return LoadNext(r);
}

Status KeySort::LoadNext(Reader* r) {
  if (item_size_ >= kReaderBuffer) {
    Status s = store_.Read(r->next, r->item.data(), item_size_);
    r->next += item_size_;
    r->remaining -= item_size_;
    return s;
  }
  size_t left = r->buffer_len - r->buffer_pos;
  if (left < item_size_) {
    std::memmove(r->buffer, r->buffer + r->buffer_pos, left);
    size_t want = static_cast<size_t>(std::min<uint64_t>(kReaderBuffer - left, r->remaining));
    Status s = store_.Read(r->next, r->buffer + left, want);
    if (!s.ok()) return s;
    r->next += want;
    r->remaining -= want;
    r->buffer_pos = 0;
    r->buffer_len = left + want;
  }
  std::memcpy(r->item.data(), r->buffer + r->buffer_pos, item_size_);
  r->buffer_pos += item_size_;
  return Status::OK();
}

namespace {
struct ReaderGreater {
  size_t size;
  template <typename R>
  bool operator()(const R* a, const R* b) const {
    return std::memcmp(a->item.data(), b->item.data(), size) > 0;
  }
};
}  // namespace

Status KeySort::StartDrain() {
  if (runs_.empty()) {
    phase_ = Phase::kFromHeap;
    return Status::OK();
  }
  phase_ = Phase::kMerging;
  if (!heap_.empty()) {
    Status s = WriteRun();
    if (!s.ok()) return s;
  }
  for (const RunInfo& run : runs_) {
    // Every run length is a whole number of items (WriteRun), so a reader
    // never finds part of an item.
    auto r = std::make_unique<Reader>();
    Status s = StartReader(r.get(), run.offset, run.length);
    if (!s.ok()) return s;
    reader_heap_.push_back(r.get());
    readers_.push_back(std::move(r));
  }
  std::make_heap(reader_heap_.begin(), reader_heap_.end(), ReaderGreater{item_size_});
  return Status::OK();
}

Status KeySort::Take(void* item, bool* taken) {
  *taken = false;
  if (!failed_.ok()) return failed_;
  if (phase_ == Phase::kCollecting) {
    Status s = StartDrain();
    if (!s.ok()) return Fail(s);
  }
  if (phase_ == Phase::kFromHeap) {
    if (heap_.empty()) return Status::OK();
    std::memcpy(item, ItemAt(PopSlot()), item_size_);
    *taken = true;
    return Status::OK();
  }
  if (phase_ != Phase::kMerging || reader_heap_.empty()) return Status::OK();
  std::pop_heap(reader_heap_.begin(), reader_heap_.end(), ReaderGreater{item_size_});
  Reader* r = reader_heap_.back();
  std::memcpy(item, r->item.data(), item_size_);
  *taken = true;
  if (r->exhausted()) {
    reader_heap_.pop_back();
    return Status::OK();
  }
  Status s = LoadNext(r);
  if (!s.ok()) {
    *taken = false;
    return Fail(s);
  }
  std::push_heap(reader_heap_.begin(), reader_heap_.end(), ReaderGreater{item_size_});
  return Status::OK();
}

}  // namespace tessera
