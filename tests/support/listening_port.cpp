#include "support/listening_port.h"

#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

namespace zeltest {

namespace {

constexpr char LISTEN_STATE[] = "0A";

bool listening(uint16_t port) {
  std::ifstream table("/proc/net/tcp");
  char wanted[32];
  std::snprintf(wanted, sizeof wanted, "0100007F:%04X", port);
  std::string line;
  std::getline(table, line);  // the column names
  while (std::getline(table, line)) {
    char local[64] = {};
    char remote[64] = {};
    char state[8] = {};
    unsigned slot = 0;
    if (std::sscanf(line.c_str(), " %u: %63s %63s %7s", &slot, local, remote, state) != 4) continue;
    if (wanted == std::string(local) && std::string(state) == LISTEN_STATE) return true;
  }
  return false;
}

}  // namespace

bool waitUntilListening(uint16_t port, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (!listening(port)) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace zeltest
