#include <cstdio>
#include <cstring>

#include "core/connection/connection.h"
#include "core/wire/conversions.h"
#include "core/engine/lock.h"
#include "platform/errors.h"
#include "platform/socket.h"

namespace zelkit::detail {

namespace {

constexpr int TUNNEL_REQUEST_MAX = 2048;
constexpr int CREDENTIALS_MAX = 1024;

}  // namespace

char* Connection::basicCredentials(char* out, int outSize) const {
  // Only the user "cookie" sends its password through the tunnel.
  const bool cookie = std::strcmp(user, "cookie") == 0;
  return encodeBasicCredentials(cookie ? "cookie" : user, cookie ? password : "", out, static_cast<std::size_t>(outSize));
}

void Connection::sendTunnelRequest() {
  char credentials[CREDENTIALS_MAX];
  basicCredentials(credentials, sizeof credentials);
  char request[TUNNEL_REQUEST_MAX];
  int length = std::snprintf(request, sizeof request,
                             "GET /zel_tunnel HTTP/1.0\r\nHost: %s\r\nAuthorization: Basic %s\r\n\r\n", host,
                             credentials);
  if (length >= TUNNEL_REQUEST_MAX) length = TUNNEL_REQUEST_MAX - 1;

  if (ssl != nullptr) {
    queueRawPacket(request, length, true);
    return;
  }
  // Plain TCP: written before any packet can be; a fresh socket takes it whole.
  if (platform::sendBytes(socketHandle, request, length) != length)
    close(LocalEvent::ConnectionClosed, "Error sending packet %d", platform::lastError());
}

}  // namespace zelkit::detail
