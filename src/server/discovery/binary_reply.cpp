#include "server/discovery/binary_reply.h"

#include <cstring>

#include "client/scanner/discovery_format.h"

namespace zelkit::detail {

types::AutoDetectResponseStruct makeBinaryReply(const DiscoveryRequest& request, const AdapterInfo& adapter,
                                                uint32_t identityA) {
  types::AutoDetectResponseStruct reply{};
  std::memcpy(reply.magic, request.head, sizeof reply.magic);
  std::memcpy(reply.scanId, request.head + REQUEST_SCAN_ID, sizeof reply.scanId);
  std::memcpy(reply.mac, adapter.mac, sizeof reply.mac);
  reply.replyKind = BINARY_REPLY_KIND;
  reply.deviceType = static_cast<uint8_t>(identityA >> 24);
  std::memcpy(&reply.ipAddress, adapter.address, sizeof reply.ipAddress);
  std::memcpy(&reply.subnetMask, adapter.subnetMask, sizeof reply.subnetMask);
  std::memcpy(&reply.gateway, adapter.gateway, sizeof reply.gateway);
  if ((reply.deviceType & 0xF0) == 0xF0) reply.reserved[3] = static_cast<uint8_t>(identityA >> 8);
  return reply;
}

}  // namespace zelkit::detail
