#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <optional>

#include "support/wire_codec.h"

namespace zeltest {

struct Datagram {
  Bytes bytes;
  sockaddr_in from;
};

// A plain UDP socket standing for devices: bound to the any-address on a
// port, joined to a multicast group when one is given. Throws
// std::runtime_error when it cannot be set up.
class UdpPeer {
 public:
  explicit UdpPeer(uint16_t port, const char* group = nullptr);
  ~UdpPeer();
  UdpPeer(const UdpPeer&) = delete;
  UdpPeer& operator=(const UdpPeer&) = delete;

  // The next datagram (whole, up to 64 KiB), or nothing within the time.
  std::optional<Datagram> receive(std::chrono::milliseconds timeout);
  // Port in host order.
  void sendTo(const Bytes& bytes, const sockaddr_in& to, uint16_t port);
  void sendTo(const Bytes& bytes, const sockaddr_in& to) { sendTo(bytes, to, ntohs(to.sin_port)); }

 private:
  int fd_ = -1;
};

}  // namespace zeltest
