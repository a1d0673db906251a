#include "tools/tsr/checker.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <span>

#include "storage/collation.h"
#include "storage/definition.h"
#include "storage/internal_failure.h"
#include "storage/key_maintainer.h"
#include "storage/keys.h"
#include "storage/page.h"
#include "storage/record.h"
#include "storage/table.h"
#include "storage/tsr_file.h"
#include "storage/zones.h"

namespace tsr {

using tessera::FileHeader;
using tessera::Status;
using tessera::TsrFile;
using tessera::TsrPage;
using Bytes = std::span<const uint8_t>;

namespace {

constexpr int kMaxTreeDepth = 64;
constexpr size_t kListLimit = 5;  // problems of one kind listed in full

uint32_t BigEndian32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}
uint32_t Little32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
bool Equal(Bytes a, Bytes b) { return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin()); }

// Collects problems; a kind of problem that repeats is listed kListLimit
// times and then counted.
class Problems {
 public:
  explicit Problems(CheckReport* report) : report_(report) {}
  ~Problems() {
    for (const auto& [kind, n] : counts_) {
      if (n > kListLimit) {
        report_->problems.push_back(kind + ": " + std::to_string(n - kListLimit) +
                                    " more like the above");
      }
    }
  }
  void Add(const std::string& kind, const std::string& text) {
    if (++counts_[kind] <= kListLimit) report_->problems.push_back(text);
  }
  void Add(const std::string& text) { report_->problems.push_back(text); }
  void Note(const std::string& text) { report_->notes.push_back(text); }

 private:
  CheckReport* report_;
  std::map<std::string, size_t> counts_;
};

struct Rec {
  Bytes key, data;
};

// Steps 1-3: header, zones, blocks, tree.
class TreeCheck {
 public:
  TreeCheck(TsrFile* file, Problems* p) : file_(file), p_(p) {}

  void Run() {
    const FileHeader& h = file_->header();
    const uint64_t size = file_->Size();
    if (size == 0) {
      // The engine takes an empty file for a new one, but a file the
      // program made always has its header: this one lost everything.
      p_->Add("the file is empty (0 bytes): it has no header and holds no tables");
      return;
    }
    if (h.header_size != tessera::kHeaderSize) {
      p_->Add("header: header size is " + std::to_string(h.header_size) + ", not 512");
    }
    if (h.log_start != h.log_end) {
      p_->Note("a commit log is pending (offsets " + std::to_string(h.log_start) + " to " +
               std::to_string(h.log_end) + "); the next writer recovers it");
    }
    bool zones_sound = true;
    for (int z = 1; z <= tessera::kMaxZone; ++z) {
      const int32_t s = h.zone_start[z], e = h.zone_end[z];
      if (s < 0 || e < s) {
        p_->Add("header: zone " + std::to_string(z) + " runs from unit " + std::to_string(s) +
                " to " + std::to_string(e));
        zones_sound = false;
        continue;
      }
      if ((e - s) % z != 0) {
        p_->Add("header: zone " + std::to_string(z) + " (" + std::to_string(e - s) +
                " units) is not a whole number of blocks");
        zones_sound = false;
      }
      if (z < tessera::kMaxZone && e > h.zone_start[z + 1] && h.zone_start[z + 1] >= 0) {
        p_->Add("header: zone " + std::to_string(z) + " overlaps zone " + std::to_string(z + 1));
        zones_sound = false;
      }
      valid_zone_[z] = true;
    }
    const int64_t end = h.EndOfData();
    if (zones_sound && end > static_cast<int64_t>(size)) {
      p_->Add("the file is truncated: its data ends at byte " + std::to_string(end) +
              " but the file has " + std::to_string(size) + " bytes");
    }
    ReadBlocks(size);
    if (h.root_unit < 0) {
      if (!blocks_.empty()) p_->Add("header: the root unit is " + std::to_string(h.root_unit));
      return;
    }
    if (!pages_.count(h.root_unit)) {
      if (!bad_units_.count(h.root_unit)) {
        p_->Add("header: root unit " + std::to_string(h.root_unit) + " is not a block of the file");
      }
      return;
    }
    static const std::vector<uint8_t> empty;
    Visit(h.root_unit, -1, empty, nullptr, 0, -1);
    for (int32_t unit : blocks_) {
      if (!visited_.count(unit) && pages_.count(unit)) {
        p_->Add("orphan block", "block at unit " + std::to_string(unit) + " is not part of the tree");
      }
    }
  }

