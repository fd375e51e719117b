#pragma once

#include <cstdint>

#include <netinet/in.h>

// Where the direct UDP commands go: the broadcast address, by port.
namespace zelkit::detail {

constexpr uint16_t SET_IP_ADDRESS_PORT = 1759;
constexpr uint16_t SET_COMMAND_PORT = 1760;
constexpr uint16_t REQUEST_BY_MAC_PORT = 1757;

inline sockaddr_in broadcastTo(uint16_t port) {
  sockaddr_in destination{};
  destination.sin_family = AF_INET;
  destination.sin_addr.s_addr = 0xFFFFFFFF;
  destination.sin_port = htons(port);
  return destination;
}

}  // namespace zelkit::detail
