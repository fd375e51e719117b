#pragma once

#include <cstdint>

// Reading a scan request as the responder receives it.
namespace zelkit::detail {

// Longer datagrams are no scan request: they are not answered.
constexpr int MAX_DISCOVERY_REQUEST = 32;

struct DiscoveryRequest {
  uint8_t head[8];  // magic and scan id, echoed in the binary reply
  char requestByte1;
  char requestByte2;
  uint16_t replyPort;  // network order, as received
};

// True when the datagram is a scan request: 12 to 32 bytes starting with the
// magic.
bool readDiscoveryRequest(const uint8_t* datagram, int length, DiscoveryRequest& out);

}  // namespace zelkit::detail
