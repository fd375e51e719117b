#include "server/media/media_tunnel_request.h"

#include <cstdio>

namespace zelkit::detail {

std::string mediaTunnelRequest(uint32_t sessionId, uint32_t kind, int deviceSends, uint8_t line, uint8_t parameter,
                               int index, const char* credentials) {
  static constexpr char format[] =
      "GET /media_tunnel/%08x/%02x/%02d/%02x/%02x?index=%d HTTP/1.0\r\nAuthorization: Basic %s\r\n\r\n";
  const int length =
      std::snprintf(nullptr, 0, format, sessionId, kind, deviceSends, line, parameter, index, credentials);
  if (length < 0) return {};
  std::string text(static_cast<std::size_t>(length), '\0');
  std::snprintf(text.data(), text.size() + 1, format, sessionId, kind, deviceSends, line, parameter, index,
                credentials);
  return text;
}

}  // namespace zelkit::detail
