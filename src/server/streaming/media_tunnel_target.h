#pragma once

#include <cstdint>

namespace zelkit::detail {

// What a "GET /media_tunnel/<session>/<type>/<direction>/<line>/<argument>?index=<n>"
// request names. Fields the text does not reach stay 0.
struct MediaTunnelTarget {
  uint32_t sessionId = 0;
  uint32_t type = 0;
  uint32_t line = 0;
  uint32_t argument = 0;
  uint32_t index = 0;  // 0: by type
};

// Reads the first 511 characters of the request (sessionId through index,
// hexadecimal but for the direction and the index); false when the text
// does not begin with the request at all.
bool readMediaTunnelTarget(const char* request, int length, MediaTunnelTarget& out);

}  // namespace zelkit::detail
