#include "storage/table_catalogue.h"

#include <cstring>

#include "storage/file_registry.h"
#include "storage/record.h"
#include "storage/tree.h"
#include "storage/tsr_file.h"

namespace tessera {
namespace {

using Bytes = std::span<const uint8_t>;

constexpr uint8_t kNamesStart[] = {kNameKind};
constexpr uint32_t kHighestNumber = 0xFDFFFFFFu;

uint32_t GetBE32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}
void PutBE32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}
uint32_t GetLE32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
void PutLE32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Renumbers one record of a copied table: table number `a`, record numbers
// moved up by `offset`. False when a record number would pass the highest
// number a file can hand out. `*highest` keeps the largest record number.
bool Renumber(std::vector<uint8_t>* key, std::vector<uint8_t>* data, const TableNumber& a,
              uint32_t offset, uint32_t* highest) {
  auto shift = [&](uint32_t n, uint32_t* out) {
    if (n > kHighestNumber - offset) return false;
    *out = n + offset;
    *highest = std::max(*highest, *out);
    return true;
  };
  std::copy(a.begin(), a.end(), key->begin());
  const uint8_t kind = (*key)[4];
  uint32_t n = 0;
  if ((kind == kDataKind && key->size() == 9) || (kind == kMemoKind && key->size() == 12)) {
    if (!shift(GetBE32(key->data() + 5), &n)) return false;
    PutBE32(key->data() + 5, n);
  } else if (kind == kCounterKind && data->size() == 8) {
    const uint32_t point = GetLE32(data->data() + 4);
    if (point != 0) {
      if (!shift(point, &n)) return false;
      PutLE32(data->data() + 4, n);
    }
  } else if (kind < kDataKind) {
    // A key entry: N is the record's last four bytes, in the data for keys
    // without duplicates and at the end of the key for the others.
    std::vector<uint8_t>* holder = data->size() >= 4 ? data : key;
    if (holder->size() < 9 && holder == key) return true;
    uint8_t* p = holder->data() + holder->size() - 4;
    if (!shift(GetBE32(p), &n)) return false;
    PutBE32(p, n);
  }
  return true;
}

}  // namespace

Status TableCatalogue::List(const TableServices& services, const std::string& file_name,
                            std::vector<std::string>* names, const std::string& password) {
  names->clear();
  const TableName name = SplitTableName(file_name, services.env);
  TsrFileRegistry& registry = services.Registry(false);
  TsrFile* file = nullptr;
  Status s = registry.OpenShared(name.file, kListMode, password, &file);
  if (!s.ok()) return s;
  s = file->Guard([&] {
    TsrTree tree(file);
    for (TsrRecord* r = tree.Next(Bytes(kNamesStart)); r != nullptr && r->key_size() > 1 &&
                                                        r->key()[0] == kNameKind;
         r = tree.Next(*r)) {
      names->emplace_back(r->key().begin() + 1, r->key().end());
    }
    return Status::OK();
  });
  Status end = file->EndOperation();
  Status released = registry.Release(file);
  if (!s.ok()) return s;
  return end.ok() ? released : end;
}

Status TableCatalogue::Remove(const TableServices& services, const std::string& name,
                              const OpenOptions& options) {
  Table table(services);
  Status s = table.OpenAs(name, nullptr, options, nullptr, Table::Purpose::kRemove);
  if (!s.ok()) return s;
  TsrFile* file = table.file_;
  bool last = false;
  s = file->Guard([&] {
    TsrRecord* other = table.tree_->Next(Bytes(kNamesStart));
    last = other == nullptr || other->key_size() < 1 || other->key()[0] != kNameKind;
    services.Keys().DropTable(table.KeyView());
    // The OS file can only go when no other table of this process holds
    // it; otherwise the records go and the (empty) file stays.
    if (!last || table.registry_->UseCount(table.name_.file) > 1) {
      table.tree_->DeleteTableRecords(table.number_);
      last = false;
    }
    return Status::OK();
  });
  if (s.ok() && last) {
    s = file->Delete();
    (void)table.Close();
    return s;
  }
  if (!s.ok()) file->Rollback();
  Status end = file->EndWriteIntent();
  Status closed = table.Close();
  if (!s.ok()) return s;
  return end.ok() ? closed : end;
}

Status TableCatalogue::Copy(const TableServices& services, const std::string& source,
                            const std::string& destination, const OpenOptions& options) {
  return Transfer(services, source, destination, options, false);
}

