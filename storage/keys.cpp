// Key entries and their maintenance; the layout and invariants are in keys.h.
#include "storage/keys.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "storage/collation.h"
#include "storage/cursor.h"
#include "storage/internal_failure.h"
#include "storage/key_codec.h"
#include "storage/memory_page_store.h"
#include "storage/page.h"
#include "storage/record.h"
#include "storage/tree.h"
#include "storage/tsr_file.h"

namespace tessera {
namespace {

constexpr int kFailureShortRecord = 3101;
constexpr int kFailureBadCounter = 3102;
constexpr int kFailureNoSuchKey = 3103;
constexpr int kFailureRevert = 3104;
constexpr int kFailureShortEntry = 3105;

constexpr size_t kCounterDataSize = 8;

using Bytes = std::span<const uint8_t>;

void PutLittleEndian32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

uint32_t GetLittleEndian32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) |
         (uint32_t{p[3]} << 24);
}

// A rebuild point of 0 counts as above every record number.
bool Below(uint32_t n, uint32_t rebuild_point) {
  return rebuild_point == 0 || n < rebuild_point;
}

Status DuplicateKey(int k) {
  return Status::Error(err::kCreatesDuplicateKey,
                       "Creates Duplicate Key (key " + std::to_string(k + 1) + ")");
}

bool NameEquals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) !=
        std::toupper(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

// The counter record under its cursor. A cursor whose record was deleted
// through another cursor stays on the page standing on nothing; the record
// may have been written again since (a table emptied), so look once more.
TsrRecord* CounterRecord(TsrCursor* cursor) {
  if (TsrRecord* r = cursor->Current()) return r;
  const std::vector<uint8_t> key(cursor->key().begin(), cursor->key().end());
  cursor->Set(key);
  return cursor->Current();
}

}  // namespace

Status ParseIndexComponents(std::string_view text, std::span<const NamedField> fields,
                            std::vector<KeyColumn>* out) {
  out->clear();
  auto invalid = [&](std::string_view what) {
    out->clear();
    return Status::Error(err::kInvalidIndexString,
                         "Invalid Index String: " + std::string(what));
  };
  if (text.empty()) return invalid("no components");
  size_t at = 0;
  for (;;) {
    while (at < text.size() && text[at] == ' ') ++at;
    bool descending = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
      descending = text[at] == '-';
      ++at;
    }
    const size_t comma = text.find(',', at);
    const std::string_view name =
        text.substr(at, comma == std::string_view::npos ? std::string_view::npos : comma - at);
    auto match = std::find_if(fields.begin(), fields.end(),
                              [&](const NamedField& f) { return NameEquals(f.name, name); });
    if (match == fields.end()) return invalid(name.empty() ? "empty name" : name);
    KeyColumn column = match->column;
    column.descending = descending;
    out->push_back(column);
    if (comma == std::string_view::npos) return Status::OK();
    at = comma + 1;
  }
}

// --- per-key state -------------------------------------------------------------

struct TableKeys::KeyState {
  KeyLayout layout;
  std::vector<CodecComponent> codec;  // the columns as the codec takes them
  StringTreatment strings;
  size_t width = 0;  // components size

  // A dynamic index's own tree in memory (destroyed in reverse order:
  // cursor, tree, pages).
  std::unique_ptr<MemoryPageStore> memory;
  std::unique_ptr<TsrTree> memory_tree;
  // Kept on the counter record so that counts change in place cheaply.
  std::unique_ptr<TsrCursor> counter;

  bool defined() const { return !layout.dynamic() || memory_tree != nullptr; }

  void SetColumns(std::vector<KeyColumn> columns) {
    layout.columns = std::move(columns);
    codec.clear();
    for (const KeyColumn& c : layout.columns) {
      codec.push_back(CodecComponent{c.type, c.offset, c.size, c.descending});
    }
    width = ComponentsSize(codec);
  }
};

