// FaultEnv: an Env that fails, shortens or crashes I/O on request, for tests.
//
// It wraps another Env (normally the real one) and counts every Write and
// Sync made through the handles it opened, from the moment a fault is armed.
// When the count reaches the armed number the fault fires once:
//
//   kFailWrite        the Nth write fails with the armed OS error, nothing written
//   kShortWrite       the Nth write transfers only half its bytes (OK status)
//   kFailSync         the Nth sync fails with the armed OS error
//   kFailIo           the Nth write-or-sync fails (a fault loop's step)
//   kCrashBeforeSync  at the Nth sync the machine "loses power": every write
//                     not yet made durable by a sync is undone on disk
//   kCrashAfterSync   the Nth sync completes, then the process "dies"
//
// After a crash fires, every further mutating call (write, sync, truncate,
// open, delete, rename) fails with EIO, so the engine above can write nothing
// more; the test then reopens the file through an ordinary Env.
//
// Undoing unsynced writes works on the real file: before each write the old
// bytes of the range and the old file size are kept; a sync of the file
// forgets them; a power-loss crash puts them back in reverse order and cuts
// the file to its last synced length. Only files with a live handle of this
// Env are undone.
#pragma once

#include <cerrno>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "storage/env/env.h"

namespace tessera {

enum class FaultKind {
  kNone,
  kFailWrite,
  kShortWrite,
  kFailSync,
  kFailIo,
  kCrashBeforeSync,
  kCrashAfterSync,
};

class FaultEnv : public EnvWrapper {
 public:
  explicit FaultEnv(Env* target = Env::Default());
  ~FaultEnv() override;

  // Arms one fault at the Nth counted call from now (n >= 1).
  void Arm(FaultKind kind, int n, int os_error = ENOSPC);
  void Disarm();
  bool fired() const;
  bool crashed() const;
  // Calls counted since the last Arm (or since creation).
  int writes() const;
  int syncs() const;

  Status Open(const std::string& name, uint32_t open_mode,
              std::unique_ptr<FileHandle>* out) override;
  Status Delete(const std::string& name) override;
  Status Rename(const std::string& from, const std::string& to) override;

  // --- used by the wrapped handles -----------------------------------------
  struct FileState;
  Status OnWrite(FileState* file, FileHandle* base, uint64_t offset,
                 const void* buf, size_t n, size_t* written);
  Status OnSync(FileState* file, FileHandle* base);
  Status OnTruncate(FileState* file, FileHandle* base, uint64_t length);
  void Detach(FileState* file, FileHandle* base);

 private:
  void CrashLocked();
  Status Dead() const { return Status::Error(5, "simulated crash", EIO); }

  mutable std::mutex mu_;
  FaultKind kind_ = FaultKind::kNone;
  int target_n_ = 0;
  int os_error_ = ENOSPC;
  bool fired_ = false;
  bool crashed_ = false;
  int writes_ = 0;
  int syncs_ = 0;
  std::map<std::string, std::unique_ptr<FileState>> files_;
};

}  // namespace tessera
