// The record stream of a stored page, and its run-length compression.
//
// Record stream: the records of one page in key order. For each record,
// with P the record written just before it (none for the first):
//
//   flag   1 byte   0x80: T follows; 0x40: K follows; low 6 bits: shared S
//   T      2 bytes  total length, only when there is no P or T != P.T
//   K      2 bytes  key length, only when there is no P or K != P.K
//   bytes  T - S    the record from position S on
//
// S is the number of leading bytes the record shares with P, counted over
// at most min(T, 63, P.T) bytes of the whole records (key and data); the
// reader takes those S bytes from P. A missing length is P's.
//
// Run-length form: a sequence of groups, each a literal count Lc, Lc literal
// bytes, and a repeat count R (the last literal repeated R more times); the
// last group has no repeat count. Counts are base-128 numbers (coding.h).
// A run of at least 4 equal bytes ends a group (its first byte is the
// group's last literal). Input with no such run has no compressed form.
// A stream that ends in a run ends with the group "00". The reader stops as
// soon as the expected length is produced.
//
// Failures: a literal count larger than what remains (of the output or of
// the input) is internal failure 522; a repeat count larger than what
// remains, or one with no byte before it to repeat, is 530; a record stream
// that does not hold exactly the expected records is 1602.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace tessera {

class TsrRecord;

inline constexpr size_t kMaxSharedBytes = 63;
inline constexpr size_t kMinRunLength = 4;

// Appends the stream form of `records` (in key order) to `out`.
void EncodeRecordStream(std::span<const TsrRecord* const> records,
                        std::vector<uint8_t>* out);

// Decodes exactly `count` records from the whole of [p, limit); raises 1602
// when the bytes do not hold exactly that (824 for an over-long record).
std::vector<std::unique_ptr<TsrRecord>> DecodeRecordStream(
    const uint8_t* p, const uint8_t* limit, size_t count);

// Appends the run-length form of `input` to `out`. Returns false (and
// appends nothing) when the input has no run of kMinRunLength equal bytes.
bool RunLengthEncode(std::span<const uint8_t> input, std::vector<uint8_t>* out);

// Expands [p, limit) into exactly `out_length` bytes at `out`. Raises 522
// or 530 (see above); reads nothing past limit and writes nothing past
// out + out_length.
void RunLengthDecode(const uint8_t* p, const uint8_t* limit, uint8_t* out,
                     size_t out_length);

}  // namespace tessera