struct TableKeys::Journal {
  enum class Kind { kInserted, kDeleted, kCounter };
  struct Step {
    Kind kind;
    int key;
    Entry entry;  // kInserted: its key; kDeleted: key and data
    KeyCounter counter;  // kCounter: the value before
  };
  std::vector<Step> steps;
};

TableKeys::TableKeys(TsrFile* file, uint32_t table, uint32_t record_length,
                     std::vector<KeyLayout> keys, KeyStrings strings)
    : file_(file),
      table_(table),
      record_length_(record_length),
      strings_(strings),
      tree_(std::make_unique<TsrTree>(file)) {
  const CollationTables* tables = strings.tables ? strings.tables : &PlatformCollation();
  for (KeyLayout& layout : keys) {
    auto state = std::make_unique<KeyState>();
    state->layout.attributes = layout.attributes;
    state->SetColumns(std::move(layout.columns));
    state->strings = StringTreatment{tables, layout.case_insensitive(), strings.oem};
    keys_.push_back(std::move(state));
  }
  for (int k = 0; k < key_count(); ++k) {
    keys_[k]->counter = std::make_unique<TsrCursor>(tree_.get());
    std::vector<uint8_t> key(6);
    PutBigEndian32(key.data(), table_);
    key[4] = kCounterKind;
    key[5] = static_cast<uint8_t>(k);
    keys_[k]->counter->Set(key);
  }
}

TableKeys::~TableKeys() = default;

TableKeys::KeyState& TableKeys::state(int k) const {
  Check(k >= 0 && k < key_count(), kFailureNoSuchKey);
  return *keys_[k];
}

const KeyLayout& TableKeys::layout(int k) const { return state(k).layout; }
size_t TableKeys::components_size(int k) const { return state(k).width; }
bool TableKeys::defined(int k) const { return state(k).defined(); }

TsrTree* TableKeys::TreeOf(int k) {
  KeyState& s = state(k);
  return s.layout.dynamic() ? s.memory_tree.get() : tree_.get();
}

std::array<uint8_t, TableKeys::kPrefixSize> TableKeys::Prefix(int k) const {
  std::array<uint8_t, kPrefixSize> p{};
  PutBigEndian32(p.data(), table_);
  p[4] = static_cast<uint8_t>(k);
  return p;
}

uint32_t TableKeys::RecordNumberOf(const TsrRecord& entry) {
  Bytes all = entry.bytes();
  Check(all.size() >= kPrefixSize + 4, kFailureShortEntry);
  return GetBigEndian32(all.data() + all.size() - 4);
}

void TableKeys::ResetDynamic(int k, std::vector<KeyColumn> columns) {
  KeyState& s = state(k);
  s.counter.reset();
  s.memory_tree.reset();
  s.memory.reset();
  s.SetColumns(std::move(columns));
  s.memory = std::make_unique<MemoryPageStore>();
  s.memory_tree = std::make_unique<TsrTree>(s.memory.get());
  std::vector<uint8_t> key(6);
  PutBigEndian32(key.data(), table_);
  key[4] = kCounterKind;
  key[5] = static_cast<uint8_t>(k);
  uint8_t data[kCounterDataSize] = {};
  Status st = s.memory_tree->Insert(std::make_unique<TsrRecord>(key, Bytes(data)));
  Check(st.ok(), kFailureBadCounter);  // an empty tree takes a 14-byte record
  s.counter = std::make_unique<TsrCursor>(s.memory_tree.get());
  s.counter->Set(key);
}

// --- counters ------------------------------------------------------------------

Status TableKeys::CreateCounters() {
  return file_->Guard([&]() -> Status {
    uint8_t data[kCounterDataSize] = {};
    for (int k = 0; k < key_count(); ++k) {
      if (state(k).layout.dynamic()) continue;
      Status s = tree_->Insert(
          std::make_unique<TsrRecord>(state(k).counter->key(), Bytes(data)));
      if (!s.ok()) return s;
    }
    return Status::OK();
  });
}

