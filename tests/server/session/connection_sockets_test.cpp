#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include <string>

#include "core/connection/connection.h"
#include "core/engine/core.h"
#include "core/engine/lock.h"
#include "platform/socket.h"
#include "server/server_test_util.h"
#include "support/raw_client.h"
#include "support/tls_socket_link.h"
#include "zelkit/client.h"

namespace {

using namespace servertest;
using zelkit::detail::Connection;
using zelkit::detail::core;
using zelkit::detail::GlobalLock;

bool endsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// TCP_NODELAY of the socket of the connection whose URL ends with suffix:
// 1 on, 0 off, -1 while there is no such connection with a socket.
int noDelayOfConnection(const std::string& suffix) {
  GlobalLock lock;
  for (Connection* connection = core().connectionList().first(); connection != nullptr;
       connection = connection->next) {
    if (!endsWith(connection->url, suffix) || connection->socketHandle <= 0) continue;
    int value = 0;
    int length = sizeof value;
    if (zelkit::platform::getSocketOption(connection->socketHandle, IPPROTO_TCP, TCP_NODELAY, &value, &length) != 0)
      return -1;
    return value != 0 ? 1 : 0;
  }
  return -1;
}

int noDelayOnceConnected(const std::string& suffix) {
  int value = -1;
  waitUntil([&] { return (value = noDelayOfConnection(suffix)) >= 0; });
  return value;
}

// Connections carry small requests and replies: none of their sockets
// lets a write wait for the peer's ACK of the last one, on either end.
TEST(ConnectionSockets, SendWithoutNagleDelay) {
  zelkit::test::LoopbackListener device;
  for (const char* scheme : {"zelp", "http", "https"}) {
    SCOPED_TRACE(scheme);
    const std::string url = std::string(scheme) + "://127.0.0.1:" + std::to_string(device.port());
    zelkit::ZelClient client(url.c_str(), 0, 0);
    client.connect();
    const int accepted = device.accept();
    ASSERT_GE(accepted, 0);
    EXPECT_EQ(noDelayOnceConnected(url), 1);
    client.disconnect();
    ::close(accepted);
  }

  TestServer server;
  const uint16_t zelPort = zeltest::freeLoopbackPort();
  const uint16_t httpPort = zeltest::freeLoopbackPort();
  const uint16_t httpsPort = zeltest::freeLoopbackPort();
  server.bindHttpPort(httpPort, false, nullptr);
  server.bindHttpPort(httpsPort, true, nullptr);
  server.start(zelPort);
  for (const uint16_t port : {zelPort, httpPort, httpsPort}) {
    SCOPED_TRACE(port);
    zeltest::RawClient client(port);
    ASSERT_TRUE(client.connected());
    EXPECT_EQ(noDelayOnceConnected(":" + std::to_string(client.localPort())), 1);
  }
}

}  // namespace
