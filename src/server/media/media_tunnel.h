#pragma once

#include "platform/socket.h"

namespace zelkit::detail {

struct SslContext;

// Hands an accepted socket that asked for "GET /media_tunnel/..." to the
// media stream it names; the stream may take the connection's TLS context
// too. 0 when attached, else negative (-3: no such media session).
int attachMediaTunnel(platform::Socket socket, SslContext** tls, const char* request, int length);

}  // namespace zelkit::detail