  std::vector<Rec>& records() { return records_; }

 private:
  void ReadBlocks(uint64_t size) {
    const FileHeader& h = file_->header();
    for (int z = 1; z <= tessera::kMaxZone; ++z) {
      if (!valid_zone_[z]) continue;
      const size_t length = size_t{static_cast<size_t>(z)} * tessera::kUnitSize;
      for (int64_t u = h.zone_start[z]; u + z <= h.zone_end[z]; u += z) {
        const int32_t unit = static_cast<int32_t>(u);
        const int64_t offset = tessera::UnitOffset(unit);
        // A pending commit log holds the current copy of some blocks: read
        // those where the log keeps them, as every reader of the file does.
        auto logged = file_->log_map().find(offset);
        const int64_t at = logged == file_->log_map().end() ? offset : logged->second;
        if (at + static_cast<int64_t>(length) > static_cast<int64_t>(size)) {
          // Everything from here to the zone's end is missing: say so once
          // (a damaged zone table may claim billions of units).
          const int64_t missing = (h.zone_end[z] - u) / z;
          p_->Add("missing block", "zone " + std::to_string(z) + ": " + std::to_string(missing) +
                                       " block(s) from unit " + std::to_string(unit) +
                                       " on lie beyond the end of the file");
          for (int64_t m = u; m + z <= h.zone_end[z] && m < u + 4096 * int64_t{z}; m += z) {
            bad_units_.insert(static_cast<int32_t>(m));
          }
          break;
        }
        blocks_.push_back(unit);
        std::vector<uint8_t> block(length);
        try {
          const size_t got = file_->ReadBlock(at, block.data(), length);
          if (got != length) {
            p_->Add("missing block", "block at unit " + std::to_string(unit) + " reads short");
            bad_units_.insert(unit);
            continue;
          }
          const uint32_t own = Little32(block.data());
          if (own != static_cast<uint64_t>(offset)) {
            p_->Add("bad block", "block at unit " + std::to_string(unit) + " says it belongs at byte " +
                                     std::to_string(own) + ", not " + std::to_string(offset));
            bad_units_.insert(unit);
            continue;
          }
          const uint16_t stored = tessera::BlockStoredLength(block);
          if (tessera::Zones::ClassOf(stored) != z) {
            p_->Add("bad block", "block at unit " + std::to_string(unit) + " has stored length " +
                                     std::to_string(stored) + ", which does not fit zone " +
                                     std::to_string(z));
            bad_units_.insert(unit);
            continue;
          }
          pages_[unit] = TsrPage::Decode(unit, block, file_->Sentinel());
        } catch (const tessera::InternalFailure& f) {
          p_->Add("bad block", "block at unit " + std::to_string(unit) + " does not decode (failure " +
                                   std::to_string(f.number()) + ")");
          bad_units_.insert(unit);
        }
      }
    }
  }

  void Visit(int32_t unit, int level, Bytes first_key, const Bytes* high, int depth,
             int32_t parent) {
    const std::string where = "page at unit " + std::to_string(unit);
    auto it = pages_.find(unit);
    if (it == pages_.end()) {
      if (!bad_units_.count(unit)) {
        p_->Add("dangling child", "page at unit " + std::to_string(parent) + " names child unit " +
                                      std::to_string(unit) + ", which is no block of the file");
      }
      return;
    }
    if (!visited_.insert(unit).second) {
      p_->Add("shared page", where + " is reached twice in the tree");
      return;
    }
    TsrPage* page = it->second.get();
    if (depth > kMaxTreeDepth) {
      p_->Add(where + " lies deeper than " + std::to_string(kMaxTreeDepth) + " levels");
      return;
    }
    if (level >= 0 && page->level != level) {
      p_->Add("bad level", where + " is at level " + std::to_string(page->level) +
                               ", its parent expects " + std::to_string(level));
      return;
    }
    const std::vector<tessera::TsrRecord*> recs = page->Records();
    if (recs.empty()) {
      p_->Add("empty page", where + " holds no records");
      return;
    }
    if (!Equal(recs.front()->key(), first_key)) {
      p_->Add("separator", "separator of " + where + " differs from the page's first key");
    }
    for (size_t i = 0; i < recs.size(); ++i) {
      const Bytes key = recs[i]->key();
      if (i > 0 && tessera::CompareKeys(recs[i - 1]->key(), key) >= 0) {
        p_->Add("order", "records out of order in " + where);
      }
      if (high != nullptr && tessera::CompareKeys(key, *high) >= 0) {
        p_->Add("order", where + " holds a key beyond its parent's next separator");
      }
    }
    if (page->level == 0) {
      for (tessera::TsrRecord* r : recs) {
        if (r->size() == 0 && records_.empty() && !seen_smallest_) {
          seen_smallest_ = true;  // the tree's empty smallest record
          continue;
        }
        if (!records_.empty() && tessera::CompareKeys(records_.back().key, r->key()) >= 0) {
          p_->Add("order", "records out of order across leaves at " + where);
        }
        records_.push_back({r->key(), r->data()});
      }
      return;
    }
    for (size_t i = 0; i < recs.size(); ++i) {
      const Bytes next = i + 1 < recs.size() ? recs[i + 1]->key() : Bytes();
      Visit(recs[i]->child, page->level - 1, recs[i]->key(),
            i + 1 < recs.size() ? &next : high, depth + 1, unit);
    }
  }

