// RunTsr: runs the real `tsr` program in a child process (fork/exec) and
// collects its exit code, standard output and standard error.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace tsr::testing {

struct Outcome {
  int code = -1;  // exit code; -1 when the program did not exit normally
  std::string out, err;
};

inline std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// `scratch`: a folder for the captured streams.
inline Outcome RunTsr(const std::vector<std::string>& args, const std::string& scratch) {
  const std::string out_path = scratch + "/tsr.out", err_path = scratch + "/tsr.err";
  const pid_t pid = fork();
  if (pid == 0) {
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(out, 1);
    dup2(err, 2);
    std::vector<char*> argv;
    std::string program = TSR_BINARY;
    argv.push_back(program.data());
    std::vector<std::string> copy = args;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(TSR_BINARY, argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  Outcome o;
  o.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  o.out = ReadAll(out_path);
  o.err = ReadAll(err_path);
  return o;
}

}  // namespace tsr::testing
