// PosixEnv: the Env over Linux / POSIX system calls.
//
// Divisions of this file:
//   1. Error mapping      errno -> engine error codes
//   2. Share modes        emulating deny-none / deny-write / deny-read /
//                         deny-all with open-file-description locks
//   3. PosixFileHandle    read, write, sync, truncate, size, byte-range locks
//   4. PosixEnv           open, delete, rename, copy, temporary files, clock
//
// Share-mode lock area. Linux has no share modes, so every handle announces
// its access and its denials with shared (read) locks on four bytes far above
// every byte the file format ever locks (the format uses 2^31 up to
// 2^31 + 1024 + 2^32):
//
//   kShareBase + 0   gate        exclusive while one open checks and announces
//   kShareBase + 1   uses-read   held shared by every handle that may read
//   kShareBase + 2   uses-write  held shared by every handle that may write
//   kShareBase + 3   denies-read held shared by every handle denying reads
//   kShareBase + 4   denies-write held shared by every handle denying writes
//
// An open takes the gate, asks (F_OFD_GETLK) whether any other handle holds
// the bytes it must not meet (reading meets denies-read, denying writes meets
// uses-write, ...), takes its own announcements and lets the gate go. Because
// the locks are open-file-description locks they belong to the handle: two
// handles of one process check against each other exactly as two processes
// do, and closing one never drops another's announcements.
//
// Invariants:
//  1. A handle holds its share announcements from a successful open until it
//     is destroyed; they are never exclusive, so they never block each other.
//  2. The gate is held only inside Open, never across a return.
//  3. Engine lock offsets (Lock/Unlock) stay below kShareBase.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "storage/env/env.h"

namespace tessera {
namespace {

// ---------------------------------------------------------------------------
// 1. Error mapping

int EngineCode(int e) {
  switch (e) {
    case ENOENT: return err::kFileNotFound;
    case ENOTDIR: return err::kPathNotFound;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
    case EAGAIN:
      return err::kAccessDenied;
    case ENAMETOOLONG:
    case EINVAL:
      return err::kBadFileName;
    case EMFILE:
    case ENFILE:
      return err::kTooManyOpenFiles;
    default:
      return e;
  }
}

Status OsError(int e, const std::string& what) {
  return Status::Error(EngineCode(e), what + ": " + std::strerror(e), e);
}

// ---------------------------------------------------------------------------
// 2. Share modes

constexpr off_t kShareBase = off_t{1} << 41;
constexpr off_t kGate = kShareBase + 0;
constexpr off_t kUsesRead = kShareBase + 1;
constexpr off_t kUsesWrite = kShareBase + 2;
constexpr off_t kDeniesRead = kShareBase + 3;
constexpr off_t kDeniesWrite = kShareBase + 4;

// Sets or clears an open-file-description lock on one byte range.
//
// Trap: classic POSIX locks (F_SETLK) belong to the process, and closing ANY
// descriptor of the file drops every lock the process holds on it, even
// those taken through another descriptor. The engine opens one file through
// several handles (tables, registries, a second handle to check sharing), so
// that would silently drop locks. F_OFD_SETLK locks belong to the open file
// description instead: they are released only when that handle is closed,
// and two handles of one process conflict like two processes.
int OfdLock(int fd, short type, off_t start, off_t len, bool wait) {
  struct flock fl;
  std::memset(&fl, 0, sizeof fl);
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = start;
  fl.l_len = len;
  fl.l_pid = 0;  // required by OFD locks
  int rc;
  do {
    rc = fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl);
  } while (rc == -1 && errno == EINTR);
  return rc == -1 ? errno : 0;
}

// True when some other open file description holds a lock on the byte.
bool Held(int fd, off_t byte) {
  struct flock fl;
  std::memset(&fl, 0, sizeof fl);
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = byte;
  fl.l_len = 1;
  if (fcntl(fd, F_OFD_GETLK, &fl) == -1) return false;
  return fl.l_type != F_UNLCK;
}

// What an open handle may do and what it forbids others.
struct ShareWish {
  bool reads, writes, deny_read, deny_write;
};

ShareWish WishFor(uint32_t open_mode) {
  ShareWish w{};
  uint32_t access = mode::Access(open_mode);
  bool create = (open_mode & mode::kCreate) != 0;
  if (create) {
    w.writes = access != mode::kReadOnly;
    w.reads = true;
  } else {
    w.reads = access != mode::kWriteOnly;
    w.writes = access != mode::kReadOnly;
  }
  switch (mode::Sharing(open_mode)) {
    case mode::kDenyAll: w.deny_read = w.deny_write = true; break;
    case mode::kDenyWrite: w.deny_write = true; break;
    // Deny read: opened with create it shares nothing; opened existing it
    // still lets others write.
    case mode::kDenyRead: w.deny_read = true; w.deny_write = create; break;
    default: break;
  }
  return w;
}

// Checks the wish against every other handle and announces it. Returns 0 or
// an engine error code.
Status Announce(int fd, const ShareWish& w) {
  int e = OfdLock(fd, F_WRLCK, kGate, 1, /*wait=*/true);
  if (e != 0) return OsError(e, "share gate");
  bool conflict = (w.reads && Held(fd, kDeniesRead)) ||
                  (w.writes && Held(fd, kDeniesWrite)) ||
                  (w.deny_read && Held(fd, kUsesRead)) ||
                  (w.deny_write && Held(fd, kUsesWrite));
  Status s;
  if (conflict) {
    s = Status::Error(err::kAccessDenied, "sharing violation");
  } else {
    const std::pair<bool, off_t> marks[] = {{w.reads, kUsesRead},
                                            {w.writes, kUsesWrite},
                                            {w.deny_read, kDeniesRead},
                                            {w.deny_write, kDeniesWrite}};
    for (const auto& [want, byte] : marks) {
      if (!want) continue;
      int le = OfdLock(fd, F_RDLCK, byte, 1, /*wait=*/false);
      if (le != 0) {
        s = le == EAGAIN || le == EACCES
                ? Status::Error(err::kAccessDenied, "sharing violation")
                : OsError(le, "share lock");
        break;
      }
    }
  }
  OfdLock(fd, F_UNLCK, kGate, 1, false);
  return s;
}

// ---------------------------------------------------------------------------
// 3. PosixFileHandle

class PosixFileHandle final : public FileHandle {
 public:
  PosixFileHandle(int fd, bool may_read, bool may_write, std::string name)
      : fd_(fd), may_read_(may_read), may_write_(may_write),
        name_(std::move(name)) {}
  ~PosixFileHandle() override { ::close(fd_); }

