// KeyTable: a bare table for key tests, on a real TsrFile through the raw
// record API -- data records [T, F3, N] holding the record buffer, the data
// records' counter [T, F6, F3] and the keys' counters -- so that key
// maintenance and builds can be exercised without the table layer.
//
// It does what an add, change, delete and append must do around the keys
// and nothing more: no memos, locks, OEM conversion or current record.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "storage/cursor.h"
#include "storage/key_codec.h"
#include "storage/keys.h"
#include "storage/raw_records.h"
#include "storage/record.h"
#include "storage/tree.h"
#include "storage/tsr_file.h"

namespace tessera::testing {

class KeyTable {
 public:
  using Buffer = std::vector<uint8_t>;

  KeyTable(Env* env = Env::Default()) : file_(env), raw_(&file_) {}

  // Creates (or, with `existing_table` != 0, reopens) the file and the table.
  Status Open(const std::string& path, uint32_t record_length, std::vector<KeyLayout> keys,
              uint32_t existing_table = 0,
              uint32_t open_mode = mode::kCreate | mode::kReadWrite | mode::kDenyAll) {
    Status s = file_.Open(path, open_mode);
    if (!s.ok()) return s;
    s = file_.BeginWriteIntent();
    if (!s.ok()) return s;
    uint32_t table = existing_table;
    if (table == 0) {
      std::array<uint8_t, 4> number;
      s = file_.TakeSequenceNumber(&number);
      if (!s.ok()) return s;
      table = GetBigEndian32(number.data());
    }
    keys_ = std::make_unique<TableKeys>(&file_, table, record_length, std::move(keys));
    if (existing_table == 0) {
      uint8_t zero[8] = {};
      s = raw_.Insert(CounterKey(), zero);
      if (s.ok()) s = keys_->CreateCounters();
      if (s.ok()) s = file_.Commit();
    }
    return s;
  }

  Status Close() {
    keys_.reset();
    return file_.Close();
  }

  // Add (append: keys deferred). *n gets the record number taken, also when
  // the add fails.
  Status Add(const Buffer& record, uint32_t* n, bool append = false) {
    std::array<uint8_t, 4> number;
    Status s = file_.TakeSequenceNumber(&number);
    if (!s.ok()) return s;
    *n = GetBigEndian32(number.data());
    s = keys_->Update(record, {}, *n, append);
    if (!s.ok()) return s;
    s = raw_.Insert(DataKey(*n), record);
    if (!s.ok()) return s;
    return BumpCount(+1);
  }

  Status Change(uint32_t n, const Buffer& record) {
    Buffer old;
    Status s = Fetch(n, &old);
    if (!s.ok() || old == record) return s;
    s = keys_->Update(record, old, n, false);
    if (!s.ok()) return s;
    bool found = false;
    s = raw_.Delete(DataKey(n), &found);
    if (!s.ok()) return s;
    return raw_.Insert(DataKey(n), record);
  }

  Status Delete(uint32_t n) {
    Buffer old;
    Status s = Fetch(n, &old);
    if (!s.ok()) return s;
    bool found = false;
    s = raw_.Delete(DataKey(n), &found);
    if (!s.ok()) return s;
    s = keys_->RemoveEntries(old, n);
    if (!s.ok()) return s;
    return BumpCount(-1);
  }

  Status Fetch(uint32_t n, Buffer* out) {
    bool found = false;
    Status s = raw_.Find(DataKey(n), out, &found);
    if (s.ok() && !found) return Status::Error(35, "Record Not Found");
    return s;
  }

  // Data records N -> buffer, in record-number order.
  std::map<uint32_t, Buffer> Records() {
    std::map<uint32_t, Buffer> out;
    auto key = DataKey(0);
    Status s = raw_.Walk([&](RawRecords::Bytes k, RawRecords::Bytes d) {
      if (k.size() == 9 && std::memcmp(k.data(), key.data(), 5) == 0) {
        out[GetBigEndian32(k.data() + 5)] = Buffer(d.begin(), d.end());
      }
    });
    (void)s;
    return out;
  }

