// TsrFileRegistry: the open physical files of a process, shared by tables.
//
// Several tables of one process that live in the same OS file share one
// TsrFile (one handle, one cache, one header copy). The registry maps names,
// compared without regard to case, to an open TsrFile with a use count:
//
//   name (upper-cased) -> { TsrFile, uses }
//
// Invariants:
//  1. An entry exists exactly while its use count is above 0; the last
//     Release closes the file (committing it) and removes the entry.
//  2. When a file is asked for with another access or sharing than it was
//     opened with, it is reopened with the merged mode (MergeModes), so one
//     handle serves both callers.
//  3. There is one registry for the whole process and one per thread (for
//     tables declared per-thread). The engine's callers serialise all calls
//     under the driver's process-wide lock, so the registries hold no locks.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "storage/env/env.h"
#include "storage/status.h"
#include "storage/tsr_file.h"

namespace tessera {

class TsrFileRegistry {
 public:
  explicit TsrFileRegistry(Env* env = Env::Default()) : env_(env) {}
  ~TsrFileRegistry();  // closes every file still registered
  TsrFileRegistry(const TsrFileRegistry&) = delete;
  TsrFileRegistry& operator=(const TsrFileRegistry&) = delete;

  // The process-wide registry and the calling thread's own.
  static TsrFileRegistry& Process();
  static TsrFileRegistry& ThisThread();
  static TsrFileRegistry& For(bool per_thread) {
    return per_thread ? ThisThread() : Process();
  }

  // The TsrFile for `name`, opened on first use; every call adds a use.
  Status OpenShared(const std::string& name, uint32_t open_mode,
                    std::string_view password, TsrFile** file);
  // Takes a use away: the last closes the file, otherwise the file's write
  // intent ends.
  Status Release(TsrFile* file);

  int UseCount(const std::string& name) const;
  size_t size() const { return entries_.size(); }

  // The mode that serves both: access the common one, else read and write;
  // sharing the common one, else the other when one is deny none, else
  // deny all. Never carries the create bit.
  static uint32_t MergeModes(uint32_t a, uint32_t b);

 private:
  struct Entry {
    std::unique_ptr<TsrFile> file;
    int uses = 0;
  };
  static std::string KeyOf(const std::string& name);

  Env* env_;
  std::map<std::string, Entry> entries_;
};

}  // namespace tessera
