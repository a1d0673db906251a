// Key builds; the steps and invariants are in key_build.h.
#include "storage/key_build.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "storage/cursor.h"
#include "storage/internal_failure.h"
#include "storage/key_codec.h"
#include "storage/key_sort.h"
#include "storage/record.h"
#include "storage/tree.h"
#include "storage/tsr_file.h"

namespace tessera {
namespace {

constexpr int kFailureDataLength = 3120;

using Bytes = std::span<const uint8_t>;

bool HasPrefix(const TsrRecord& r, const uint8_t* prefix, size_t n) {
  return r.key_size() >= n && std::memcmp(r.key().data(), prefix, n) == 0;
}

// One build of one key; see key_build.h for the steps.
class KeyBuild {
 public:
  KeyBuild(TableKeys* keys, int k, const BuildOptions& options, int position, int building)
      : keys_(keys),
        file_(keys->file()),
        k_(k),
        layout_(keys->layout(k)),
        options_(options),
        position_(position),
        building_(building) {}

  Status Run(const RecordFilter* filter);

 private:
  Status DeleteEntriesFrom(uint32_t start, int64_t* kept);
  Status Collect(KeySort* sort, const RecordFilter* filter);
  Status InsertSorted(KeySort* sort);
  // Counter (C, point) and a commit, for a key that lives in the file.
  Status Checkpoint(uint32_t point);
  bool ProgressDue(uint64_t walked) const;
  int Percent(uint64_t walked) const;

  TableKeys* keys_;
  TsrFile* file_;
  const int k_;
  const KeyLayout& layout_;
  const BuildOptions& options_;
  const int position_;  // among the keys being built, from 0
  const int building_;  // keys being built