Status TableKeys::ReadCounterIn(int k, KeyCounter* out) {
  KeyState& s = state(k);
  if (s.counter == nullptr) {  // a dynamic index never built
    *out = KeyCounter{};
    return Status::OK();
  }
  TsrRecord* r = CounterRecord(s.counter.get());
  if (r == nullptr) {
    return Status::Error(err::kAccessDenied,
                         "counter record of key " + std::to_string(k + 1) + " is missing");
  }
  Check(r->data().size() == kCounterDataSize, kFailureBadCounter);
  out->count = static_cast<int32_t>(GetLittleEndian32(r->data().data()));
  out->rebuild_point = GetLittleEndian32(r->data().data() + 4);
  return Status::OK();
}

Status TableKeys::WriteCounterIn(int k, const KeyCounter& counter) {
  KeyState& s = state(k);
  Check(s.counter != nullptr, kFailureBadCounter);
  TsrRecord* r = CounterRecord(s.counter.get());
  if (r == nullptr) {
    return Status::Error(err::kAccessDenied,
                         "counter record of key " + std::to_string(k + 1) + " is missing");
  }
  Check(r->data().size() == kCounterDataSize, kFailureBadCounter);
  // The counter keeps its length, so it is rewritten where it stands: the
  // bytes belong to the record object (never const), and marking the page
  // dirty makes the next commit encode it again.
  uint8_t* p = const_cast<uint8_t*>(r->data().data());
  PutLittleEndian32(p, static_cast<uint32_t>(counter.count));
  PutLittleEndian32(p + 4, counter.rebuild_point);
  TsrTree* tree = s.counter->tree();
  Check(tree->store()->InWriteIntent(), kFailureBadCounter);
  tree->Touch(s.counter->page());
  return Status::OK();
}

Status TableKeys::ReadCounter(int k, KeyCounter* out) {
  return file_->Guard([&] { return ReadCounterIn(k, out); });
}

Status TableKeys::WriteCounter(int k, const KeyCounter& counter) {
  return file_->Guard([&] { return WriteCounterIn(k, counter); });
}

Status TableKeys::Count(int k, int32_t* count) {
  KeyCounter c;
  Status s = ReadCounter(k, &c);
  *count = c.count;
  return s;
}

Status TableKeys::DataCount(int32_t* count) {
  *count = 0;
  return file_->Guard([&]() -> Status {
    uint8_t key[6];
    PutBigEndian32(key, table_);
    key[4] = kCounterKind;
    key[5] = kDataKind;
    TsrRecord* r = tree_->Find(Bytes(key));
    if (r == nullptr) {
      return Status::Error(err::kAccessDenied, "counter record of the data records is missing");
    }
    Check(r->data().size() == kCounterDataSize, kFailureBadCounter);
    *count = static_cast<int32_t>(GetLittleEndian32(r->data().data()));
    return Status::OK();
  });
}

// --- entries -------------------------------------------------------------------

bool TableKeys::MakeItem(int k, Bytes record, uint32_t n, uint8_t* item) const {
  const KeyState& s = state(k);
  if (s.layout.optional() && AllComponentsBlank(s.codec, record)) return false;
  Check(EncodeComponents(s.codec, s.strings, record, std::span<uint8_t>(item, s.width)),
        kFailureShortRecord);
  PutBigEndian32(item + s.width, n);
  return true;
}

void TableKeys::EntryFromItem(int k, const uint8_t* item, Entry* out) const {
  const KeyState& s = state(k);
  const size_t key_size = kPrefixSize + s.width + (s.layout.duplicates() ? 4 : 0);
  out->key.resize(key_size);
  PutBigEndian32(out->key.data(), table_);
  out->key[4] = static_cast<uint8_t>(k);
  std::memcpy(out->key.data() + kPrefixSize, item, key_size - kPrefixSize);
  if (s.layout.duplicates()) {
    out->data.clear();
  } else {
    out->data.assign(item + s.width, item + s.width + 4);
  }
}

bool TableKeys::MakeEntry(int k, Bytes record, uint32_t n, Entry* out) const {
  const KeyState& s = state(k);
  std::vector<uint8_t> item(s.width + 4);
  if (!MakeItem(k, record, n, item.data())) return false;
  EntryFromItem(k, item.data(), out);
  return true;
}

