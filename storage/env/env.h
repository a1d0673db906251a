// Env: every operating-system service the engine uses, behind one interface.
//
// Engine code includes no OS header; it reaches files, locks, temporary
// files, sleep and the clock only through an Env. Tests wrap the default Env
// (EnvWrapper) to inject faults: a failing or short write, a failing sync, a
// crash at a chosen point.
//
// Threading: an Env and the FileHandles it returns may be used from any
// thread; a single FileHandle is not used by two threads at once (the engine
// serialises table operations under its process-wide lock).
//
// Errors: every call returns a Status. Its code is an engine error code
// (2 File Not Found, 3 Path Not Found, 5 Access Denied, 45 bad name, or the
// OS error number itself where no engine code fits); os_error() holds the raw
// errno where there was one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "storage/status.h"

namespace tessera {

// The open-mode word. Bits 0-1 access, bits 4-6 sharing, 0x100 create.
namespace mode {
inline constexpr uint32_t kReadOnly = 0x00;
inline constexpr uint32_t kWriteOnly = 0x01;
inline constexpr uint32_t kReadWrite = 0x02;
inline constexpr uint32_t kAccessMask = 0x03;
inline constexpr uint32_t kDenyAll = 0x10;
inline constexpr uint32_t kDenyWrite = 0x20;
inline constexpr uint32_t kDenyRead = 0x30;
inline constexpr uint32_t kDenyNone = 0x40;
inline constexpr uint32_t kShareMask = 0x70;
inline constexpr uint32_t kCreate = 0x100;

inline uint32_t Access(uint32_t m) { return m & kAccessMask; }
// A mode with no sharing bits is taken as deny none.
inline uint32_t Sharing(uint32_t m) {
  return (m & kShareMask) == 0 ? kDenyNone : (m & kShareMask);
}
}  // namespace mode

// One open OS file. Closed when destroyed; closing drops every byte-range
// lock taken through this handle and no other handle's.
class FileHandle {
 public:
  virtual ~FileHandle() = default;

  // Reads up to n bytes at offset. *read gets the count; a short count at the
  // end of the file is not an error.
  virtual Status Read(uint64_t offset, void* buf, size_t n, size_t* read) = 0;
  // Writes n bytes at offset. *written gets the count actually written; a
  // short count with an OK status means the device took fewer bytes (full).
  virtual Status Write(uint64_t offset, const void* buf, size_t n,
                       size_t* written) = 0;
  // Makes every write so far durable (fsync).
  virtual Status Sync() = 0;
  virtual Status Truncate(uint64_t length) = 0;
  virtual Status Size(uint64_t* size) = 0;

  // Byte-range locks, never waiting: a conflict returns kAccessDenied at
  // once. Locks belong to this handle (open file description), so two handles
  // of one process conflict with each other just as two processes do.
  virtual Status Lock(uint64_t offset, uint64_t length) = 0;
  virtual Status Unlock(uint64_t offset, uint64_t length) = 0;
};

struct LocalTime {
  int year = 0;    // e.g. 2026
  int month = 0;   // 1..12
  int day = 0;     // 1..31
  int hour = 0, minute = 0, second = 0;
};

class Env {
 public:
  virtual ~Env() = default;

  // The process-wide default Env over the real OS. Never deleted.
  static Env* Default();

  // Opens (or with mode::kCreate, opens or creates) a file with the access
  // and sharing of the open-mode word. Sharing is enforced between every open
  // handle of every process: an open whose access or sharing conflicts with
  // another open handle's is refused with kAccessDenied.
  virtual Status Open(const std::string& name, uint32_t open_mode,
                      std::unique_ptr<FileHandle>* out) = 0;
  virtual Status Delete(const std::string& name) = 0;
  virtual Status Rename(const std::string& from, const std::string& to) = 0;
  virtual Status Copy(const std::string& from, const std::string& to) = 0;
  virtual bool Exists(const std::string& name) = 0;

  // Creates a new, empty temporary file whose name starts with "TMP" in the
  // platform's temporary folder, opened read and write and exclusively.
  // The caller deletes it by name when done.
  virtual Status CreateTempFile(std::string* name,
                                std::unique_ptr<FileHandle>* out) = 0;

  virtual void SleepMillis(int ms) = 0;
  // A running clock in hundredths of a second (wraps).
  virtual uint32_t ClockHundredths() = 0;
  virtual LocalTime Now() = 0;
};

// Forwards every call to another Env; a test overrides just what it fakes.
class EnvWrapper : public Env {
 public:
  explicit EnvWrapper(Env* target) : target_(target) {}
  Env* target() const { return target_; }

  Status Open(const std::string& name, uint32_t open_mode,
              std::unique_ptr<FileHandle>* out) override {
    return target_->Open(name, open_mode, out);
  }
  Status Delete(const std::string& name) override { return target_->Delete(name); }
  Status Rename(const std::string& from, const std::string& to) override {
    return target_->Rename(from, to);
  }
  Status Copy(const std::string& from, const std::string& to) override {
    return target_->Copy(from, to);
  }
  bool Exists(const std::string& name) override { return target_->Exists(name); }
  Status CreateTempFile(std::string* name,
                        std::unique_ptr<FileHandle>* out) override {
    return target_->CreateTempFile(name, out);
  }
  void SleepMillis(int ms) override { target_->SleepMillis(ms); }
  uint32_t ClockHundredths() override { return target_->ClockHundredths(); }
  LocalTime Now() override { return target_->Now(); }

 private:
  Env* target_;
};

}  // namespace tessera