  uint32_t start_ = 0;      // S
  int64_t built_ = 0;       // C
  uint32_t duplicate_ = 0;  // D, 0 for none
  int64_t expected_ = 0;    // records the walk is expected to visit
};

Status KeyBuild::Run(const RecordFilter* filter) {
  if (mode::Access(file_->open_mode()) != mode::kReadWrite) {
    return Status::Error(err::kAccessDenied, "Access Denied: the table is not open for writing");
  }
  Status s = file_->BeginWriteIntent();
  if (!s.ok()) return s;
  const bool dynamic = layout_.dynamic();
  KeyCounter counter;
  if (!dynamic) {
    s = keys_->ReadCounter(k_, &counter);
    if (!s.ok()) return s;
  }
  if (dynamic || options_.full_build) {
    start_ = 1;
  } else {
    start_ = counter.rebuild_point;
    if (start_ == 0) return Status::OK();  // complete
  }

  if (!dynamic && (layout_.index() || options_.full_build)) {
    s = DeleteEntriesFrom(start_, &built_);
    if (!s.ok()) return s;
  } else {
    built_ = dynamic ? 0 : counter.count;
  }
  if (!dynamic) {
    s = keys_->WriteCounter(k_, KeyCounter{static_cast<int32_t>(built_), start_});
    if (!s.ok()) return s;
  }

  int32_t records = 0;
  s = keys_->DataCount(&records);
  if (!s.ok()) return s;
  expected_ = int64_t{records} - built_;

  KeySort sort(options_.env ? options_.env : Env::Default(), keys_->components_size(k_) + 4);
  s = Collect(&sort, filter);
  if (s.ok()) s = InsertSorted(&sort);
  sort.End();  // the temporary file goes now, whatever happened
  if (!s.ok()) return s;

  if (dynamic) {
    s = keys_->WriteCounter(k_, KeyCounter{static_cast<int32_t>(built_), 0});
  } else {
    s = keys_->WriteCounter(k_, KeyCounter{static_cast<int32_t>(built_), duplicate_});
    if (s.ok()) s = file_->Commit();
  }
  if (!s.ok()) return s;
  if (duplicate_ != 0) {
    return Status::Error(err::kCreatesDuplicateKey,
                         "Creates Duplicate Key (key " + std::to_string(k_ + 1) +
                             ", record " + std::to_string(duplicate_) + ")");
  }
  return Status::OK();
}

// Deletes the key's entries of records `start` and above, from the last
// backwards: a cursor deleting backwards mostly stays within its page.
Status KeyBuild::DeleteEntriesFrom(uint32_t start, int64_t* kept) {
  *kept = 0;
  TsrTree* tree = keys_->TreeOf(k_);
  const auto prefix = keys_->Prefix(k_);
  std::array<uint8_t, TableKeys::kPrefixSize> bound = prefix;
  bound[4] += 1;  // k < 240: no carry
  KeyCounter counter;
  Status s = keys_->ReadCounter(k_, &counter);
  if (!s.ok()) return s;
  int64_t present = counter.count;

  TsrRecord* last = tree->Previous(bound);
  if (last == nullptr || !HasPrefix(*last, prefix.data(), prefix.size())) return Status::OK();
  TsrCursor cursor(tree);
  cursor.Set(*last);
  for (TsrRecord* r = cursor.Current();
       r != nullptr && HasPrefix(*r, prefix.data(), prefix.size());) {
    if (TableKeys::RecordNumberOf(*r) >= start) {
      cursor.Delete();
      --present;
      if (file_->cache().dirty_count() >= kCommitDirtyPages) {
        s = keys_->WriteCounter(k_, KeyCounter{static_cast<int32_t>(present), start});
        if (s.ok()) s = file_->Commit();
        if (!s.ok()) return s;
      }
      r = cursor.Current();
    } else {
      ++*kept;
      TsrRecord* before = tree->Previous(r->key());
      if (before == nullptr) break;
      cursor.Set(*before);
      r = cursor.Current();
    }
  }
  return Status::OK();
}

bool KeyBuild::ProgressDue(uint64_t walked) const {
  if (options_.progress == nullptr || options_.progress_setting <= 0) return false;
  const uint64_t mask = 256 * static_cast<uint64_t>(options_.progress_setting) - 129;
  return (walked & mask) == mask;
}

int KeyBuild::Percent(uint64_t walked) const {
  int64_t percent = MulDiv(position_, 100, building_);
  if (walked >= 1 && building_ <= 100) {
    percent += MulDiv(100, static_cast<int64_t>(walked), expected_ * building_);
  }
  return static_cast<int>(std::clamp<int64_t>(percent, 0, 100));
}

Status KeyBuild::Collect(KeySort* sort, const RecordFilter* filter) {
  TsrTree* data_tree = keys_->file_tree();
  uint8_t data_prefix[5];
  PutBigEndian32(data_prefix, keys_->table());
  data_prefix[4] = TableKeys::kDataKind;

  std::vector<uint8_t> buffer(keys_->record_length());
  std::vector<uint8_t> item(keys_->components_size(k_) + 4);
  uint8_t at[9];
  std::memcpy(at, data_prefix, 5);
  PutBigEndian32(at + 5, start_ - 1);  // the first record is above it

  uint64_t walked = 0;
  uint64_t reported = UINT64_MAX;
  for (TsrRecord* r = data_tree->Next(Bytes(at)); r != nullptr;) {
    if (r->key_size() != 9 || !HasPrefix(*r, data_prefix, 5)) break;
    if (ProgressDue(walked) && reported != walked) {
      reported = walked;
      std::memcpy(at, r->key().data(), 9);
      if (options_.progress->Report(Percent(walked))) {
        return Status::Error(err::kBuildCancelled, "BUILD Cancelled");
      }
      // Other work may have run meanwhile: find our place again.
      r = data_tree->Find(Bytes(at));
      if (r == nullptr) r = data_tree->Next(Bytes(at));
      continue;
    }
    const uint32_t n = GetBigEndian32(r->key().data() + 5);
    Check(r->data().size() == buffer.size(), kFailureDataLength);
    std::memcpy(buffer.data(), r->data().data(), buffer.size());
    if (options_.to_buffer) options_.to_buffer(buffer);
    if (keys_->MakeItem(k_, buffer, n, item.data()) &&
        (filter == nullptr || !*filter || (*filter)(buffer, n))) {
      Status s = sort->Add(item.data());
      if (!s.ok()) return s;
    }
    ++walked;
    r = data_tree->Next(*r);
  }
  return Status::OK();
}

Status KeyBuild::Checkpoint(uint32_t point) {
  Status s = keys_->WriteCounter(k_, KeyCounter{static_cast<int32_t>(built_), point});
  if (!s.ok()) return s;
  return file_->Commit();
}

Status KeyBuild::InsertSorted(KeySort* sort) {
  TsrTree* tree = keys_->TreeOf(k_);
  const bool check = !layout_.duplicates() || !layout_.index();
  const bool in_file = !layout_.dynamic();
  // When the build began by emptying the key, the only entry an item can
  // meet is the one of the group of equal items just before it, so the
  // check compares with that group instead of searching the tree. (With
  // duplicates the key holds N: no two items can meet at all.)
  const bool emptied = !in_file || (start_ == 1 && (layout_.index() || options_.full_build));
  const size_t width = keys_->components_size(k_);
  std::vector<uint8_t> item(sort->item_size());
  std::vector<uint8_t> group(width);  // components of the group before
  uint32_t group_n = 0;               // its first record, 0 for none
  TableKeys::Entry entry;
  for (;;) {
    bool taken = false;
    Status s = sort->Take(item.data(), &taken);
    if (!s.ok()) return s;
    if (!taken) return Status::OK();
    keys_->EntryFromItem(k_, item.data(), &entry);
    const uint32_t n = GetBigEndian32(item.data() + item.size() - 4);
    if (check) {
      uint32_t existing = 0;
      if (!emptied) {
        if (TsrRecord* r = tree->Find(entry.key)) existing = TableKeys::RecordNumberOf(*r);
      } else if (!layout_.duplicates()) {
        if (group_n != 0 && std::memcmp(group.data(), item.data(), width) == 0) {
          existing = group_n;
        } else {
          std::memcpy(group.data(), item.data(), width);
          group_n = n;
        }
      }
      if (existing != 0) {
        if (existing != n) duplicate_ = duplicate_ == 0 ? n : std::min(duplicate_, n);
        continue;
      }
    }
    s = tree->Insert(std::make_unique<TsrRecord>(entry.key, entry.data));
    if (!s.ok()) return s;
    ++built_;
    if (in_file && file_->cache().dirty_count() >= kCommitDirtyPages) {
      s = Checkpoint(duplicate_ == 0 ? start_ : std::min(duplicate_, start_));
      if (!s.ok()) return s;
    }
  }
}

Status RunGuarded(TableKeys* keys, int k, const BuildOptions& options, int position,
                  int building, const RecordFilter* filter) {
  return keys->file()->Guard([&] {
    KeyBuild build(keys, k, options, position, building);
    return build.Run(filter);
  });
}

}  // namespace

int64_t MulDiv(int64_t a, int64_t b, int64_t c) {
  if (c <= 0) return 0;
  const int64_t product = a * b;
  return product >= 0 ? (product + c / 2) / c : -((-product + c / 2) / c);
}

Status BuildKey(TableKeys* keys, int k, const BuildOptions& options) {
  if (keys->layout(k).dynamic() && !keys->defined(k)) {
    return Status::Error(err::kInvalidIndexString,
                         "Invalid Index String: the dynamic index has no components");
  }
  if (keys->layout(k).dynamic()) {
    keys->ResetDynamic(k, keys->layout(k).columns);
  }
  return RunGuarded(keys, k, options, 0, 1, nullptr);
}

Status BuildAllKeys(TableKeys* keys, const BuildOptions& options) {
  std::vector<int> building;
  for (int k = 0; k < keys->key_count(); ++k) {
    const KeyLayout& layout = keys->layout(k);
    if (!layout.index() && !layout.dynamic()) building.push_back(k);
  }
  Status first;
  for (size_t i = 0; i < building.size(); ++i) {
    Status s = RunGuarded(keys, building[i], options, static_cast<int>(i),
                          static_cast<int>(building.size()), nullptr);
    if (s.ok()) continue;
    if (first.ok()) first = s;
    if (s.code() != err::kCreatesDuplicateKey) break;
  }
  return first;
}

Status BuildDynamicIndex(TableKeys* keys, int k, std::string_view components,
                         std::span<const NamedField> fields, const RecordFilter& filter,
                         const BuildOptions& options) {
  if (!keys->layout(k).dynamic()) {
    return Status::Error(err::kInvalidIndexString,
                         "Invalid Index String: key " + std::to_string(k + 1) +
                             " is not a dynamic index");
  }
  std::vector<KeyColumn> columns;
  Status s = ParseIndexComponents(components, fields, &columns);
  if (!s.ok()) return s;
  size_t width = 0;
  for (const KeyColumn& c : columns) width += c.size;
  if (width > kMaxKeyComponentsSize) {
    return Status::Error(err::kInvalidIndexString,
                         "Invalid Index String: the components are more than " +
                             std::to_string(kMaxKeyComponentsSize) + " bytes long");
  }
  keys->ResetDynamic(k, std::move(columns));
  return RunGuarded(keys, k, options, 0, 1, &filter);
}

}  // namespace tessera
