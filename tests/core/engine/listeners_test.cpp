#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "core/connection/connection.h"
#include "core/engine/core.h"
#include "core/engine/engine_test_util.h"
#include "core/engine/lock.h"
#include "zelkit/client.h"
#include "zelkit/server.h"

namespace {

using namespace enginetest;
using namespace std::chrono_literals;
using zelkit::detail::Connection;
using zelkit::detail::core;
using zelkit::detail::GlobalLock;

// The smallest server: counts its sessions, or gives none.
class CountingServer : public zelkit::ZelServer {
 public:
  // Orders the worker's reads of the server before its destruction.
  ~CountingServer() { GlobalLock lock; }
  zelkit::ZelSession* createSession() override {
    ++created;
    return refuse.load() ? nullptr : zelkit::ZelServer::createSession();
  }
  std::atomic<int> created{0};
  std::atomic<bool> refuse{false};
};

// A plain client socket of the test.
struct PlainClient {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  uint16_t localPort = 0;
  explicit PlainClient(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    localPort = ntohs(address.sin_port);
  }
  ~PlainClient() { ::close(fd); }
  // True when the other side closed (end of stream within the time).
  bool closedByPeer(milliseconds timeout) {
    pollfd ready{fd, POLLIN, 0};
    char byte;
    return ::poll(&ready, 1, static_cast<int>(timeout.count())) == 1 && ::recv(fd, &byte, 1, 0) == 0;
  }
};

Connection* findConnection(const std::string& url) {
  GlobalLock lock;
  for (Connection* connection = core().connectionList().first(); connection != nullptr;
       connection = connection->next)
    if (url == connection->url) return connection;
  return nullptr;
}

TEST(Listeners, AcceptedSocketBecomesARegisteredConnection) {
  CountingServer server;
  const uint16_t port = closedPort();
  core().startServer(port, true);
  PlainClient peer(port);
  const std::string url = "zelp://127.0.0.1:" + std::to_string(peer.localPort);
  ASSERT_TRUE(waitUntil([&] { return findConnection(url) != nullptr; }, 5s));
  {
    GlobalLock lock;
    Connection* connection = findConnection(url);
    EXPECT_EQ(connection->state, zelkit::detail::ConnectionState::Registered);
    EXPECT_EQ(connection->liveCheckIntervalMs, 540000);
    ASSERT_NE(connection->session, nullptr);
    const zelkit::ZelSessionRef session = core().getSessionRef(static_cast<uint16_t>(connection->clientId));
    EXPECT_TRUE(session);
  }
  // The session ends with its socket, and takes the connection along.
  ::shutdown(peer.fd, SHUT_RDWR);
  EXPECT_TRUE(waitUntil([&] { return findConnection(url) == nullptr; }, 5s));
}

TEST(Listeners, AcceptWithoutSessionClosesAndRearms) {
  const uint16_t port = closedPort();
  core().startServer(port, true);  // no server object yet
  {
    PlainClient peer(port);
    EXPECT_TRUE(peer.closedByPeer(5s));
  }
  CountingServer server;
  server.refuse = true;
  {
    PlainClient peer(port);
    EXPECT_TRUE(peer.closedByPeer(5s));
    EXPECT_EQ(server.created.load(), 1);
  }
  server.refuse = false;
  PlainClient peer(port);
  const std::string url = "zelp://127.0.0.1:" + std::to_string(peer.localPort);
  EXPECT_TRUE(waitUntil([&] { return findConnection(url) != nullptr; }, 5s));
}

TEST(Listeners, SessionLookupSkipsClientConnections) {
  CountingServer server;
  const uint16_t port = closedPort();
  core().startServer(port, true);
  PlainClient accepted(port);
  const std::string acceptedUrl = "zelp://127.0.0.1:" + std::to_string(accepted.localPort);
  ASSERT_TRUE(waitUntil([&] { return findConnection(acceptedUrl) != nullptr; }, 5s));
  uint16_t clientId;
  {
    GlobalLock lock;
    clientId = static_cast<uint16_t>(findConnection(acceptedUrl)->clientId);
  }
  // A client connection made later, so ahead in the list, with the same id.
  RawPeer device;
  zelkit::ZelClient client(device.url("HookOn1@").c_str(), 0, 0);
  client.connect();
  ASSERT_TRUE(device.acceptAndRegister(5s, clientId));
  ASSERT_TRUE(waitUntil([&] { return client.getClientId() == clientId; }, 5s));
  GlobalLock lock;
  const zelkit::ZelSessionRef session = core().getSessionRef(clientId);
  ASSERT_TRUE(session);
  EXPECT_EQ(session.get(), findConnection(acceptedUrl)->session);
}

TEST(Listeners, SilentSessionGetsOneKeepAlive) {
  CountingServer server;
  const uint16_t port = closedPort();
  core().startServer(port, true);
  PlainClient peer(port);
  const std::string url = "zelp://127.0.0.1:" + std::to_string(peer.localPort);
  ASSERT_TRUE(waitUntil([&] { return findConnection(url) != nullptr; }, 5s));
  {
    GlobalLock lock;
    findConnection(url)->liveCheckIntervalMs = 300;
  }
  zeltest::Bytes frame(20);
  size_t have = 0;
  pollfd ready{peer.fd, POLLIN, 0};
  while (have < frame.size() && ::poll(&ready, 1, 5000) == 1) {
    const ssize_t got = ::recv(peer.fd, frame.data() + have, frame.size() - have, 0);
    if (got <= 0) break;
    have += static_cast<size_t>(got);
  }
  ASSERT_EQ(have, frame.size());
  EXPECT_EQ(zeltest::readU32(frame.data() + 4), zeltest::kTagKeepAliveMessage);
  EXPECT_EQ(frame[8], zeltest::kModeMessage);
  GlobalLock lock;
  EXPECT_EQ(findConnection(url)->liveCheckIntervalMs, 600000);
}

}  // namespace
