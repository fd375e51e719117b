#include "core/log/log_file_name.h"

#include <cstdio>

namespace zelkit::detail {

namespace {

constexpr std::size_t HOST_NAME_MAX_CHARACTERS = 63;

bool isAsciiLetterOrDigit(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

// The well-known ports leave the name alone: one device, one file.
bool isDefaultPort(uint16_t port) { return port == 1756 || port == 80 || port == 443; }

}  // namespace

std::string logFileName(uint32_t ipv4Address, const char* host, uint16_t port, bool serverSide) {
  std::string name;
  if (ipv4Address != 0) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(&ipv4Address);
    char dotted[16];
    std::snprintf(dotted, sizeof dotted, "%d.%d.%d.%d", bytes[0], bytes[1], bytes[2], bytes[3]);
    name = dotted;
  } else {
    for (const char* c = host != nullptr ? host : ""; *c != '\0' && name.size() < HOST_NAME_MAX_CHARACTERS; ++c)
      name += isAsciiLetterOrDigit(*c) ? *c : '_';
  }
  if (!serverSide && !isDefaultPort(port)) name += "_" + std::to_string(port);
  return name + ".log";
}

}  // namespace zelkit::detail
