// Key builds: bringing a key's entries up to date from the data records, in
// key order through the key-build sort.
//
// Build of key k (the caller opened the table; a file not open for reading
// and writing gives 5, "Access Denied"; the build begins write intent):
//   1. Start S: 1 for a full build (FULLBUILD) or a dynamic index, else k's
//      rebuild point (0: nothing to do, result 0).
//   2. An index, or any key in a full build, first loses every entry whose
//      record number is S or more; C = the entries kept. Otherwise C = the
//      key's count. The counter is written at once as (C, S): from here on
//      the key reads as stale from S until the build ends.
//   3. Walk the data records [T, F3, N] from N = S in record-number order.
//      Each record not blank in an optional key, and accepted by the filter
//      when there is one, gives the sort one item: its encoded components
//      and N (keys.h MakeItem). Progress points fall where the count of
//      records walked before the current one has every bit of
//      M = 256 * progress_setting - 129 set.
//   4. Take the items in order and insert their entries. In a key without
//      duplicates, and in any key that is not an index, an entry whose key
//      already exists is skipped; when that entry belongs to another record
//      the new record is a duplicate and the lowest such number is D.
//      Entries of indexes with duplicates go in unchecked (step 2 cleared
//      their range).
//   5. Every kCommitDirtyPages dirty pages, the counter is written as
//      (C, min(D, S)) and the file committed, so memory stays bounded and an
//      interrupted build leaves the key stale from S. At the end the counter
//      becomes (C, D) -- 0 when no duplicate was met -- and the file is
//      committed. A dynamic index keeps its entries in memory: no commits,
//      no rebuild point.
//   6. Result: 40 ("Creates Duplicate Key") when D was met (the entries built
//      stay), 93 ("BUILD Cancelled") when the progress hook asked to cancel
//      (the key stays stale from S and the sort's temporary file is gone),
//      else 0.
//
// A build of all keys builds, in order, every key that is neither an index
// nor a dynamic index; it stops at a cancel or a failure of the file and
// otherwise goes on after a 40, keeping the first error. The collation record
// that FULLBUILD renews, the FULLBUILD setting itself, opening the table for
// the build and cutting the file for PACK are the table layer's.
//
// Invariants: a build never holds a record pointer across a call of the
// progress hook (the hook may let other work change the file); the sort is
// always ended (its temporary file deleted) before the build returns.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string_view>

#include "storage/env/env.h"
#include "storage/keys.h"
#include "storage/status.h"

namespace tessera {

// The progress hook of a build (the table asked for progress reports).
class BuildProgress {
 public:
  virtual ~BuildProgress() = default;
  // Called at each progress point with the share done, 0..100. Returning
  // true cancels the build (93). The hook may release the engine lock while
  // it waits for its window; to end the build through the internal-failure
  // path (a hook that finds its table no longer busy), it calls
  // RaiseInternalFailure.
  virtual bool Report(int percent) = 0;
};

// Turns a stored data record into the record buffer in place (the OEM
// strings of an OEM table back to ANSI).
using StoredToBuffer = std::function<void(std::span<uint8_t> buffer)>;
// Decides whether record N (its buffer) belongs in a dynamic index. It must
// not touch the table's file.
using RecordFilter = std::function<bool(std::span<const uint8_t> buffer, uint32_t n)>;

struct BuildOptions {
  bool full_build = false;  // the table's FULLBUILD setting
  // The table's progress setting (1..100) and hook; no reports while either
  // is missing.
  int progress_setting = 0;
  BuildProgress* progress = nullptr;
  StoredToBuffer to_buffer;  // none: stored records are buffers as they are
  Env* env = nullptr;        // for the sort's temporary file; none: default
};

inline constexpr size_t kCommitDirtyPages = 400;

// Builds key k (any kind; a dynamic index with the columns it was last
// built with, 76 when it never was).
Status BuildKey(TableKeys* keys, int k, const BuildOptions& options);
// Builds every key that is neither an index nor a dynamic index.
Status BuildAllKeys(TableKeys* keys, const BuildOptions& options);
// Defines dynamic index k by a component list over `fields`
// (ParseIndexComponents, 76) and builds it from the records `filter`
// accepts (none: all).
Status BuildDynamicIndex(TableKeys* keys, int k, std::string_view components,
                         std::span<const NamedField> fields, const RecordFilter& filter,
                         const BuildOptions& options);

// MulDiv as the progress figures use it: a * b / c rounded to nearest; 0
// when c is not positive.
int64_t MulDiv(int64_t a, int64_t b, int64_t c);

}  // namespace tessera