Status TableCatalogue::Rename(const TableServices& services, const std::string& source,
                              const std::string& destination, const OpenOptions& options) {
  return Transfer(services, source, destination, options, true);
}

Status TableCatalogue::Transfer(const TableServices& services, const std::string& source,
                                const std::string& destination, const OpenOptions& options,
                                bool rename) {
  Env* env = services.env;
  const TableName from = SplitTableName(source, env);
  const TableName to = SplitTableName(destination, env);
  if (!from.has_table_part && !to.has_table_part) {
    Status s = rename ? env->Rename(from.file, to.file) : env->Copy(from.file, to.file);
    if (s.ok()) return s;
  }

  TsrFileRegistry& registry = services.Registry(options.per_thread);
  TsrFile* dest = nullptr;
  Status s = registry.OpenShared(to.file, kCreateMode, options.password, &dest);
  if (!s.ok()) return s;
  auto give_up = [&](Status error) {
    dest->Rollback();
    (void)dest->EndWriteIntent();
    (void)registry.Release(dest);
    return error;
  };
  s = dest->BeginWriteIntent();
  if (!s.ok()) return give_up(s);
  TsrTree dest_tree(dest);
  const std::vector<uint8_t> dest_name = NameRecordKey(to.table);
  s = dest->Guard([&] {
    TsrRecord* r = dest_tree.Find(dest_name);
    if (r == nullptr) return Status::OK();
    if (rename) return Status::Error(err::kAccessDenied, "Access Denied");
    if (r->data().size() != 4) return Status::Error(err::kInvalidDataFile, "Invalid Data File");
    TableNumber old;
    std::copy_n(r->data().begin(), 4, old.begin());
    dest_tree.Delete(r);
    KeyTable gone;
    gone.file = dest;
    gone.tree = &dest_tree;
    gone.number = old;
    services.Keys().DropTable(gone);
    dest_tree.DeleteTableRecords(old);
    return Status::OK();
  });
  if (!s.ok()) return give_up(s);

  Table table(services);
  OpenOptions source_options = options;
  s = table.OpenAs(source, nullptr, source_options, nullptr,
                   rename ? Table::Purpose::kRenameSource : Table::Purpose::kCopySource);
  if (!s.ok()) return give_up(s);
  TsrFile* src = table.file_;
  const bool same_file = src == dest;
  TableNumber number = table.number_;
  if (rename) services.Keys().DropTable(table.KeyView());

  if (!(rename && same_file)) {
    s = dest->Guard([&] {
      Status t = dest->TakeSequenceNumber(&number);
      TableNumber offset_bytes{};
      if (t.ok()) t = dest->TakeSequenceNumber(&offset_bytes);
      if (!t.ok()) return t;
      const uint32_t offset = NumberValue(offset_bytes);
      uint32_t highest = offset;
      TsrTree& src_tree = *table.tree_;
      const Bytes prefix(table.number_.data(), 4);
      std::vector<uint8_t> key, data;
      for (TsrRecord* r = src_tree.Next(prefix);
           r != nullptr && r->key_size() >= 4 && std::memcmp(r->key().data(), prefix.data(), 4) == 0;) {
        key.assign(r->key().begin(), r->key().end());
        data.assign(r->data().begin(), r->data().end());
        const std::vector<uint8_t> source_key = key;
        if (!Renumber(&key, &data, number, offset, &highest)) {
          return Status::Error(err::kFileSystemError, "record numbers of " + to.file +
                                                          " are exhausted");
        }
        t = dest_tree.Insert(std::make_unique<TsrRecord>(key, data));
        if (!t.ok()) return t;
        // The insert may have moved the source record (same file): find it
        // again by its key.
        if (rename) {
          if (TsrRecord* gone = src_tree.Find(source_key)) src_tree.Delete(gone);
        }
        r = src_tree.Next(source_key);
      }
      return dest->RaiseSequenceNumber(highest);
    });
  }
  if (s.ok()) {
    s = dest->Guard(
        [&] { return dest_tree.Insert(std::make_unique<TsrRecord>(dest_name, number)); });
  }
  if (!s.ok()) {
    // Roll back before the source is released: releasing ends its write
    // intent, which would commit half a copy when both are one file.
    dest->Rollback();
    if (!same_file) src->Rollback();
    (void)table.Close();
    return give_up(s);
  }
  s = dest->EndWriteIntent();
  if (!s.ok() && !same_file) src->Rollback();
  Status closed = table.Close();
  Status released = registry.Release(dest);
  if (!s.ok()) return s;
  return closed.ok() ? released : closed;
}

}  // namespace tessera
