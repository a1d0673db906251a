#include "storage/file_registry.h"

#include <cctype>

namespace tessera {
namespace {

uint32_t Normal(uint32_t m) { return mode::Access(m) | mode::Sharing(m); }

}  // namespace

TsrFileRegistry::~TsrFileRegistry() {
  for (auto& [key, entry] : entries_) (void)entry.file->Close();
}

TsrFileRegistry& TsrFileRegistry::Process() {
  static TsrFileRegistry* registry = new TsrFileRegistry;  // lives as long as the process
  return *registry;
}

TsrFileRegistry& TsrFileRegistry::ThisThread() {
  thread_local TsrFileRegistry registry;
  return registry;
}

std::string TsrFileRegistry::KeyOf(const std::string& name) {
  std::string key = name;
  for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return key;
}

uint32_t TsrFileRegistry::MergeModes(uint32_t a, uint32_t b) {
  uint32_t access = mode::Access(a) == mode::Access(b) ? mode::Access(a) : mode::kReadWrite;
  uint32_t sa = mode::Sharing(a), sb = mode::Sharing(b);
  uint32_t sharing = sa == sb                 ? sa
                     : sa == mode::kDenyNone ? sb
                     : sb == mode::kDenyNone ? sa
                                             : mode::kDenyAll;
  return access | sharing;
}

Status TsrFileRegistry::OpenShared(const std::string& name, uint32_t open_mode,
                                   std::string_view password, TsrFile** file) {
  *file = nullptr;
  const std::string key = KeyOf(name);
  auto it = entries_.find(key);
  if (it != entries_.end()) {
    TsrFile* f = it->second.file.get();
    if (Normal(f->open_mode()) != Normal(open_mode)) {
      uint32_t merged = MergeModes(f->open_mode(), open_mode);
      if (merged != Normal(f->open_mode())) {
        Status s = f->Reopen(merged);
        if (!s.ok()) return s;
      }
    }
    ++it->second.uses;
    *file = f;
    return Status::OK();
  }
  auto f = std::make_unique<TsrFile>(env_);
  Status s = f->Open(name, open_mode, password);
  if (!s.ok()) return s;
  *file = f.get();
  entries_[key] = Entry{std::move(f), 1};
  return Status::OK();
}

Status TsrFileRegistry::Release(TsrFile* file) {
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (it->second.file.get() != file) continue;
    if (--it->second.uses > 0) return file->EndWriteIntent();
    Status s = file->Close();
    entries_.erase(it);
    return s;
  }
  return Status::Error(err::kFileSystemError, "file not registered");
}

int TsrFileRegistry::UseCount(const std::string& name) const {
  auto it = entries_.find(KeyOf(name));
  return it == entries_.end() ? 0 : it->second.uses;
}

}  // namespace tessera
