// The `tsr` commands: argument parsing and each command over the engine.
//
//   tsr tables  FILE
//   tsr schema  FILE[\!TABLE]
//   tsr dump    FILE[\!TABLE] [--csv | --json] [--key NAME]
//   tsr check   FILE
//   tsr create  FILE[\!TABLE] DECLARATION
//   tsr import  FILE[\!TABLE] --csv DATA.csv
//   tsr rebuild FILE[\!TABLE]
// and --password P with any of them.
//
// Exit codes: kOk; kProblems when check found faults or import refused rows;
// kError for a usage or operational error, reported as one line on `err`
// starting "tsr: ". Commands that only read open their file read-only with
// deny none; commands that write open it deny-all, so nobody sees a half
// import or build.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace tsr {

inline constexpr int kOk = 0;
inline constexpr int kProblems = 1;
inline constexpr int kError = 2;

// Runs one command line (`args` without the program name). `terminal`:
// stderr is a terminal, so a rebuild may draw a progress bar on it.
int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
        bool terminal = false);

}  // namespace tsr