Status TableKeys::Update(Bytes new_record, Bytes old_record, uint32_t n, bool defer_all) {
  return file_->Guard([&]() -> Status {
    Journal journal;
    for (int k = 0; k < key_count(); ++k) {
      if (state(k).layout.dynamic()) continue;
      Status s = UpdateKey(k, new_record, old_record, n, defer_all, &journal);
      if (!s.ok()) {
        Revert(&journal);
        return s;
      }
    }
    return Status::OK();
  });
}

Status TableKeys::RemoveEntries(Bytes old_record, uint32_t n) {
  return file_->Guard([&]() -> Status {
    Status first;
    for (int k = 0; k < key_count(); ++k) {
      if (state(k).layout.dynamic()) continue;
      Journal journal;  // a single key's delete has nothing to undo
      Status s = UpdateKey(k, {}, old_record, n, false, &journal);
      if (!s.ok() && first.ok()) first = s;
    }
    return first;
  });
}

Status TableKeys::UpdateKey(int k, Bytes new_record, Bytes old_record, uint32_t n,
                            bool defer_all, Journal* journal) {
  const KeyState& s = state(k);
  KeyCounter counter;
  Status st = ReadCounterIn(k, &counter);
  if (!st.ok()) return st;
  const bool deferred = s.layout.index() || defer_all;
  if (deferred && !Below(n, counter.rebuild_point)) return Status::OK();

  Entry made_new, made_old;
  const bool has_new = !new_record.empty() && MakeEntry(k, new_record, n, &made_new);
  const bool has_old = !old_record.empty() && MakeEntry(k, old_record, n, &made_old);
  if (has_new && has_old && made_new.key == made_old.key) return Status::OK();

  if (deferred) {
    journal->steps.push_back({Journal::Kind::kCounter, k, {}, counter});
    counter.rebuild_point = n;  // below the old point (step above)
    return WriteCounterIn(k, counter);
  }

  int delta = 0;
  if (has_new) {
    if (!s.layout.duplicates() && tree_->Find(made_new.key) != nullptr) {
      return DuplicateKey(k);
    }
    st = tree_->Insert(std::make_unique<TsrRecord>(made_new.key, made_new.data));
    if (!st.ok()) return st;
    journal->steps.push_back({Journal::Kind::kInserted, k, {made_new.key, {}}, {}});
    ++delta;
  }
  if (has_old) {
    // Only the record's own entry goes: after an append the entry may not
    // exist yet, and in a key without duplicates the equal key may belong to
    // another record.
    TsrRecord* r = tree_->Find(made_old.key);
    if (r != nullptr && RecordNumberOf(*r) == n) {
      journal->steps.push_back({Journal::Kind::kDeleted, k, std::move(made_old), {}});
      tree_->Delete(r);
      --delta;
    }
  }
  if (delta == 0) return Status::OK();
  journal->steps.push_back({Journal::Kind::kCounter, k, {}, counter});
  counter.count += delta;
  return WriteCounterIn(k, counter);
}

void TableKeys::Revert(Journal* journal) {
  for (auto it = journal->steps.rbegin(); it != journal->steps.rend(); ++it) {
    switch (it->kind) {
      case Journal::Kind::kInserted: {
        TsrRecord* r = tree_->Find(it->entry.key);
        Check(r != nullptr, kFailureRevert);
        tree_->Delete(r);
        break;
      }
      case Journal::Kind::kDeleted: {
        Status s = tree_->Insert(std::make_unique<TsrRecord>(it->entry.key, it->entry.data));
        Check(s.ok(), kFailureRevert);  // it fitted a moment ago
        break;
      }
      case Journal::Kind::kCounter: {
        Status s = WriteCounterIn(it->key, it->counter);
        Check(s.ok(), kFailureRevert);  // it was read a moment ago
        break;
      }
    }
  }
  journal->steps.clear();
}

