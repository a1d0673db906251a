// tsr: the command-line tool for Tessera files. See commands.h.
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "tools/tsr/commands.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return tsr::Run(args, std::cout, std::cerr, isatty(STDERR_FILENO) != 0);
}
