#include "tools/tsr/commands.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>

#include "storage/key_build.h"
#include "storage/key_maintainer.h"
#include "storage/keys.h"
#include "storage/raw_records.h"
#include "storage/table.h"
#include "storage/table_catalogue.h"
#include "storage/tsr_file.h"
#include "tools/tsr/checker.h"
#include "tools/tsr/declaration_text.h"
#include "tools/tsr/record_text.h"

namespace tsr {

using tessera::OpenOptions;
using tessera::Status;
using tessera::Table;
using tessera::TableServices;

namespace {

constexpr uint32_t kReadMode = tessera::mode::kReadOnly | tessera::mode::kDenyNone;
constexpr uint32_t kWriteMode = tessera::mode::kReadWrite | tessera::mode::kDenyAll;
constexpr size_t kImportBatch = 1000;  // rows per commit

const char kUsage[] =
    "usage: tsr tables FILE | schema FILE[\\!TABLE] | dump FILE[\\!TABLE] [--csv|--json] "
    "[--key NAME] | check FILE | create FILE[\\!TABLE] DECLARATION | import FILE[\\!TABLE] "
    "--csv DATA.csv | rebuild FILE[\\!TABLE]  [--password P]";

// An error that ends the command with kError and one line on stderr.
struct Failure {
  std::string message;
};

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

struct Arguments {
  std::string command;
  std::vector<std::string> positional;
  std::map<std::string, std::string> options;  // "--key" -> "NAME"; flags -> ""
};

Arguments ParseArguments(const std::vector<std::string>& args) {
  static const std::map<std::string, bool> known = {
      {"--password", true}, {"--key", true}, {"--csv", false}, {"--json", false}};
  Arguments a;
  if (args.empty()) throw Failure{kUsage};
  a.command = args[0];
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& s = args[i];
    if (s.size() > 2 && s.compare(0, 2, "--") == 0) {
      auto it = known.find(s);
      if (it == known.end()) throw Failure{"unknown option " + s + "; " + kUsage};
      if (a.options.count(s)) throw Failure{"option " + s + " given twice"};
      std::string value;
      // --csv takes the data file in import; elsewhere it is a flag.
      const bool takes = it->second || (s == "--csv" && a.command == "import");
      if (takes) {
        if (i + 1 >= args.size()) throw Failure{"option " + s + " needs a value"};
        value = args[++i];
      }
      a.options[s] = value;
    } else {
      a.positional.push_back(s);
    }
  }
  return a;
}

void Expect(const Arguments& a, size_t positional, std::initializer_list<const char*> allowed) {
  if (a.positional.size() != positional) throw Failure{std::string(kUsage)};
  for (const auto& [name, value] : a.options) {
    if (name == "--password") continue;
    if (std::find_if(allowed.begin(), allowed.end(), [&](const char* o) { return name == o; }) ==
        allowed.end()) {
      throw Failure{"option " + name + " does not apply to " + a.command};
    }
  }
}

std::string Password(const Arguments& a) {
  auto it = a.options.find("--password");
  return it == a.options.end() ? std::string() : it->second;
}

// The one line for an engine error while opening `name`.
std::string OpenError(const Status& s, const std::string& name) {
  const tessera::TableName split = tessera::SplitTableName(name, tessera::Env::Default());
  switch (s.code()) {
    case tessera::err::kFileNotFound:
    case tessera::err::kPathNotFound:
      if (std::filesystem::exists(split.file)) {
        return split.file + ": no table " + split.table;
      }
      return split.file + ": no such file";
    case tessera::err::kInvalidDataFile:
      return split.file + ": not a Tessera file or wrong password";
    case tessera::err::kAccessDenied:
      return split.file + ": access denied (in use, or not writable)";
    default:
      return split.file + ": " + s.message() + " (error " + std::to_string(s.code()) + ")";
  }
}

void OpenTable(Table* t, const std::string& name, uint32_t mode, const std::string& password) {
  OpenOptions o;
  o.mode = mode;
  o.password = password;
  Status s = t->Open(name, nullptr, o);
  if (!s.ok()) throw Failure{OpenError(s, name)};
}

void Close(Table* t) {
  Status s = t->Close();
  if (!s.ok()) throw Failure{t->name() + ": closing failed: " + s.message()};
}

std::string KeyKind(const tessera::KeyDefinition& k) {
  std::string s;
  if (k.attributes & tessera::key_attr::kDuplicates) s += " DUP";
  if (k.attributes & tessera::key_attr::kOptional) s += " OPT";
  if (k.attributes & tessera::key_attr::kCaseInsensitive) s += " NOCASE";
  if (k.attributes & tessera::key_attr::kPrimary) s += " PRIMARY";
  if (k.attributes & tessera::key_attr::kIndex) s += " INDEX";
  return s;
}

// --- tables --------------------------------------------------------------------

int Tables(const Arguments& a, std::ostream& out) {
  Expect(a, 1, {});
  const std::string file = tessera::SplitTableName(a.positional[0], tessera::Env::Default()).file;
  std::vector<std::string> names;
  Status s = tessera::TableCatalogue::List({}, file, &names, Password(a));
  if (!s.ok()) throw Failure{OpenError(s, file)};
  for (const std::string& name : names) {
    Table t;
    OpenTable(&t, file + std::string(tessera::kTableSeparator) + name, kReadMode, Password(a));
    int32_t records = 0;
    s = t.Records(tessera::kDataCounterIndex, &records);
    if (!s.ok()) throw Failure{name + ": " + s.message()};
    out << name << "  number " << t.number() << "  records " << records << "\n";
    tessera::TableKeys keys(t.file(), t.number(), t.record_length(),
                            tessera::KeyLayoutsOf(t.definition()),
                            tessera::KeyStrings{&t.collation(), t.oem()});
    for (size_t k = 0; k < t.definition().keys.size(); ++k) {
      const auto& kd = t.definition().keys[k];
      out << "  key " << kd.label << KeyKind(kd);
      tessera::KeyCounter c;
      if (keys.layout(static_cast<int>(k)).dynamic()) {
        out << "  (built on demand)\n";
        continue;
      }
      s = keys.ReadCounter(static_cast<int>(k), &c);
      if (!s.ok()) {
        out << "  counter unreadable: " << s.message() << "\n";
        continue;
      }
      out << "  entries " << c.count;
      if (c.rebuild_point != 0) out << "  (stale from record " << c.rebuild_point << ")";
      out << "\n";
    }
    (void)t.file()->EndOperation();
    Close(&t);
  }
  return kOk;
}

// --- schema --------------------------------------------------------------------

int Schema(const Arguments& a, std::ostream& out) {
  Expect(a, 1, {});
  Table t;
  OpenTable(&t, a.positional[0], kReadMode, Password(a));
  out << "! table " << t.split_name().table << " (number " << t.number() << ") of "
      << t.split_name().file << ", record length " << t.record_length() << "\n";
  out << FormatDefinition(t.definition());
  Close(&t);
  return kOk;
}

// --- dump ----------------------------------------------------------------------

std::optional<int> FindKey(const tessera::TableDefinition& d, const std::string& name) {
  for (size_t k = 0; k < d.keys.size(); ++k) {
    const auto& kd = d.keys[k];
    if (Upper(kd.label) == Upper(name) || (kd.external_name && Upper(*kd.external_name) == Upper(name))) {
      return static_cast<int>(k);
    }
  }
  return std::nullopt;
}

// The record numbers of the table in record order.
std::vector<uint32_t> RecordNumbers(Table* t) {
  std::vector<uint32_t> out;
  tessera::RawRecords raw(t->file());
  const auto start = tessera::DataRecordKey(tessera::NumberBytes(t->number()), 0);
  const std::vector<uint8_t> prefix(start.begin(), start.begin() + 5);
  std::vector<uint8_t> at(start.begin(), start.end());
  for (;;) {
    tessera::RawRecords::Entry e;
    bool found = false;
    Status s = raw.Next(at, &e, &found);
    if (!s.ok()) throw Failure{t->name() + ": " + s.message()};
    if (!found || e.key.size() != 9 || !std::equal(prefix.begin(), prefix.end(), e.key.begin())) break;
    out.push_back(tessera::NumberValue({e.key[5], e.key[6], e.key[7], e.key[8]}));
    at = e.key;
  }
  (void)t->file()->EndOperation();
  return out;
}

int Dump(const Arguments& a, std::ostream& out) {
  Expect(a, 1, {"--csv", "--json", "--key"});
  if (a.options.count("--csv") && a.options.count("--json")) throw Failure{"choose --csv or --json"};
  const bool json = a.options.count("--json") != 0;
  Table t;
  OpenTable(&t, a.positional[0], kReadMode, Password(a));
  const auto& def = t.definition();
  std::vector<uint32_t> order;
  if (auto it = a.options.find("--key"); it != a.options.end()) {
    const std::optional<int> k = FindKey(def, it->second);
    if (!k) throw Failure{t.name() + ": no key named " + it->second};
    tessera::TableKeys keys(t.file(), t.number(), t.record_length(), tessera::KeyLayoutsOf(def),
                            tessera::KeyStrings{&t.collation(), t.oem()});
    if (keys.layout(*k).dynamic()) throw Failure{"key " + it->second + " is built on demand only"};
    tessera::KeyCounter c;
    Status s = keys.ReadCounter(*k, &c);
    if (s.ok() && c.rebuild_point != 0) {
      throw Failure{"key " + it->second + " is not up to date; run tsr rebuild first"};
    }
    if (s.ok()) s = keys.Walk(*k, [&](uint32_t n, std::span<const uint8_t>) { order.push_back(n); });
    (void)t.file()->EndOperation();
    if (!s.ok()) throw Failure{t.name() + ": " + s.message()};
  } else {
    order = RecordNumbers(&t);
  }
  const std::vector<Column> columns = ColumnsOf(def);
  std::vector<uint8_t> buffer(t.record_length());
  if (json) {
    out << "[";
  } else {
    for (size_t c = 0; c < columns.size(); ++c) out << (c ? "," : "") << CsvField(columns[c].name);
    out << "\n";
  }
  bool first = true;
  for (uint32_t n : order) {
    Status s = t.Fetch(n, buffer);
    if (!s.ok()) throw Failure{t.name() + ": record " + std::to_string(n) + ": " + s.message()};
    std::vector<std::vector<uint8_t>> memos;
    for (size_t m = 0; m < t.memo_count(); ++m) memos.push_back(t.memo(m));
    if (json) {
      out << (first ? "\n  {" : ",\n  {");
      for (size_t c = 0; c < columns.size(); ++c) {
        const std::string v = ColumnText(def, columns[c], buffer, memos);
        out << (c ? ", " : "") << JsonString(columns[c].name) << ": ";
        const bool number = columns[c].numeric && !v.empty() && v.find_first_of("in") == std::string::npos;
        out << (number ? v : columns[c].numeric ? "null" : JsonString(v));
      }
      out << "}";
    } else {
      for (size_t c = 0; c < columns.size(); ++c) {
        out << (c ? "," : "") << CsvField(ColumnText(def, columns[c], buffer, memos));
      }
      out << "\n";
    }
    first = false;
  }
  if (json) out << (first ? "]\n" : "\n]\n");
  Close(&t);
  return kOk;
}

// --- check ---------------------------------------------------------------------

int Check(const Arguments& a, std::ostream& out) {
  Expect(a, 1, {});
  const std::string file = tessera::SplitTableName(a.positional[0], tessera::Env::Default()).file;
  CheckReport report;
  Status s = CheckFile(file, Password(a), &report);
  if (!s.ok()) throw Failure{OpenError(s, file)};
  for (const std::string& n : report.notes) out << "note: " << n << "\n";
  for (const std::string& p : report.problems) out << "problem: " << p << "\n";
  if (report.problems.empty()) {
    out << file << ": sound\n";
    return kOk;
  }
  out << file << ": " << report.problems.size() << " problem(s)\n";
  return kProblems;
}

// --- create --------------------------------------------------------------------

int Create(const Arguments& a, std::ostream& out) {
  Expect(a, 2, {});
  const std::string& name = a.positional[0];
  tessera::TableDeclaration d;
  std::string error;
  if (!ParseDeclaration(a.positional[1], &d, &error)) throw Failure{"declaration, " + error};
  {
    // Never replace a table that exists: that would drop its records.
    Table existing;
    OpenOptions o;
    o.mode = kReadMode;
    o.password = Password(a);
    Status s = existing.Open(name, nullptr, o);
    if (s.ok()) {
      (void)existing.Close();
      throw Failure{name + ": the table exists already"};
    }
    if (s.code() != tessera::err::kFileNotFound && s.code() != tessera::err::kPathNotFound) {
      throw Failure{OpenError(s, name)};
    }
  }
  std::vector<uint8_t> buffer(d.record_size);
  d.name = name;
  d.owner = Password(a);
  d.record = buffer.data();
  d.attributes = tessera::kTableCreate;
  Table t;
  OpenOptions o;
  o.password = Password(a);
  tessera::DefinitionReport report;
  Status s = t.Create(name, d, o, &report);
  if (!s.ok()) {
    if (!report.code_text.empty()) {
      throw Failure{"declaration refused: " + report.code_text + " " + report.text};
    }
    throw Failure{OpenError(s, name)};
  }
  out << "created " << t.name() << ": " << d.fields.size() << " field(s), " << d.memos.size()
      << " memo(s), " << d.keys.size() << " key(s), record length " << t.record_length() << "\n";
  Close(&t);
  return kOk;
}

// --- import --------------------------------------------------------------------

int Import(const Arguments& a, std::ostream& out, std::ostream& err) {
  Expect(a, 1, {"--csv"});
  auto csv_option = a.options.find("--csv");
  if (csv_option == a.options.end()) throw Failure{"import needs --csv DATA.csv"};
  const std::string& path = csv_option->second;
  std::ifstream in(path, std::ios::binary);
  if (!in) throw Failure{path + ": cannot be read"};
  std::stringstream text;
  text << in.rdbuf();
  std::string data = text.str();
  if (data.compare(0, 3, "\xEF\xBB\xBF") == 0) data.erase(0, 3);  // a spreadsheet's byte-order mark
  std::vector<CsvRow> rows;
  std::string error;
  if (!ParseCsv(data, &rows, &error)) throw Failure{path + " " + error};
  if (rows.empty()) throw Failure{path + ": no header line"};

  tessera::TableKeyMaintainer maintainer;
  TableServices services;
  services.keys = &maintainer;
  Table t(services);
  OpenTable(&t, a.positional[0], kWriteMode, Password(a));
  const auto& def = t.definition();
  const std::vector<Column> all = ColumnsOf(def);
  std::vector<const Column*> header;
  for (const std::string& raw : rows[0].values) {
    std::string name = Upper(raw);
    while (!name.empty() && name.back() == ' ') name.pop_back();
    while (!name.empty() && name.front() == ' ') name.erase(name.begin());
    auto it = std::find_if(all.begin(), all.end(), [&](const Column& c) { return Upper(c.name) == name; });
    if (it == all.end()) {
      throw Failure{path + " line 1: table " + t.split_name().table + " has no field " + raw};
    }
    if (std::find(header.begin(), header.end(), &*it) != header.end()) {
      throw Failure{path + " line 1: field " + raw + " named twice"};
    }
    header.push_back(&*it);
  }

  tessera::TsrFile* file = t.file();
  auto commit = [&] {
    file->set_in_transaction(false);
    Status s = file->BeginWriteIntent();
    if (s.ok()) s = file->EndWriteIntent();
    if (!s.ok()) throw Failure{t.name() + ": commit failed: " + s.message()};
  };
  size_t added = 0, refused = 0, pending = 0;
  // Rows are added in batches, each one commit: the write intent of every
  // add stays open until the batch ends.
  file->set_in_transaction(true);
  for (size_t r = 1; r < rows.size(); ++r) {
    const CsvRow& row = rows[r];
    const std::string where = path + " line " + std::to_string(row.line) + ": ";
    if (row.values.size() == 1 && row.values[0].empty() && header.size() > 1) continue;
    if (row.values.size() != header.size()) {
      err << where << header.size() << " values expected, " << row.values.size() << " found\n";
      ++refused;
      continue;
    }
    std::vector<uint8_t> record = BlankRecord(def);
    std::vector<std::vector<uint8_t>> memos;
    for (size_t m = 0; m < def.memos.size(); ++m) {
      memos.push_back(def.memos[m].blob() ? std::vector<uint8_t>()
                                          : std::vector<uint8_t>(def.memos[m].size, ' '));
    }
    bool fits = true;
    for (size_t c = 0; c < header.size() && fits; ++c) {
      if (!SetColumn(def, *header[c], row.values[c], record, &memos, &error)) {
        err << where << header[c]->name << ": " << error << "\n";
        fits = false;
      }
    }
    if (!fits) {
      ++refused;
      continue;
    }
    for (size_t m = 0; m < memos.size(); ++m) t.memo(m) = memos[m];
    Status s = t.Add(record);
    if (s.code() == tessera::err::kDuplicateKey) {
      std::string key = "a unique key";
      tessera::TableKeys keys(file, t.number(), t.record_length(), tessera::KeyLayoutsOf(def),
                              tessera::KeyStrings{&t.collation(), t.oem()});
      int k = -1;
      if (keys.WouldDuplicate(record, std::nullopt, &k).ok() && k >= 0) {
        key = "key " + def.keys[k].label;
      }
      err << where << "duplicate in " << key << "\n";
      ++refused;
      continue;
    }
    if (!s.ok()) {
      // Keep the promise of the message: drop the uncommitted batch.
      file->set_in_transaction(false);
      file->Rollback();
      throw Failure{where + s.message() + " (error " + std::to_string(s.code()) +
                    "); rows after the last commit are not written"};
    }
    ++added;
    if (++pending == kImportBatch) {
      commit();
      file->set_in_transaction(true);
      pending = 0;
    }
  }
  commit();
  Close(&t);
  out << added << " record(s) added, " << refused << " refused\n";
  return refused == 0 ? kOk : kProblems;
}

// --- rebuild -------------------------------------------------------------------

class ProgressBar final : public tessera::BuildProgress {
 public:
  ProgressBar(std::ostream& err, bool draw) : err_(err), draw_(draw) {}
  void Start(const std::string& key) {
    key_ = key;
    last_ = -1;
    Report(0);
  }
  bool Report(int percent) override {
    if (!draw_ || percent == last_) return false;
    last_ = percent;
    const int filled = std::clamp(percent, 0, 100) * 30 / 100;
    err_ << "\r" << key_ << " [" << std::string(filled, '#') << std::string(30 - filled, ' ')
         << "] " << percent << "%" << std::flush;
    return false;
  }
  void Finish() {
    if (draw_) err_ << "\r" << key_ << " [" << std::string(30, '#') << "] 100%\n" << std::flush;
  }