// --- finds -----------------------------------------------------------------------

std::vector<uint8_t> TableKeys::ProbeKey(int k, Bytes record) const {
  const KeyState& s = state(k);
  if (!s.defined()) return {};
  std::vector<uint8_t> item(s.width + 4);
  Check(EncodeComponents(s.codec, s.strings, record, std::span<uint8_t>(item.data(), s.width)),
        kFailureShortRecord);
  Entry probe;
  EntryFromItem(k, item.data(), &probe);  // N = 0: before every real entry
  return std::move(probe.key);
}

Status TableKeys::FindByKey(int k, Bytes record, uint32_t* n, bool* found) {
  *found = false;
  *n = 0;
  return file_->Guard([&]() -> Status {
    const KeyState& s = state(k);
    if (!s.defined()) return Status::OK();
    Entry probe;
    probe.key = ProbeKey(k, record);
    TsrTree* tree = TreeOf(k);
    TsrRecord* r = nullptr;
    if (!s.layout.duplicates()) {
      r = tree->Find(probe.key);
    } else {
      r = tree->Next(probe.key);
      const size_t compared = probe.key.size() - 4;
      if (r != nullptr && (r->key_size() != probe.key.size() ||
                           std::memcmp(r->key().data(), probe.key.data(), compared) != 0)) {
        r = nullptr;
      }
    }
    if (r != nullptr) {
      *found = true;
      *n = RecordNumberOf(*r);
    }
    return Status::OK();
  });
}

Status TableKeys::FindByPosition(int k, uint32_t n, Bytes components, bool* found) {
  *found = false;
  return file_->Guard([&]() -> Status {
    const KeyState& s = state(k);
    if (!s.defined() || components.size() != s.width) return Status::OK();
    std::vector<uint8_t> item(components.begin(), components.end());
    item.resize(s.width + 4);
    PutBigEndian32(item.data() + s.width, n);
    Entry probe;
    EntryFromItem(k, item.data(), &probe);
    TsrRecord* r = TreeOf(k)->Find(probe.key);
    *found = r != nullptr && RecordNumberOf(*r) == n;
    return Status::OK();
  });
}

Status TableKeys::WouldDuplicate(int k, Bytes record, std::optional<uint32_t> n,
                                 bool* duplicate) {
  *duplicate = false;
  return file_->Guard([&]() -> Status {
    const KeyState& s = state(k);
    if (!s.defined() || s.layout.duplicates()) return Status::OK();
    Entry entry;
    if (!MakeEntry(k, record, n.value_or(0), &entry)) return Status::OK();
    TsrRecord* r = TreeOf(k)->Find(entry.key);
    *duplicate = r != nullptr && (!n.has_value() || RecordNumberOf(*r) != *n);
    return Status::OK();
  });
}

Status TableKeys::WouldDuplicate(Bytes record, std::optional<uint32_t> n, int* key) {
  *key = -1;
  for (int k = 0; k < key_count(); ++k) {
    bool duplicate = false;
    Status s = WouldDuplicate(k, record, n, &duplicate);
    if (!s.ok()) return s;
    if (duplicate) {
      *key = k;
      return Status::OK();
    }
  }
  return Status::OK();
}

Status TableKeys::Walk(int k, const std::function<void(uint32_t, Bytes)>& visit) {
  return file_->Guard([&]() -> Status {
    const KeyState& s = state(k);
    if (!s.defined()) return Status::OK();
    const auto prefix = Prefix(k);
    TsrTree* tree = TreeOf(k);
    for (TsrRecord* r = tree->Next(prefix); r != nullptr; r = tree->Next(*r)) {
      if (r->key_size() < kPrefixSize ||
          std::memcmp(r->key().data(), prefix.data(), kPrefixSize) != 0) {
        break;
      }
      Check(r->size() >= kPrefixSize + s.width + 4, kFailureShortEntry);
      visit(RecordNumberOf(*r), r->key().subspan(kPrefixSize, s.width));
    }
    return Status::OK();
  });
}

}  // namespace tessera
