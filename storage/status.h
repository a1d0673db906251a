// Status: the result of an operation that can fail, returned by value.
//
// Engine calls never throw across their public boundary; they return a Status
// (or a code) instead. A Status carries the engine error code (0 = success;
// the codes are the table-operation error numbers: 2 "File Not Found",
// 5 "Access Denied", 36 "Invalid Data File", 90 "File System Error", ...),
// the OS error number behind it where there is one, and a message for people.
#pragma once

#include <string>
#include <utility>

namespace tessera {

class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(int code, std::string message, int os_error = 0)
      : code_(code), os_error_(os_error), message_(std::move(message)) {}

  static Status OK() { return Status(); }
  static Status Error(int code, std::string message, int os_error = 0) {
    return Status(code, std::move(message), os_error);
  }

  bool ok() const { return code_ == 0; }
  int code() const { return code_; }
  int os_error() const { return os_error_; }
  const std::string& message() const { return message_; }
  std::string ToString() const {
    return ok() ? std::string("OK")
                : "error " + std::to_string(code_) + ": " + message_;
  }

 private:
  int code_ = 0;
  int os_error_ = 0;
  std::string message_;
};

// Engine error codes used at the OS layer and above.
namespace err {
inline constexpr int kFileNotFound = 2;
inline constexpr int kPathNotFound = 3;
inline constexpr int kTooManyOpenFiles = 4;
inline constexpr int kAccessDenied = 5;
inline constexpr int kInvalidDataFile = 36;
inline constexpr int kCreatesDuplicateKey = 40;
inline constexpr int kBadFileName = 45;
inline constexpr int kInvalidIndexString = 76;
inline constexpr int kFileSystemError = 90;
inline constexpr int kBuildCancelled = 93;
}  // namespace err

}  // namespace tessera
