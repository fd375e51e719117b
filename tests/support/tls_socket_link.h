#pragma once

#include <cstdint>
#include <string>

#include "support/tls_memory_link.h"
#include "security/tls/ssl_context.h"

// TLS contexts over blocking TCP sockets on 127.0.0.1, for tests against
// outside TLS programs. Every socket has a 10-second time-out, so a peer
// that stops answering fails the test instead of hanging it.
namespace zelkit::test {

class SocketEnd {
 public:
  // Takes the connected socket; -1 leaves the end without a context.
  explicit SocketEnd(int socket);
  ~SocketEnd();
  SocketEnd(const SocketEnd&) = delete;
  SocketEnd& operator=(const SocketEnd&) = delete;

  detail::SslContext* ctx = nullptr;
  int socket = -1;
};

// A connected socket to 127.0.0.1:port, or -1.
int connectLoopback(uint16_t port);
// A port on 127.0.0.1 that nothing listens on right now.
uint16_t freeLoopbackPort();

class LoopbackListener {
 public:
  LoopbackListener();  // on 127.0.0.1, a port of the system's choice
  ~LoopbackListener();
  uint16_t port() const { return port_; }
  // The next connection, or -1 after the time-out.
  int accept(int timeoutMs = 10000);

 private:
  int socket_ = -1;
  uint16_t port_ = 0;
};

// sslConnect with a 5-second budget.
int clientHandshake(SocketEnd& end, uint64_t peerKey);
// Steps until established or failed.
int serverHandshake(SocketEnd& end);
// Writes all of it; false on failure.
bool writeAll(SocketEnd& end, const std::string& text);
// Application bytes until the peer closes or the engine fails; *result
// gets the engine's final (negative) result.
std::string readUntilClosed(SocketEnd& end, int* result = nullptr);

}  // namespace zelkit::test
