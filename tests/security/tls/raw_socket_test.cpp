#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "security/tls/interop_support.h"
#include "support/tls_memory_link.h"
#include "support/tls_socket_link.h"

namespace zelkit::detail {
namespace {

using test::Bytes;

constexpr uint8_t kHandshake = 22;

// Sends the bytes on a plain socket, ends its side of the stream and waits
// until the server closes.
void sendRaw(uint16_t port, const Bytes& bytes) {
  const int socket = test::connectLoopback(port);
  ASSERT_GE(socket, 0);
  ASSERT_EQ(::send(socket, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
  ::shutdown(socket, SHUT_WR);
  const timeval timeout{10, 0};
  ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  char buffer[4096];
  while (::recv(socket, buffer, sizeof buffer, 0) > 0) {
  }
  ::close(socket);
}

// Hellos cut short or announcing more than they hold, from a raw socket:
// the server fails the handshake without reading past what it got.
TEST(TlsRawSocket, TruncatedAndOversizedHellos) {
  const Bytes hello = test::tlsRecord(kHandshake, 0x0301,
                                      test::handshakeMessage(1, test::clientHelloBody({0x002F, 0x0009})));
  Bytes hugeMessage = hello;
  hugeMessage[6] = 0x0F;  // the message claims about a megabyte
  Bytes hugeSslV2 = {0xFF, 0xFF, 1, 3, 1, 0, 3, 0, 0, 0, 16};
  hugeSslV2.resize(40, 0x33);
  struct Case {
    const char* what;
    Bytes bytes;
    int result;
  };
  const std::vector<Case> cases = {
      {"header only", Bytes(hello.begin(), hello.begin() + 5), -1},
      {"hello cut in the middle", Bytes(hello.begin(), hello.begin() + 40), -1},
      {"record of 16640 bytes", test::tlsRecord(kHandshake, 0x0301, Bytes(16640, 0)), SslError::RecordFormat},
      {"record length 65535", {kHandshake, 3, 1, 0xFF, 0xFF, 1, 0, 0}, SslError::RecordFormat},
      {"message longer than its record", hugeMessage, SslError::General},
      {"SSLv2 header of 32767 bytes", hugeSslV2, SslError::Protocol},
  };
  test::LoopbackListener listener;
  test::ServedConnections served(listener, static_cast<int>(cases.size()), "");
  for (const Case& c : cases) sendRaw(listener.port(), c.bytes);
  const auto connections = served.finish();
  ASSERT_EQ(connections.size(), cases.size());
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].what);
    EXPECT_EQ(connections[i].handshake, cases[i].result);
  }
}

}  // namespace
}  // namespace zelkit::detail
