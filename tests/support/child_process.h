#pragma once

// Runs one of the project's programs under test as a child process, with
// its exit status and a time limit (outside oracles: external_tool.h).

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace zeltest {

struct ProcessResult {
  int exitStatus = -1;  // the exit code, or 128 + the signal that ended it
  bool timedOut = false;  // killed when the time ran out
  std::string output;   // standard output
};

// argv[0] is looked up in PATH. The input is written to the child's
// standard input before its output is read, so it must be small. Throws
// std::runtime_error when the program cannot be started.
ProcessResult runProcess(const std::vector<std::string>& argv, std::string_view input,
                         std::chrono::milliseconds timeout);

}  // namespace zeltest
