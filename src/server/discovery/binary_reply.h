#pragma once

#include <cstdint>

#include "client/scanner/adapter_info.h"
#include "server/discovery/discovery_request.h"
#include "zelkit/scanner.h"

namespace zelkit::detail {

// The 32-byte answer to a request: the request's magic and scan id, the
// adapter's MAC and addresses, and the device type from the top byte of the
// first identity word (with a second type byte from its bits 8-15 when the
// first one's high nibble is 0xF).
types::AutoDetectResponseStruct makeBinaryReply(const DiscoveryRequest& request, const AdapterInfo& adapter,
                                                uint32_t identityA);

}  // namespace zelkit::detail
