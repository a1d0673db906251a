#include "storage/raw_records.h"

#include "storage/record.h"

namespace tessera {
namespace {

void Fill(const TsrRecord& r, RawRecords::Entry* out) {
  out->key.assign(r.key().begin(), r.key().end());
  out->data.assign(r.data().begin(), r.data().end());
}

}  // namespace

Status RawRecords::Insert(Bytes key, Bytes data) {
  return file_->Guard([&] {
    // Refuse before a record object exists: one longer than a record may
    // be is itself an internal failure.
    if (key.size() + data.size() > kMaxRecordLength || key.size() > kMaxKeyLength) {
      return Status::Error(err::kFileSystemError,
                           "record of " + std::to_string(key.size() + data.size()) +
                               " bytes (key " + std::to_string(key.size()) +
                               ") is longer than a page can hold");
    }
    return tree_.Insert(std::make_unique<TsrRecord>(key, data));
  });
}

Status RawRecords::Find(Bytes key, std::vector<uint8_t>* data, bool* found) {
  *found = false;
  return file_->Guard([&] {
    if (TsrRecord* r = tree_.Find(key)) {
      *found = true;
      data->assign(r->data().begin(), r->data().end());
    }
    return Status::OK();
  });
}

Status RawRecords::Next(Bytes key, Entry* out, bool* found) {
  *found = false;
  return file_->Guard([&] {
    if (TsrRecord* r = tree_.Next(key)) {
      *found = true;
      Fill(*r, out);
    }
    return Status::OK();
  });
}

Status RawRecords::Previous(Bytes key, Entry* out, bool* found) {
  *found = false;
  return file_->Guard([&] {
    if (TsrRecord* r = tree_.Previous(key)) {
      *found = true;
      Fill(*r, out);
    }
    return Status::OK();
  });
}

Status RawRecords::Delete(Bytes key, bool* found) {
  *found = false;
  return file_->Guard([&] {
    if (key.empty()) return Status::OK();  // the smallest record is no record
    if (TsrRecord* r = tree_.Find(key)) {
      *found = true;
      tree_.Delete(r);
    }
    return Status::OK();
  });
}

Status RawRecords::Walk(const std::function<void(Bytes key, Bytes data)>& visit) {
  return file_->Guard([&] {
    for (TsrRecord* r = tree_.Next(Bytes{}); r != nullptr; r = tree_.Next(*r)) {
      visit(r->key(), r->data());
    }
    return Status::OK();
  });
}

}  // namespace tessera
