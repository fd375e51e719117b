#pragma once
// Starts a program with pipes on its standard input and output: the common
// start of the test's child processes.

#include <sys/types.h>

#include <string>
#include <vector>

namespace zeltest {

struct SpawnedChild {
  pid_t pid = -1;
  int input = -1;   // writes reach the child's standard input
  int output = -1;  // reads its standard output (and error, when merged)
};

// argv[0] is looked up in PATH; extraEnvironment holds "NAME=value" entries
// added to the test's environment. SIGPIPE is ignored from then on, so that
// a child exiting without reading its input does not end the test. Throws
// std::runtime_error when the program cannot be started.
SpawnedChild spawnWithPipes(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnvironment,
                            bool mergeStandardError);

}  // namespace zeltest