  Status Read(uint64_t offset, void* buf, size_t n, size_t* read) override {
    *read = 0;
    if (!may_read_) return Status::Error(err::kAccessDenied, "not open for reading");
    auto* p = static_cast<char*>(buf);
    while (*read < n) {
      ssize_t r = ::pread(fd_, p + *read, n - *read, static_cast<off_t>(offset + *read));
      if (r < 0) {
        if (errno == EINTR) continue;
        return OsError(errno, "read " + name_);
      }
      if (r == 0) break;
      *read += static_cast<size_t>(r);
    }
    return Status::OK();
  }

  Status Write(uint64_t offset, const void* buf, size_t n, size_t* written) override {
    *written = 0;
    if (!may_write_) return Status::Error(err::kAccessDenied, "not open for writing");
    auto* p = static_cast<const char*>(buf);
    while (*written < n) {
      ssize_t r = ::pwrite(fd_, p + *written, n - *written,
                           static_cast<off_t>(offset + *written));
      if (r < 0) {
        if (errno == EINTR) continue;
        // A full device after part of the data went out is a short write.
        if (errno == ENOSPC && *written > 0) return Status::OK();
        return OsError(errno, "write " + name_);
      }
      if (r == 0) break;
      *written += static_cast<size_t>(r);
    }
    return Status::OK();
  }

  Status Sync() override {
    if (::fsync(fd_) != 0) return OsError(errno, "sync " + name_);
    return Status::OK();
  }

  Status Truncate(uint64_t length) override {
    if (!may_write_) return Status::Error(err::kAccessDenied, "not open for writing");
    if (::ftruncate(fd_, static_cast<off_t>(length)) != 0)
      return OsError(errno, "truncate " + name_);
    return Status::OK();
  }

  Status Size(uint64_t* size) override {
    struct stat st;
    if (::fstat(fd_, &st) != 0) return OsError(errno, "size " + name_);
    *size = static_cast<uint64_t>(st.st_size);
    return Status::OK();
  }

  // The OFD trap is written down at OfdLock: these locks belong to this
  // handle only.
  Status Lock(uint64_t offset, uint64_t length) override {
    if (static_cast<off_t>(offset + length) > kShareBase)
      return Status::Error(err::kBadFileName, "lock range overlaps the share area");
    int e = OfdLock(fd_, F_WRLCK, static_cast<off_t>(offset),
                    static_cast<off_t>(length), false);
    if (e == 0) return Status::OK();
    if (e == EAGAIN || e == EACCES)
      return Status::Error(err::kAccessDenied, "region locked", e);
    return OsError(e, "lock " + name_);
  }

  Status Unlock(uint64_t offset, uint64_t length) override {
    int e = OfdLock(fd_, F_UNLCK, static_cast<off_t>(offset),
                    static_cast<off_t>(length), false);
    return e == 0 ? Status::OK() : OsError(e, "unlock " + name_);
  }

