#pragma once

#include <cstdint>
#include <string>

namespace zelkit::detail {

// The first bytes a client sends on a TCP media connection to a device's
// HTTP port, built to whatever length the credentials need:
// "GET /media_tunnel/<session %08x>/<kind %02x>/<device sends %02d>/<line %02x>/<parameter %02x>?index=<n> HTTP/1.0"
// with the Basic authorization line and an empty line.
std::string mediaTunnelRequest(uint32_t sessionId, uint32_t kind, int deviceSends, uint8_t line, uint8_t parameter,
                               int index, const char* credentials);

}  // namespace zelkit::detail
