#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace camstore {

struct Arguments {
  std::string encoderUrl;
  std::string cameraUrl;
  uint32_t encoderAddress = 0;  // IPv4 address bytes in wire order, as inet_addr gives them
  uint32_t cameraAddress = 0;
  bool formatStorage = false;
};

// The command line, or nothing when the usage text is due: fewer than two
// URLs, or a URL whose host is not a dotted IPv4 address (its address goes
// into both devices' configuration, so it must not be guessed).
std::optional<Arguments> parseArguments(int argc, const char* const* argv);

extern const char* const kUsageText;

}  // namespace camstore
