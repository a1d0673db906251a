// FaultEnv: see fault_env.h for the faults and the crash model.
#include "storage/env/fault_env.h"

#include <algorithm>
#include <cstring>

namespace tessera {

// What the env remembers about one file: its live handles and the undo
// records of writes not yet made durable.
struct FaultEnv::FileState {
  struct Undo {
    uint64_t offset;
    std::vector<uint8_t> old_bytes;  // the bytes the write covered, as they were
  };
  std::vector<FileHandle*> handles;  // live base handles of this file
  bool dirty = false;                // an unsynced change exists
  uint64_t synced_size = 0;          // file length at the last sync
  std::vector<Undo> undo;            // in write order
};

namespace {

class FaultHandle final : public FileHandle {
 public:
  FaultHandle(FaultEnv* env, FaultEnv::FileState* file, std::unique_ptr<FileHandle> base)
      : env_(env), file_(file), base_(std::move(base)) {}
  ~FaultHandle() override { env_->Detach(file_, base_.get()); }

  Status Read(uint64_t offset, void* buf, size_t n, size_t* read) override {
    return base_->Read(offset, buf, n, read);
  }
  Status Write(uint64_t offset, const void* buf, size_t n, size_t* written) override {
    return env_->OnWrite(file_, base_.get(), offset, buf, n, written);
  }
  Status Sync() override { return env_->OnSync(file_, base_.get()); }
  Status Truncate(uint64_t length) override {
    return env_->OnTruncate(file_, base_.get(), length);
  }
  Status Size(uint64_t* size) override { return base_->Size(size); }
  Status Lock(uint64_t offset, uint64_t length) override {
    return base_->Lock(offset, length);
  }
  Status Unlock(uint64_t offset, uint64_t length) override {
    return base_->Unlock(offset, length);
  }

