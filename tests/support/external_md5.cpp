#include "support/external_md5.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <stdexcept>

extern char** environ;

namespace zeltest {
namespace {

void closeIfOpen(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

std::string externalMd5Hex(std::string_view data) {
  int toChild[2];
  int fromChild[2];
  if (::pipe2(toChild, O_CLOEXEC) != 0) throw std::runtime_error("pipe for md5sum");
  if (::pipe2(fromChild, O_CLOEXEC) != 0) {
    ::close(toChild[0]);
    ::close(toChild[1]);
    throw std::runtime_error("pipe for md5sum");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, toChild[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, fromChild[1], STDOUT_FILENO);
  char program[] = "md5sum";
  char* argv[] = {program, nullptr};
  pid_t child = -1;
  const int spawned = ::posix_spawnp(&child, program, &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  closeIfOpen(toChild[0]);
  closeIfOpen(fromChild[1]);
  if (spawned != 0) {
    closeIfOpen(toChild[1]);
    closeIfOpen(fromChild[0]);
    throw std::runtime_error("cannot run md5sum");
  }
  // The input is small (a login text), so writing it all before reading
  // cannot fill both pipes at once.
  size_t written = 0;
  while (written < data.size()) {
    const ssize_t n = ::write(toChild[1], data.data() + written, data.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    written += static_cast<size_t>(n);
  }
  closeIfOpen(toChild[1]);
  std::string output;
  std::array<char, 256> buffer;
  for (;;) {
    const ssize_t n = ::read(fromChild[0], buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    output.append(buffer.data(), static_cast<size_t>(n));
  }
  closeIfOpen(fromChild[0]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (written != data.size() || !WIFEXITED(status) || WEXITSTATUS(status) != 0 || output.size() < 32) {
    throw std::runtime_error("md5sum failed");
  }
  return output.substr(0, 32);
}

std::string expectedLoginDigest(std::string_view challenge, std::string_view user, std::string_view password) {
  std::string text = "+";
  text.append(challenge).append("+++").append(user).append(":").append(password).append("+");
  return externalMd5Hex(text);
}

}  // namespace zeltest
