// The server's reading of a media-tunnel request line, over any bytes.
#include <cstddef>
#include <cstdint>

#include "server/streaming/media_tunnel_target.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zelkit::detail::MediaTunnelTarget target;
  zelkit::detail::readMediaTunnelTarget(reinterpret_cast<const char*>(data), static_cast<int>(size), target);
  return 0;
}
