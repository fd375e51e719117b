#include "server/discovery/discovery_request.h"

#include <cstring>

#include "client/scanner/discovery_format.h"
#include "core/wire/byte_io.h"

namespace zelkit::detail {

bool readDiscoveryRequest(const uint8_t* datagram, int length, DiscoveryRequest& out) {
  if (length < SCAN_REQUEST_SIZE || length > MAX_DISCOVERY_REQUEST) return false;
  if (readBE32(datagram) != SCAN_MAGIC) return false;
  std::memcpy(out.head, datagram, sizeof out.head);
  out.requestByte1 = static_cast<char>(datagram[REQUEST_BYTE_1]);
  out.requestByte2 = static_cast<char>(datagram[REQUEST_BYTE_2]);
  std::memcpy(&out.replyPort, datagram + REQUEST_REPLY_PORT, sizeof out.replyPort);
  return true;
}

}  // namespace zelkit::detail