 private:
  FaultEnv* env_;
  FaultEnv::FileState* file_;
  std::unique_ptr<FileHandle> base_;
};

Status Injected(int os_error) {
  return Status::Error(os_error == EIO ? 5 : os_error,
                       std::string("injected fault: ") + std::strerror(os_error), os_error);
}

}  // namespace

FaultEnv::FaultEnv(Env* target) : EnvWrapper(target) {}
FaultEnv::~FaultEnv() = default;

void FaultEnv::Arm(FaultKind kind, int n, int os_error) {
  std::lock_guard<std::mutex> l(mu_);
  kind_ = kind;
  target_n_ = n;
  os_error_ = os_error;
  fired_ = false;
  writes_ = syncs_ = 0;
}

void FaultEnv::Disarm() {
  std::lock_guard<std::mutex> l(mu_);
  kind_ = FaultKind::kNone;
}

bool FaultEnv::fired() const {
  std::lock_guard<std::mutex> l(mu_);
  return fired_;
}
bool FaultEnv::crashed() const {
  std::lock_guard<std::mutex> l(mu_);
  return crashed_;
}
int FaultEnv::writes() const {
  std::lock_guard<std::mutex> l(mu_);
  return writes_;
}
int FaultEnv::syncs() const {
  std::lock_guard<std::mutex> l(mu_);
  return syncs_;
}

Status FaultEnv::Open(const std::string& name, uint32_t open_mode,
                      std::unique_ptr<FileHandle>* out) {
  {
    std::lock_guard<std::mutex> l(mu_);
    if (crashed_) return Dead();
  }
  std::unique_ptr<FileHandle> base;
  Status s = target()->Open(name, open_mode, &base);
  if (!s.ok()) return s;
  std::lock_guard<std::mutex> l(mu_);
  auto& slot = files_[name];
  if (!slot) slot = std::make_unique<FileState>();
  FileState* file = slot.get();
  if (file->handles.empty()) {
    uint64_t size = 0;
    if (base->Size(&size).ok()) file->synced_size = size;
    file->undo.clear();
    file->dirty = false;
  }
  file->handles.push_back(base.get());
  *out = std::make_unique<FaultHandle>(this, file, std::move(base));
  return Status::OK();
}

Status FaultEnv::Delete(const std::string& name) {
  {
    std::lock_guard<std::mutex> l(mu_);
    if (crashed_) return Dead();
  }
  return target()->Delete(name);
}

Status FaultEnv::Rename(const std::string& from, const std::string& to) {
  {
    std::lock_guard<std::mutex> l(mu_);
    if (crashed_) return Dead();
  }
  return target()->Rename(from, to);
}

Status FaultEnv::OnWrite(FileState* file, FileHandle* base, uint64_t offset,
                         const void* buf, size_t n, size_t* written) {
  std::lock_guard<std::mutex> l(mu_);
  *written = 0;
  if (crashed_) return Dead();
  ++writes_;
  size_t len = n;
  if (!fired_) {
    int count = kind_ == FaultKind::kFailIo ? writes_ + syncs_ : writes_;
    bool hit = count == target_n_;
    if (hit && (kind_ == FaultKind::kFailWrite || kind_ == FaultKind::kFailIo)) {
      fired_ = true;
      return Injected(os_error_);
    }
    if (hit && kind_ == FaultKind::kShortWrite) {
      fired_ = true;
      len = n / 2;
    }
  }
  // Remember what the range held so a power loss can take the write back.
  FileState::Undo undo{offset, std::vector<uint8_t>(len)};
  size_t got = 0;
  if (len > 0 && base->Read(offset, undo.old_bytes.data(), len, &got).ok()) {
    undo.old_bytes.resize(got);
  } else {
    undo.old_bytes.clear();
  }
  file->undo.push_back(std::move(undo));
  file->dirty = true;
  return base->Write(offset, buf, len, written);
}

Status FaultEnv::OnSync(FileState* file, FileHandle* base) {
  std::lock_guard<std::mutex> l(mu_);
  if (crashed_) return Dead();
  ++syncs_;
  if (!fired_) {
    int count = kind_ == FaultKind::kFailIo ? writes_ + syncs_ : syncs_;
    if (count == target_n_) {
      switch (kind_) {
        case FaultKind::kFailSync:
        case FaultKind::kFailIo:
          fired_ = true;
          return Injected(os_error_);
        case FaultKind::kCrashBeforeSync:
          fired_ = true;
          CrashLocked();
          return Dead();
        case FaultKind::kCrashAfterSync: {
          fired_ = true;
          Status s = base->Sync();
          if (s.ok()) {
            file->undo.clear();
            file->dirty = false;
            (void)base->Size(&file->synced_size);
          }
          CrashLocked();
          return Dead();
        }
        default:
          break;
      }
    }
  }
  Status s = base->Sync();
  if (s.ok()) {
    file->undo.clear();
    file->dirty = false;
    (void)base->Size(&file->synced_size);
  }
  return s;
}

Status FaultEnv::OnTruncate(FileState* file, FileHandle* base, uint64_t length) {
  std::lock_guard<std::mutex> l(mu_);
  if (crashed_) return Dead();
  uint64_t size = 0;
  if (base->Size(&size).ok() && length < size) {
    FileState::Undo undo{length, std::vector<uint8_t>(size - length)};
    size_t got = 0;
    if (base->Read(length, undo.old_bytes.data(), undo.old_bytes.size(), &got).ok()) {
      undo.old_bytes.resize(got);
      file->undo.push_back(std::move(undo));
    }
  }
  file->dirty = true;
  return base->Truncate(length);
}

void FaultEnv::Detach(FileState* file, FileHandle* base) {
  std::lock_guard<std::mutex> l(mu_);
  auto& h = file->handles;
  h.erase(std::remove(h.begin(), h.end(), base), h.end());
}

// Power loss: every unsynced change of every file with a live handle is
// taken back, newest first, and each file returns to its synced length.
void FaultEnv::CrashLocked() {
  crashed_ = true;
  for (auto& [name, file] : files_) {
    if (file->handles.empty() || !file->dirty) continue;
    FileHandle* h = file->handles.front();
    for (auto it = file->undo.rbegin(); it != file->undo.rend(); ++it) {
      size_t w = 0;
      if (!it->old_bytes.empty())
        (void)h->Write(it->offset, it->old_bytes.data(), it->old_bytes.size(), &w);
    }
    (void)h->Truncate(file->synced_size);
    (void)h->Sync();
    file->undo.clear();
    file->dirty = false;
  }
}

}  // namespace tessera
