#include "storage/record.h"

#include <algorithm>
#include <cstring>

#include "storage/cursor.h"
#include "storage/internal_failure.h"

namespace tessera {

int CompareKeys(std::span<const uint8_t> a, std::span<const uint8_t> b) {
  const size_t n = std::min(a.size(), b.size());
  if (n > 0) {
    const int c = std::memcmp(a.data(), b.data(), n);
    if (c != 0) return c < 0 ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

TsrRecord::TsrRecord(std::span<const uint8_t> key,
                     std::span<const uint8_t> data) {
  Check(key.size() + data.size() <= kMaxRecordBytes, 824);
  size_ = static_cast<uint16_t>(key.size() + data.size());
  key_size_ = static_cast<uint16_t>(key.size());
  bytes_ = std::make_unique<uint8_t[]>(size_ == 0 ? 1 : size_);
  if (!key.empty()) std::memcpy(bytes_.get(), key.data(), key.size());
  if (!data.empty()) std::memcpy(bytes_.get() + key.size(), data.data(), data.size());
}

std::unique_ptr<TsrRecord> TsrRecord::KeyCopy(const TsrRecord& source,
                                              int32_t child) {
  auto copy = std::make_unique<TsrRecord>(source.key(), std::span<const uint8_t>());
  copy->child = child;
  return copy;
}

TsrRecord::~TsrRecord() {
  // Cursors standing here keep the key and stand on nothing (their page, if
  // any, stays theirs).
  while (cursors_ != nullptr) cursors_->LeaveRecord();
}

}  // namespace tessera
