#include "support/spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <stdexcept>

extern char** environ;

namespace zeltest {

SpawnedChild spawnWithPipes(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnvironment,
                            bool mergeStandardError) {
  ::signal(SIGPIPE, SIG_IGN);
  int toChild[2];
  int fromChild[2];
  if (::pipe2(toChild, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  if (::pipe2(fromChild, O_CLOEXEC) != 0) {
    ::close(toChild[0]);
    ::close(toChild[1]);
    throw std::runtime_error("pipe");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, toChild[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, fromChild[1], STDOUT_FILENO);
  if (mergeStandardError) posix_spawn_file_actions_adddup2(&actions, fromChild[1], STDERR_FILENO);
  std::vector<char*> arguments;
  for (const std::string& argument : argv) arguments.push_back(const_cast<char*>(argument.c_str()));
  arguments.push_back(nullptr);
  std::vector<char*> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) environment.push_back(*entry);
  for (const std::string& entry : extraEnvironment) environment.push_back(const_cast<char*>(entry.c_str()));
  environment.push_back(nullptr);
  SpawnedChild child;
  const int spawned = ::posix_spawnp(&child.pid, arguments[0], &actions, nullptr, arguments.data(), environment.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(toChild[0]);
  ::close(fromChild[1]);
  if (spawned != 0) {
    ::close(toChild[1]);
    ::close(fromChild[0]);
    throw std::runtime_error("cannot run " + argv[0]);
  }
  child.input = toChild[1];
  child.output = fromChild[0];
  return child;
}

}  // namespace zeltest