  // Every record of the table's number whose key starts with T, k: raw
  // entries of key k as stored in the file.
  std::vector<RawRecords::Entry> RawEntries(int k) {
    std::vector<RawRecords::Entry> out;
    auto prefix = keys_->Prefix(k);
    Status s = raw_.Walk([&](RawRecords::Bytes key, RawRecords::Bytes data) {
      if (key.size() > 5 && std::memcmp(key.data(), prefix.data(), 5) == 0) {
        out.push_back({{key.begin(), key.end()}, {data.begin(), data.end()}});
      }
    });
    (void)s;
    return out;
  }

  // Entries of key k as (N, components), in key order.
  std::vector<std::pair<uint32_t, Buffer>> Entries(int k) {
    std::vector<std::pair<uint32_t, Buffer>> out;
    Status s = keys_->Walk(k, [&](uint32_t n, std::span<const uint8_t> c) {
      out.emplace_back(n, Buffer(c.begin(), c.end()));
    });
    (void)s;
    return out;
  }

  // Record numbers of key k's entries, in key order.
  std::vector<uint32_t> RecordNumbers(int k) {
    std::vector<uint32_t> out;
    for (auto& [n, c] : Entries(k)) out.push_back(n);
    return out;
  }

  int32_t Count(int k) {
    int32_t c = -1;
    (void)keys_->Count(k, &c);
    return c;
  }
  uint32_t RebuildPoint(int k) {
    KeyCounter c;
    (void)keys_->ReadCounter(k, &c);
    return c.rebuild_point;
  }
  int32_t DataCount() {
    int32_t c = -1;
    (void)keys_->DataCount(&c);
    return c;
  }

  // Appends `count` records made by `make(i)` fast (keys deferred, the count
  // written once), committing as the cache fills. Returns the first number.
  template <class Make>
  Status BulkAppend(size_t count, Make make, uint32_t* first) {
    TsrTree* tree = keys_->file_tree();
    TsrCursor cursor(tree);
    Buffer record;
    for (size_t i = 0; i < count; ++i) {
      std::array<uint8_t, 4> number;
      Status s = file_.TakeSequenceNumber(&number);
      if (!s.ok()) return s;
      const uint32_t n = GetBigEndian32(number.data());
      if (i == 0) *first = n;
      record = make(i);
      s = keys_->Update(record, {}, n, true);
      if (!s.ok()) return s;
      auto key = DataKey(n);
      if (cursor.Current() == nullptr) cursor.Set(DataKey(n - 1));
      s = file_.Guard([&] {
        return cursor.Insert(std::make_unique<TsrRecord>(key, record));
      });
      if (!s.ok()) return s;
      if (file_.cache().dirty_count() >= 400) {
        s = file_.Commit();
        if (!s.ok()) return s;
      }
    }
    return BumpCount(static_cast<int32_t>(count));
  }

  TsrFile& file() { return file_; }
  RawRecords& raw() { return raw_; }
  TableKeys& keys() { return *keys_; }
  uint32_t table() const { return keys_->table(); }

  std::array<uint8_t, 9> DataKey(uint32_t n) const {
    std::array<uint8_t, 9> key{};
    PutBigEndian32(key.data(), keys_->table());
    key[4] = TableKeys::kDataKind;
    PutBigEndian32(key.data() + 5, n);
    return key;
  }

 private:
  std::array<uint8_t, 6> CounterKey() const {
    std::array<uint8_t, 6> key{};
    PutBigEndian32(key.data(), keys_->table());
    key[4] = TableKeys::kCounterKind;
    key[5] = TableKeys::kDataKind;
    return key;
  }

  Status BumpCount(int32_t delta) {
    std::vector<uint8_t> data;
    bool found = false;
    Status s = raw_.Find(CounterKey(), &data, &found);
    if (!s.ok()) return s;
    if (!found || data.size() != 8) return Status::Error(err::kAccessDenied, "no counter");
    int32_t count;
    std::memcpy(&count, data.data(), 4);  // little-endian hosts only
    count += delta;
    std::memcpy(data.data(), &count, 4);
    s = raw_.Delete(CounterKey(), &found);
    if (!s.ok()) return s;
    return raw_.Insert(CounterKey(), data);
  }

  TsrFile file_;
  RawRecords raw_;
  std::unique_ptr<TableKeys> keys_;
};

}  // namespace tessera::testing