  TsrFile* file_;
  Problems* p_;
  bool valid_zone_[tessera::kZoneCount] = {};
  std::vector<int32_t> blocks_;
  std::set<int32_t> bad_units_, visited_;
  std::map<int32_t, std::unique_ptr<TsrPage>> pages_;
  std::vector<Rec> records_;
  bool seen_smallest_ = false;
};

struct TableRecords {
  std::map<uint32_t, Bytes> data;                  // N -> record
  std::map<uint8_t, Bytes> counters;               // index -> counter data
  std::map<uint16_t, Bytes> definition;            // block -> bytes
  std::optional<Bytes> collation;
  std::map<std::pair<uint32_t, uint8_t>, std::vector<std::pair<uint16_t, Bytes>>> memos;
  std::map<uint8_t, std::vector<Rec>> entries;     // key -> entries
  bool any = false;
};

uint32_t EntryRecord(const Rec& e) {
  if (e.data.size() >= 4) return BigEndian32(e.data.data() + e.data.size() - 4);
  if (e.key.size() >= 4) return BigEndian32(e.key.data() + e.key.size() - 4);
  return 0;
}

void ToAnsi(const tessera::TableDefinition& d, std::span<uint8_t> buffer) {
  namespace ft = tessera::field_type;
  for (const auto& f : d.fields) {
    if (f.over || (f.type != ft::kString && f.type != ft::kCString && f.type != ft::kPString)) continue;
    if (f.offset + f.size <= buffer.size()) tessera::OemToAnsi(buffer.subspan(f.offset, f.size));
  }
}

// Step 4.
class RecordCheck {
 public:
  RecordCheck(TsrFile* file, Problems* p) : file_(file), p_(p) {}

  void Run(const std::vector<Rec>& records) {
    const uint32_t sequence = file_->header().SequenceValue();
    std::map<uint32_t, std::string> names;
    std::map<uint32_t, TableRecords> tables;
    for (const Rec& r : records) {
      if (!r.key.empty() && r.key[0] == tessera::kNameKind) {
        const std::string name(r.key.begin() + 1, r.key.end());
        if (r.data.size() != 4) {
          p_->Add("name", "table name " + name + ": its record does not hold a table number");
          continue;
        }
        const uint32_t t = BigEndian32(r.data.data());
        if (names.count(t)) p_->Add("name", "table number " + std::to_string(t) + " has two names");
        names[t] = name;
        continue;
      }
      if (!r.key.empty() && r.key[0] == 0xFF) continue;  // multi-file transaction mark
      if (r.key.size() < 5) {
        p_->Add("short key", "a record with a key of " + std::to_string(r.key.size()) +
                                 " bytes belongs to no table");
        continue;
      }
      const uint32_t t = BigEndian32(r.key.data());
      TableRecords& tr = tables[t];
      tr.any = true;
      const uint8_t kind = r.key[4];
      const std::string in = " of table number " + std::to_string(t);
      auto bad = [&](const char* what) { p_->Add("bad record", std::string(what) + in + " has a malformed key"); };
      if (kind == tessera::kDataKind) {
        if (r.key.size() != 9) { bad("a data record"); continue; }
        tr.data[BigEndian32(r.key.data() + 5)] = r.data;
      } else if (kind == tessera::kCounterKind) {
        if (r.key.size() != 6) { bad("a counter"); continue; }
        tr.counters[r.key[5]] = r.data;
      } else if (kind == tessera::kDefinitionKind) {
        if (r.key.size() != 7) { bad("a definition block"); continue; }
        tr.definition[static_cast<uint16_t>(r.key[5] | r.key[6] << 8)] = r.data;
      } else if (kind == tessera::kCollationKind) {
        if (r.key.size() != 6) { bad("a collation record"); continue; }
        tr.collation = r.data;
      } else if (kind == tessera::kMemoKind) {
        if (r.key.size() != 12) { bad("a memo piece"); continue; }
        const uint32_t n = BigEndian32(r.key.data() + 5);
        tr.memos[{n, r.key[9]}].push_back({static_cast<uint16_t>(r.key[10] << 8 | r.key[11]), r.data});
      } else if (kind < tessera::kMaxKeys) {
        tr.entries[kind].push_back(r);
      } else {
        p_->Add("bad record", "a record" + in + " has unknown kind " + std::to_string(kind));
      }
    }
    for (const auto& [t, name] : names) {
      if (t > sequence) {
        p_->Add("sequence", "table " + name + " has number " + std::to_string(t) +
                                ", beyond the sequence counter " + std::to_string(sequence));
      }
      if (!tables.count(t)) p_->Add("table " + name + " (number " + std::to_string(t) + ") has no records at all");
    }
    for (auto& [t, tr] : tables) {
      auto it = names.find(t);
      if (it == names.end()) {
        p_->Add("orphan table", "records of table number " + std::to_string(t) + " belong to no table name");
        continue;
      }
      CheckTable(it->second, t, tr, sequence);
    }
  }

