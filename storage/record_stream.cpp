#include "storage/record_stream.h"

#include <algorithm>
#include <cstring>

#include "storage/coding.h"
#include "storage/internal_failure.h"
#include "storage/record.h"

namespace tessera {
namespace {

constexpr uint8_t kFlagTotal = 0x80;
constexpr uint8_t kFlagKey = 0x40;
constexpr uint8_t kSharedMask = 0x3F;

constexpr int kFailureLiteral = 522;
constexpr int kFailureRepeat = 530;
constexpr int kFailureStream = 1602;

}  // namespace

void EncodeRecordStream(std::span<const TsrRecord* const> records,
                        std::vector<uint8_t>* out) {
  const TsrRecord* prev = nullptr;
  for (const TsrRecord* r : records) {
    const size_t t = r->size();
    const size_t k = r->key_size();
    uint8_t flag = 0;
    size_t shared = 0;
    if (prev == nullptr || t != prev->size()) flag |= kFlagTotal;
    if (prev == nullptr || k != prev->key_size()) flag |= kFlagKey;
    if (prev != nullptr) {
      const size_t limit = std::min({t, kMaxSharedBytes, prev->size()});
      const uint8_t* a = r->bytes().data();
      const uint8_t* b = prev->bytes().data();
      while (shared < limit && a[shared] == b[shared]) ++shared;
    }
    out->push_back(static_cast<uint8_t>(flag | shared));
    if (flag & kFlagTotal) PutFixed16(out, static_cast<uint16_t>(t));
    if (flag & kFlagKey) PutFixed16(out, static_cast<uint16_t>(k));
    out->insert(out->end(), r->bytes().begin() + shared, r->bytes().end());
    prev = r;
  }
}

std::vector<std::unique_ptr<TsrRecord>> DecodeRecordStream(
    const uint8_t* p, const uint8_t* limit, size_t count) {
  std::vector<std::unique_ptr<TsrRecord>> records;
  records.reserve(count);
  std::vector<uint8_t> buffer;
  size_t t = 0, k = 0;
  for (size_t i = 0; i < count; ++i) {
    Check(p < limit, kFailureStream);
    const uint8_t flag = *p++;
    const TsrRecord* prev = records.empty() ? nullptr : records.back().get();
    // The first record of a page carries both lengths.
    Check(prev != nullptr || (flag & (kFlagTotal | kFlagKey)) ==
                                 (kFlagTotal | kFlagKey), kFailureStream);
    if (flag & kFlagTotal) {
      Check(limit - p >= 2, kFailureStream);
      t = DecodeFixed16(p);
      p += 2;
    }
    if (flag & kFlagKey) {
      Check(limit - p >= 2, kFailureStream);
      k = DecodeFixed16(p);
      p += 2;
    }
    const size_t shared = flag & kSharedMask;
    Check(k <= t, kFailureStream);
    Check(t <= kMaxRecordBytes, 824);
    Check(shared == 0 || (prev != nullptr && shared <= t &&
                          shared <= prev->size()), kFailureStream);
    Check(static_cast<size_t>(limit - p) >= t - shared, kFailureStream);
    buffer.resize(t);
    if (shared > 0) std::memcpy(buffer.data(), prev->bytes().data(), shared);
    if (t > shared) std::memcpy(buffer.data() + shared, p, t - shared);
    p += t - shared;
    std::span<const uint8_t> bytes(buffer.data(), t);
    records.push_back(
        std::make_unique<TsrRecord>(bytes.first(k), bytes.subspan(k)));
  }
  Check(p == limit, kFailureStream);
  return records;
}

bool RunLengthEncode(std::span<const uint8_t> input, std::vector<uint8_t>* out) {
  const size_t start_size = out->size();
  const size_t n = input.size();
  size_t pending = 0;  // first byte not yet written
  size_t i = 0;
  bool any_run = false;
  while (i < n) {
    size_t j = i + 1;
    while (j < n && input[j] == input[i]) ++j;
    if (j - i >= kMinRunLength) {
      PutVarint32(out, static_cast<uint32_t>(i - pending + 1));
      out->insert(out->end(), input.begin() + pending, input.begin() + i + 1);
      PutVarint32(out, static_cast<uint32_t>(j - i - 1));
      pending = j;
      any_run = true;
    }
    i = j;
  }
  if (!any_run) {
    out->resize(start_size);
    return false;
  }
  PutVarint32(out, static_cast<uint32_t>(n - pending));
  out->insert(out->end(), input.begin() + pending, input.end());
  return true;
}

void RunLengthDecode(const uint8_t* p, const uint8_t* limit, uint8_t* out,
                     size_t out_length) {
  size_t done = 0;
  while (done < out_length) {
    uint32_t literals = 0;
    p = GetVarint32(p, limit, &literals);
    Check(p != nullptr, kFailureLiteral);
    Check(literals <= out_length - done &&
              literals <= static_cast<size_t>(limit - p), kFailureLiteral);
    if (literals > 0) std::memcpy(out + done, p, literals);
    p += literals;
    done += literals;
    if (done == out_length) break;
    uint32_t repeats = 0;
    p = GetVarint32(p, limit, &repeats);
    Check(p != nullptr, kFailureRepeat);
    Check(repeats <= out_length - done, kFailureRepeat);
    if (repeats > 0) {
      Check(done > 0, kFailureRepeat);
      std::memset(out + done, out[done - 1], repeats);
      done += repeats;
    }
  }
}

}  // namespace tessera
