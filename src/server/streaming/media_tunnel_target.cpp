#include "server/streaming/media_tunnel_target.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace zelkit::detail {

namespace {

constexpr int REQUEST_TEXT_MAX = 511;

}  // namespace

bool readMediaTunnelTarget(const char* request, int length, MediaTunnelTarget& out) {
  out = MediaTunnelTarget();
  char text[REQUEST_TEXT_MAX + 1];
  const int kept = std::clamp(length, 0, REQUEST_TEXT_MAX);
  std::memcpy(text, request, static_cast<size_t>(kept));
  text[kept] = '\0';
  unsigned sessionId = 0, type = 0, line = 0, argument = 0, index = 0;
  int direction = 0;
  const int read = std::sscanf(text, "GET /media_tunnel/%8x/%2x/%2d/%2x/%2x?index=%u", &sessionId, &type, &direction,
                               &line, &argument, &index);
  if (read < 1) return false;
  out.sessionId = sessionId;
  if (read >= 2) out.type = type;
  if (read >= 4) out.line = line;
  if (read >= 5) out.argument = argument;
  if (read >= 6) out.index = index;
  return true;
}

}  // namespace zelkit::detail