 private:
  void CheckTable(const std::string& name, uint32_t t, const TableRecords& tr, uint32_t sequence) {
    const std::string table = "table " + name;
    tessera::TableDefinition def;
    tessera::DefinitionBlockReader read = [&](uint16_t block, std::vector<uint8_t>* data) {
      data->clear();
      auto it = tr.definition.find(block);
      if (it != tr.definition.end()) data->assign(it->second.begin(), it->second.end());
      return Status::OK();
    };
    if (tr.definition.empty()) {
      p_->Add(table + ": its definition is missing");
      return;
    }
    Status s = tessera::LoadDefinition(read, &def);
    if (!s.ok()) {
      p_->Add(table + ": its definition does not load (" + s.message() + ")");
      return;
    }
    tessera::CollationRecord collation;
    collation.tables = tessera::PlatformCollation();
    if (tr.collation && !tessera::DecodeCollationRecord(*tr.collation, &collation).ok()) {
      p_->Add(table + ": its collation record is damaged");
      collation.tables = tessera::PlatformCollation();
      collation.oem = false;
    }
    // Data records and their counter.
    for (const auto& [n, data] : tr.data) {
      if (n > sequence) {
        p_->Add("sequence", table + ": record " + std::to_string(n) +
                                " lies beyond the sequence counter " + std::to_string(sequence));
      }
      if (data.size() != def.record_length) {
        p_->Add("record length", table + ": record " + std::to_string(n) + " has " +
                                     std::to_string(data.size()) + " bytes, not " +
                                     std::to_string(def.record_length));
      }
    }
    CheckCount(table + ": the data counter", tr, tessera::kDataCounterIndex, tr.data.size(), nullptr);
    // Keys.
    tessera::TableKeys keys(file_, t, def.record_length, tessera::KeyLayoutsOf(def),
                            tessera::KeyStrings{&collation.tables, collation.oem});
    for (const auto& [k, entries] : tr.entries) {
      if (k >= def.keys.size()) {
        p_->Add(table + ": " + std::to_string(entries.size()) + " entries of key " +
                std::to_string(k + 1) + ", which the definition does not have");
      }
    }
    for (size_t k = 0; k < def.keys.size(); ++k) {
      const auto& kd = def.keys[k];
      if (kd.attributes & tessera::key_attr::kDynamicIndex) continue;
      const std::string key = table + " key " + kd.label;
      static const std::vector<Rec> none;
      auto found = tr.entries.find(static_cast<uint8_t>(k));
      const std::vector<Rec>& entries = found == tr.entries.end() ? none : found->second;
      uint32_t point = 0;
      if (!CheckCount(key + ": the counter", tr, static_cast<uint8_t>(k), entries.size(), &point)) {
        continue;
      }
      const bool stale = point != 0;
      auto checked = [&](uint32_t n) { return !stale || n < point; };
      std::map<std::vector<uint8_t>, std::vector<uint8_t>> expected;
      for (const auto& [n, data] : tr.data) {
        if (!checked(n) || data.size() != def.record_length) continue;
        std::vector<uint8_t> buffer(data.begin(), data.end());
        if (collation.oem) ToAnsi(def, buffer);
        tessera::TableKeys::Entry e;
        if (keys.MakeEntry(static_cast<int>(k), buffer, n, &e)) expected[e.key] = e.data;
      }
      for (const Rec& e : entries) {
        const uint32_t n = EntryRecord(e);
        if (n > sequence) {
          p_->Add("sequence", key + ": an entry names record " + std::to_string(n) +
                                  ", beyond the sequence counter");
        }
        if (!checked(n)) continue;
        if (!tr.data.count(n)) {
          p_->Add("entry without record", key + ": an entry names record " + std::to_string(n) +
                                              ", which does not exist");
          continue;
        }
        auto it = expected.find(std::vector<uint8_t>(e.key.begin(), e.key.end()));
        if (it == expected.end() || !Equal(it->second, e.data)) {
          p_->Add("entry mismatch", key + ": the entry for record " + std::to_string(n) +
                                        " does not match the record");
          continue;
        }
        expected.erase(it);
      }
      for (const auto& [k2, data] : expected) {
        std::vector<uint8_t> whole = k2;
        whole.insert(whole.end(), data.begin(), data.end());
        const uint32_t n = BigEndian32(whole.data() + whole.size() - 4);
        p_->Add("missing entry", key + ": record " + std::to_string(n) + " has no entry");
      }
    }
    // Memo pieces.
    for (const auto& [at, pieces] : tr.memos) {
      const auto [n, m] = at;
      const std::string memo = table + ": memo " + std::to_string(m + 1) + " of record " + std::to_string(n);
      if (!tr.data.count(n)) {
        p_->Add("orphan memo", memo + " belongs to no record");
        continue;
      }
      if (m >= def.memos.size()) {
        p_->Add("orphan memo", memo + " is not in the definition");
        continue;
      }
      std::vector<std::vector<uint8_t>> bytes;
      bool holes = false;
      for (size_t i = 0; i < pieces.size(); ++i) {
        if (pieces[i].first != i) holes = true;
        bytes.emplace_back(pieces[i].second.begin(), pieces[i].second.end());
      }
      std::vector<uint8_t> blob;
      if (holes) {
        p_->Add("memo", memo + " has missing pieces");
      } else if (def.memos[m].blob() && !tessera::ReadBlob(bytes, &blob)) {
        p_->Add("memo", memo + ": its pieces do not add up to its length");
      }
    }
  }