 private:
  std::ostream& err_;
  bool draw_;
  std::string key_;
  int last_ = -1;
};

int Rebuild(const Arguments& a, std::ostream& out, std::ostream& err, bool terminal) {
  Expect(a, 1, {});
  Table t;
  OpenTable(&t, a.positional[0], kWriteMode, Password(a));
  const auto& def = t.definition();
  tessera::TableKeys keys(t.file(), t.number(), t.record_length(), tessera::KeyLayoutsOf(def),
                          tessera::KeyStrings{&t.collation(), t.oem()});
  ProgressBar bar(err, terminal);
  tessera::BuildOptions options;
  options.full_build = true;
  options.progress_setting = 1;
  options.progress = &bar;
  if (t.oem()) {
    options.to_buffer = [&def](std::span<uint8_t> buffer) {
      namespace ft = tessera::field_type;
      for (const auto& f : def.fields) {
        if (!f.over && (f.type == ft::kString || f.type == ft::kCString || f.type == ft::kPString) &&
            f.offset + f.size <= buffer.size()) {
          tessera::OemToAnsi(buffer.subspan(f.offset, f.size));
        }
      }
    };
  }
  int result = kOk;
  for (int k = 0; k < keys.key_count(); ++k) {
    if (keys.layout(k).dynamic()) continue;
    bar.Start(def.keys[k].label);
    Status s = tessera::BuildKey(&keys, k, options);
    if (s.code() == tessera::err::kDuplicateKey) {
      bar.Finish();
      err << "tsr: key " << def.keys[k].label << ": records duplicate each other in this unique key\n";
      result = kProblems;
      continue;
    }
    if (!s.ok()) {
      if (terminal) err << "\n";
      throw Failure{"key " + def.keys[k].label + ": " + s.message()};
    }
    bar.Finish();
    int32_t count = 0;
    (void)keys.Count(k, &count);
    out << "key " << def.keys[k].label << ": " << count << " entries\n";
  }
  (void)t.file()->EndOperation();
  Close(&t);
  return result;
}

}  // namespace

int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, bool terminal) {
  try {
    const Arguments a = ParseArguments(args);
    if (a.command == "tables") return Tables(a, out);
    if (a.command == "schema") return Schema(a, out);
    if (a.command == "dump") return Dump(a, out);
    if (a.command == "check") return Check(a, out);
    if (a.command == "create") return Create(a, out);
    if (a.command == "import") return Import(a, out, err);
    if (a.command == "rebuild") return Rebuild(a, out, err, terminal);
    throw Failure{"unknown command " + a.command + "; " + kUsage};
  } catch (const Failure& f) {
    err << "tsr: " << f.message << "\n";
    return kError;
  } catch (const std::exception& e) {
    err << "tsr: " << e.what() << "\n";
    return kError;
  }
}

}  // namespace tsr
