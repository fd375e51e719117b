#pragma once

// An outside program running beside a test (a TLS peer, a server), with
// its standard output and error read as lines; killed when the object goes.

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zeltest {

class BackgroundProcess {
 public:
  // argv[0] is looked up in PATH; extraEnvironment holds "NAME=value"
  // entries added to the test's environment. Throws std::runtime_error
  // when the program cannot be started.
  explicit BackgroundProcess(const std::vector<std::string>& argv,
                             const std::vector<std::string>& extraEnvironment = {});
  ~BackgroundProcess();
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;

  // The first line of output (standard output and error together) that
  // contains text, waiting up to timeout; nullopt when the program ends or
  // the time runs out first. Output already written is looked at even when
  // the time is out (timeout 0 included).
  std::optional<std::string> waitForLine(std::string_view text, std::chrono::milliseconds timeout);
  // Waits up to timeout for the program to end, reading its output; its
  // exit status (128 + signal), or nullopt when it is still running.
  std::optional<int> waitForExit(std::chrono::milliseconds timeout);
  // Reads, without waiting, everything the program has written so far, so
  // that it never blocks on a full pipe; false once its output has ended.
  bool readAvailable();
  // Everything it has written so far.
  const std::string& output() const { return output_; }

  void writeInput(std::string_view bytes);
  void closeInput();

 private:
  // Reads what is there within the time; false at end of output.
  bool readSome(std::chrono::milliseconds timeout);

  pid_t pid_ = -1;
  int input_ = -1;
  int output_fd_ = -1;
  std::string output_;
  size_t scanned_ = 0;  // output before this offset has been matched against
  std::optional<int> status_;
};

}  // namespace zeltest