  // Compares a counter with the count of its records. False when the
  // counter is missing or damaged.
  bool CheckCount(const std::string& what, const TableRecords& tr, uint8_t index, size_t actual,
                  uint32_t* point) {
    auto it = tr.counters.find(index);
    if (it == tr.counters.end()) {
      p_->Add(what + " is missing");
      return false;
    }
    tessera::Counter c;
    if (!tessera::DecodeCounter(it->second, &c)) {
      p_->Add(what + " is damaged");
      return false;
    }
    if (c.count < 0 || static_cast<size_t>(c.count) != actual) {
      p_->Add(what + " says " + std::to_string(c.count) + ", there are " + std::to_string(actual));
    }
    if (point) *point = c.rebuild_point;
    return true;
  }

  TsrFile* file_;
  Problems* p_;
};

}  // namespace

Status CheckFile(const std::string& path, const std::string& password, CheckReport* report,
                 tessera::Env* env) {
  TsrFile file(env);
  Status s;
  try {
    s = file.Open(path, tessera::mode::kReadOnly | tessera::mode::kDenyNone, password);
  } catch (const std::exception& e) {
    s = Status::Error(tessera::err::kInvalidDataFile, e.what());
  }
  if (s.code() == tessera::err::kInvalidDataFile) {
    return Status::Error(s.code(), "not a Tessera file or wrong password");
  }
  if (!s.ok()) return s;
  {
    Problems problems(report);
    try {
      TreeCheck tree(&file, &problems);
      tree.Run();
      RecordCheck(&file, &problems).Run(tree.records());
    } catch (const tessera::InternalFailure& f) {
      problems.Add("the check stopped at internal failure " + std::to_string(f.number()) + " (" +
                   tessera::kCorruptionText + ")");
    } catch (const std::bad_alloc&) {
      problems.Add("the check ran out of memory (the file's structure is damaged)");
    } catch (const std::exception& e) {
      problems.Add(std::string("the check stopped: ") + e.what());
    }
  }
  (void)file.Close();
  return Status::OK();
}

}  // namespace tsr
