#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// The command line of the example device.
struct Options {
  std::string name;
  std::string address;  // shown only: the listeners take every local address
  std::string password;
  uint16_t zelPort = 0;
  uint16_t httpPort = 0;
  uint16_t httpsPort = 0;
  std::vector<std::pair<uint32_t, uint16_t>> refusals;  // command word, error code
  std::string recordFile;
  std::optional<size_t> count;
};

extern const char* const kUsage;

std::optional<Options> parseOptions(int argc, char** argv);