 private:
  int fd_;
  bool may_read_, may_write_;
  std::string name_;
};

// ---------------------------------------------------------------------------
// 4. PosixEnv

bool ParentExists(const std::string& name) {
  size_t slash = name.find_last_of('/');
  if (slash == std::string::npos) return true;
  std::string dir = slash == 0 ? "/" : name.substr(0, slash);
  struct stat st;
  return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

class PosixEnv final : public Env {
 public:
  Status Open(const std::string& name, uint32_t open_mode,
              std::unique_ptr<FileHandle>* out) override {
    out->reset();
    if (name.empty()) return Status::Error(err::kBadFileName, "empty file name");
    ShareWish w = WishFor(open_mode);
    int flags = O_CLOEXEC;
    if (open_mode & mode::kCreate) flags |= O_CREAT;
    // The descriptor is opened for reading and writing whenever the file
    // permits, whatever access the caller asked for: Linux only grants an
    // exclusive byte-range lock through a writable descriptor and a shared
    // one through a readable descriptor, while the engine locks reader slots
    // of files it only reads. The handle enforces the access asked for.
    int fd = ::open(name.c_str(), flags | O_RDWR, 0666);
    if (fd < 0 && (errno == EACCES || errno == EROFS || errno == EPERM) && !w.writes) {
      fd = ::open(name.c_str(), flags | O_RDONLY, 0666);
    }
    if (fd < 0) {
      int e = errno;
      // Linux says ENOENT for a missing folder too; tell the two apart.
      if (e == ENOENT && !ParentExists(name))
        return Status::Error(err::kPathNotFound, "open " + name + ": path not found", e);
      return OsError(e, "open " + name);
    }
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
      ::close(fd);
      return Status::Error(err::kAccessDenied, "open " + name + ": is a directory", EISDIR);
    }
    Status s = Announce(fd, w);
    if (!s.ok()) {
      ::close(fd);
      return s;
    }
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
    *out = std::make_unique<PosixFileHandle>(fd, w.reads, w.writes, name);
    return Status::OK();
  }

  Status Delete(const std::string& name) override {
    if (::unlink(name.c_str()) != 0) return OsError(errno, "delete " + name);
    return Status::OK();
  }

  Status Rename(const std::string& from, const std::string& to) override {
    if (::rename(from.c_str(), to.c_str()) != 0)
      return OsError(errno, "rename " + from);
    return Status::OK();
  }

  Status Copy(const std::string& from, const std::string& to) override {
    int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return OsError(errno, "copy " + from);
    int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (out < 0) {
      int e = errno;
      ::close(in);
      return OsError(e, "copy to " + to);
    }
    Status s;
    char buf[1 << 16];
    for (;;) {
      ssize_t r = ::read(in, buf, sizeof buf);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) { s = OsError(errno, "copy " + from); break; }
      if (r == 0) break;
      ssize_t done = 0;
      while (done < r) {
        ssize_t w = ::write(out, buf + done, static_cast<size_t>(r - done));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) { s = OsError(w < 0 ? errno : ENOSPC, "copy to " + to); break; }
        done += w;
      }
      if (!s.ok()) break;
    }
    if (s.ok() && ::fsync(out) != 0) s = OsError(errno, "copy to " + to);
    ::close(in);
    ::close(out);
    return s;
  }

  bool Exists(const std::string& name) override {
    return ::access(name.c_str(), F_OK) == 0;
  }

  Status CreateTempFile(std::string* name, std::unique_ptr<FileHandle>* out) override {
    const char* dir = std::getenv("TMPDIR");
    std::string path = (dir && *dir) ? dir : "/tmp";
    if (path.back() != '/') path += '/';
    path += "TMPXXXXXX";
    int fd = ::mkstemp(path.data());
    if (fd < 0) return OsError(errno, "temporary file in " + path);
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    Status s = Announce(fd, ShareWish{true, true, true, true});
    if (!s.ok()) {
      ::close(fd);
      ::unlink(path.c_str());
      return s;
    }
    *name = path;
    *out = std::make_unique<PosixFileHandle>(fd, true, true, path);
    return Status::OK();
  }

  void SleepMillis(int ms) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }

  uint32_t ClockHundredths() override {
    struct timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 100u +
                                 static_cast<uint64_t>(ts.tv_nsec) / 10'000'000u);
  }

  LocalTime Now() override {
    time_t t = ::time(nullptr);
    struct tm tm;
    ::localtime_r(&t, &tm);
    return LocalTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                     tm.tm_hour, tm.tm_min, tm.tm_sec};
  }
};

}  // namespace

Env* Env::Default() {
  static PosixEnv* env = new PosixEnv;  // never deleted: outlives every handle
  return env;
}

}  // namespace tessera
