// Internal failures: the engine's numbered consistency checks.
//
// A failed check does not return to its caller. It unwinds (as a C++
// exception that never leaves the engine) to the recovery point of the table
// operation that is running, which reports error 90 "File System Error" with
// the number as the file-error code and "Possible data corruption in file" as
// the file-error text, and locks the table out until it is closed. Cached
// pages are left as they are; nothing further is written.
//
// Invariant: every public engine entry point that can reach a check catches
// InternalFailure and turns it into a value; no InternalFailure escapes.
#pragma once

#include <exception>
#include <string>

namespace tessera {

class InternalFailure : public std::exception {
 public:
  explicit InternalFailure(int number)
      : number_(number), what_("internal failure " + std::to_string(number)) {}
  int number() const { return number_; }
  const char* what() const noexcept override { return what_.c_str(); }

 private:
  int number_;
  std::string what_;
};

[[noreturn]] inline void RaiseInternalFailure(int number) {
  throw InternalFailure(number);
}

// Checks a condition that must hold; raises the numbered failure otherwise.
inline void Check(bool condition, int number) {
  if (!condition) RaiseInternalFailure(number);
}

inline constexpr const char* kCorruptionText = "Possible data corruption in file";
inline constexpr const char* kNoFileNameText = "Tessera File Driver Error";

}  // namespace tessera
