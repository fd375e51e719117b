#include "support/child_process.h"

#include "support/spawn.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace zeltest {

ProcessResult runProcess(const std::vector<std::string>& argv, std::string_view input,
                         std::chrono::milliseconds timeout) {
  const SpawnedChild spawned = spawnWithPipes(argv, {}, false);
  const pid_t child = spawned.pid;
  const int toChild = spawned.input;
  const int fromChild = spawned.output;

  size_t written = 0;
  while (written < input.size()) {
    const ssize_t n = ::write(toChild, input.data() + written, input.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    written += static_cast<size_t>(n);
  }
  ::close(toChild);

  ProcessResult result;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      ::kill(child, SIGKILL);
      result.timedOut = true;
      break;
    }
    pollfd pfd{fromChild, POLLIN, 0};
    const int ready = ::poll(&pfd, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;
    char buffer[4096];
    const ssize_t n = ::read(fromChild, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    result.output.append(buffer, static_cast<size_t>(n));
  }
  ::close(fromChild);

  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

}  // namespace zeltest
