// RawRecords: records of a TsrFile by raw key and data bytes.
//
// A thin face over the record tree for tests, tools and benchmarks: no
// tables, no record numbers, just ordered (key, data) pairs. Every call is
// one engine operation (internal failures become 90 and lock the file out,
// see tsr_file.h); inserts and deletes need write intent, and nothing is
// durable before Commit.
//
// Limits: a record (key + data) longer than kMaxRecordLength (15076 bytes)
// or a key longer than kMaxKeyLength is refused with an error and the file is
// left as it was; an equal key is internal failure 706.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "storage/status.h"
#include "storage/tree.h"
#include "storage/tsr_file.h"

namespace tessera {

class RawRecords {
 public:
  using Bytes = std::span<const uint8_t>;
  struct Entry {
    std::vector<uint8_t> key, data;
  };

  explicit RawRecords(TsrFile* file) : file_(file), tree_(file) {}

  Status Insert(Bytes key, Bytes data);
  // *found tells whether the key exists; *data gets its data.
  Status Find(Bytes key, std::vector<uint8_t>* data, bool* found);
  // The first record after / the last record before `key`.
  Status Next(Bytes key, Entry* out, bool* found);
  Status Previous(Bytes key, Entry* out, bool* found);
  Status Delete(Bytes key, bool* found);
  // Every record in key order (the hidden smallest record excluded).
  Status Walk(const std::function<void(Bytes key, Bytes data)>& visit);

  // Commits and ends the operation (see TsrFile::EndOperation).
  Status Commit() { return file_->EndOperation(); }

  TsrFile* file() const { return file_; }
  TsrTree* tree() { return &tree_; }

 private:
  TsrFile* file_;
  TsrTree tree_;
};

}  // namespace tessera
