#pragma once

// Runs one of the project's programs under test as a child process, with
// its exit status and a time limit (outside oracles: external_tool.h).

#include <sys/types.h>

#include <chrono>
#include <optional>
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

// A program that runs beside the test (a peer, a packet capture). Its
// standard output and error go to the file given; the destructor kills it
// when it still runs. Throws std::runtime_error when it cannot start.
class RunningProgram {
 public:
  explicit RunningProgram(const std::vector<std::string>& argv, const std::string& outputFile = "/dev/null");
  ~RunningProgram();
  RunningProgram(const RunningProgram&) = delete;
  RunningProgram& operator=(const RunningProgram&) = delete;

  void signal(int number);
  // The exit status (128 + the signal that ended it), or nothing while it
  // still runs when the time is up.
  std::optional<int> wait(std::chrono::milliseconds timeout);

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
};

}  // namespace zeltest
