#include "support/background_process.h"

#include "support/spawn.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace zeltest {

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argv,
                                     const std::vector<std::string>& extraEnvironment) {
  const SpawnedChild child = spawnWithPipes(argv, extraEnvironment, true);
  pid_ = child.pid;
  input_ = child.input;
  output_fd_ = child.output;
}

BackgroundProcess::~BackgroundProcess() {
  closeInput();
  if (!status_) {
    ::kill(pid_, SIGTERM);
    if (!waitForExit(std::chrono::milliseconds(2000))) {
      ::kill(pid_, SIGKILL);
      int status = 0;
      while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
    }
  }
  if (output_fd_ >= 0) ::close(output_fd_);
}

bool BackgroundProcess::readSome(std::chrono::milliseconds timeout) {
  if (output_fd_ < 0) return false;
  pollfd pfd{output_fd_, POLLIN, 0};
  const int ready = ::poll(&pfd, 1, static_cast<int>(timeout.count()));
  if (ready <= 0) return true;
  char buffer[4096];
  const ssize_t n = ::read(output_fd_, buffer, sizeof buffer);
  if (n < 0 && errno == EINTR) return true;
  if (n <= 0) {
    ::close(output_fd_);
    output_fd_ = -1;
    return false;
  }
  output_.append(buffer, static_cast<size_t>(n));
  return true;
}

std::optional<std::string> BackgroundProcess::waitForLine(std::string_view text, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  bool open = true;
  bool outOfTime = false;
  for (;;) {
    // Whole lines only: a line still being written is looked at again.
    size_t lineEnd;
    while ((lineEnd = output_.find('\n', scanned_)) != std::string::npos) {
      std::string line = output_.substr(scanned_, lineEnd - scanned_);
      scanned_ = lineEnd + 1;
      if (line.find(text) != std::string::npos) return line;
    }
    if (!open) {
      // The program ended; its last line may have no newline.
      if (scanned_ < output_.size() && output_.find(text, scanned_) != std::string::npos) {
        std::string rest = output_.substr(scanned_);
        scanned_ = output_.size();
        return rest;
      }
      return std::nullopt;
    }
    if (outOfTime) return std::nullopt;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      // Out of time: what is written already still counts.
      outOfTime = true;
      open = readAvailable();
    } else {
      open = readSome(std::min(left, std::chrono::milliseconds(100)));
    }
  }
}

std::optional<int> BackgroundProcess::waitForExit(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!status_) {
    int status = 0;
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      break;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    if (!readSome(std::min(left, std::chrono::milliseconds(20)))) ::usleep(10000);
  }
  readAvailable();  // what the program wrote before it ended
  return status_;
}

bool BackgroundProcess::readAvailable() {
  for (;;) {
    if (output_fd_ < 0) return false;
    pollfd pfd{output_fd_, POLLIN, 0};
    if (::poll(&pfd, 1, 0) <= 0) return true;
    if (!readSome(std::chrono::milliseconds(0))) return false;
  }
}

void BackgroundProcess::writeInput(std::string_view bytes) {
  size_t written = 0;
  while (input_ >= 0 && written < bytes.size()) {
    const ssize_t n = ::write(input_, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    written += static_cast<size_t>(n);
  }
}

void BackgroundProcess::closeInput() {
  if (input_ >= 0) ::close(input_);
  input_ = -1;
}

}  // namespace zeltest
