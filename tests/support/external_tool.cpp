#include "support/external_tool.h"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include <sys/wait.h>
#include <unistd.h>

namespace zelkit::test {

bool toolAvailable(const std::string& program) {
  const std::string command = "command -v " + program + " >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

std::optional<Bytes> runTool(const std::string& command, const Bytes& input) {
  char path[] = "/tmp/zelkit-tool-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return std::nullopt;
  std::size_t written = 0;
  while (written < input.size()) {
    const ssize_t n = write(fd, input.data() + written, input.size() - written);
    if (n <= 0) break;
    written += static_cast<std::size_t>(n);
  }
  close(fd);

  std::optional<Bytes> output;
  if (written == input.size()) {
    const std::string full = command + " < " + path;
    if (FILE* pipe = popen(full.c_str(), "r")) {
      Bytes out;
      uint8_t chunk[4096];
      std::size_t n;
      while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) out.insert(out.end(), chunk, chunk + n);
      const int status = pclose(pipe);
      if (status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0) output = std::move(out);
    }
  }
  unlink(path);
  return output;
}

std::string toHex(const uint8_t* data, std::size_t length) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  text.reserve(2 * length);
  for (std::size_t i = 0; i < length; ++i) {
    text += digits[data[i] >> 4];
    text += digits[data[i] & 15];
  }
  return text;
}

Bytes fromHex(const std::string& hex) {
  auto value = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  Bytes bytes;
  int high = -1;
  for (char c : hex) {
    if (c == ' ' || c == '\n' || c == '\r' || c == '\t') continue;
    const int v = value(c);
    if (v < 0) throw std::invalid_argument("not a hex digit in: " + hex);
    if (high < 0) {
      high = v;
    } else {
      bytes.push_back(static_cast<uint8_t>(high << 4 | v));
      high = -1;
    }
  }
  if (high >= 0) throw std::invalid_argument("odd number of hex digits in: " + hex);
  return bytes;
}

}  // namespace zelkit::test
