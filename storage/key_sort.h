// Key-build sort: sorts fixed-size items (a key entry's bytes after its
// table and key numbers) ascending by unsigned byte comparison, in memory
// when they are few and through sorted runs in a temporary file otherwise.
//
// Collect: items go into a binary min-heap. Before an item is added, when
// the items held total kRunBytes or more, the heap is written out as a run
// and emptied. Drain (first Take): with no run written the heap hands its
// items out directly; otherwise the heap is written as a last run and all
// runs are merged in one pass, one reader per run.
//
// Run store layout: runs one after another, each
//   offset  size  field
//        0     4  run length L in bytes, little-endian (a multiple of the item size)
//        4     L  the run's items, ascending
// The store starts in a kMemoryArea-byte area in memory; the first append
// that would carry it past that moves it, as it stands, into a temporary
// file (Env::CreateTempFile, "TMP..." in the platform's temporary folder) and
// continues there at the same position. File writes gather in a
// kWriteBuffer-byte buffer, written out when full and before any read; a
// single append larger than the buffer goes to the file directly. Each
// merge reader reads through a buffer of its own of kReaderBuffer bytes (an
// item of that size or more is read directly).
//
// Invariants:
//  1. At most about kRunBytes of items are held in memory at once.
//  2. Every item added is handed out exactly once, ascending, unless an error
//     is returned; an error is sticky: every later Add and Take returns it.
//  3. No temporary file outlives the sort: End (also run by the destructor,
//     whether or not all items were taken) deletes it, and a store that
//     fails deletes its file at once.
//  4. A failed write (error or fewer bytes than asked) or a run that reads
//     back shorter or different than written is reported, never taken as a
//     shorter sort: the build sees an error instead of a key missing entries.
//
// Internal failures: 3002 item size outside 1..kMaxItemSize; 3003 Add after
// the first Take or after End; 3004 a read beyond the end of the store.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "storage/env/env.h"
#include "storage/status.h"

namespace tessera {

// A byte store that lives in memory while small, then in a temporary file.
class RunStore {
 public:
  static constexpr size_t kMemoryArea = 16384;
  static constexpr size_t kWriteBuffer = 16384;

  explicit RunStore(Env* env);
  ~RunStore();
  RunStore(const RunStore&) = delete;
  RunStore& operator=(const RunStore&) = delete;

  // Appends n bytes at the end of the store.
  Status Append(const void* data, size_t n);
  // Reads exactly n bytes at offset; the range must lie within size().
  Status Read(uint64_t offset, void* buf, size_t n);

  uint64_t size() const { return size_; }
  bool in_file() const { return file_ != nullptr; }
  // The temporary file's name while it exists, else empty.
  const std::string& file_name() const { return file_name_; }
  // OK, or the failure that ended the store.
  const Status& status() const { return failed_; }

  // Drops the memory area and closes and deletes the temporary file.
  void Close();

 private:
  Status MoveToFile();
  Status Flush();
  Status WriteAt(uint64_t offset, const void* data, size_t n);
  Status Fail(Status s);

  Env* env_;
  std::vector<uint8_t> memory_;
  std::unique_ptr<FileHandle> file_;
  std::string file_name_;
  std::vector<uint8_t> buffer_;  // gathered bytes, file offset buffer_start_
  uint64_t buffer_start_ = 0;
  uint64_t size_ = 0;
  Status failed_;
};

class KeySort {
 public:
  static constexpr size_t kRunBytes = 1000000;
  static constexpr size_t kReaderBuffer = 500;
  static constexpr size_t kMaxItemSize = kRunBytes;

  // Begins a sort of items of item_size bytes (1..kMaxItemSize).
  KeySort(Env* env, size_t item_size);
  // Ends the sort (End).
  ~KeySort();
  KeySort(const KeySort&) = delete;
  KeySort& operator=(const KeySort&) = delete;

  // Adds item_size() bytes from item. Not allowed once taking has begun.
  Status Add(const void* item);
  // Copies the next item in ascending order into item and sets *taken; when
  // all have been handed out, *taken is false. The first call starts the drain.
  Status Take(void* item, bool* taken);
  // Releases everything and deletes the temporary file, whether or not all
  // items were taken (a cancelled build). Idempotent.
  void End();

  size_t item_size() const { return item_size_; }
  // Runs written so far (0: everything stayed in the heap).
  int runs() const { return static_cast<int>(runs_.size()); }
  const RunStore& store() const { return store_; }

 private:
  struct Reader;
  enum class Phase { kCollecting, kFromHeap, kMerging, kEnded };

  const uint8_t* ItemAt(uint32_t slot) const { return &items_[size_t{slot} * item_size_]; }
  void PushItem(const void* item);
  uint32_t PopSlot();
  Status Fail(Status s);
  Status WriteRun();
  Status StartDrain();
  Status StartReader(Reader* r, uint64_t offset, uint64_t length);
  Status LoadNext(Reader* r);

  Env* env_;
  const size_t item_size_;
  Phase phase_ = Phase::kCollecting;
  Status failed_;

  std::vector<uint8_t> items_;  // item slots
  std::vector<uint32_t> heap_;  // min-heap of slots
  size_t held_bytes_ = 0;

  struct RunInfo {
    uint64_t offset;  // of the run's length field
    uint64_t length;
  };
  std::vector<RunInfo> runs_;
  RunStore store_;
  std::vector<std::unique_ptr<Reader>> readers_;
  std::vector<Reader*> reader_heap_;  // min-heap by loaded item
};

}  // namespace tessera
