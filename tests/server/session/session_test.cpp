#include <gtest/gtest.h>

#include <type_traits>

#include "core/connection/connection.h"
#include "core/engine/core.h"
#include "core/engine/lock.h"
#include "server/server_test_util.h"

namespace {

using namespace servertest;
using zeltest::RawClient;
using zelkit::detail::core;
using zelkit::detail::GlobalLock;

constexpr uint32_t kEcho = 0x0A010C31;
constexpr uint32_t kDisconnects = 0x0A080C31;
constexpr uint32_t kSetsEveryModeBit = 0x0A090C31;
constexpr uint32_t kMessage = 0x0A0A0032;

static_assert(!std::is_copy_constructible_v<zelkit::ZelSession> && !std::is_copy_assignable_v<zelkit::ZelSession>,
              "a copy would share the connection and delete it twice");

// A handle the application keeps; the disconnecting handler drops it.
zelkit::ZelSessionRef kept;

void echo(zelkit::ZelSessionRef const& session, zelkit::ZelHeader& header, zelkit::ZelInputStream&) {
  zelkit::ZelOutputStream reply;
  reply.writeOctet(1);
  session->respond(header, reply);
}

void disconnects(zelkit::ZelSessionRef const& session, zelkit::ZelHeader&, zelkit::ZelInputStream&) {
  session->disconnect();
  kept.reset();
}

void setsEveryModeBit(zelkit::ZelSessionRef const& session, zelkit::ZelHeader& header, zelkit::ZelInputStream&) {
  static_cast<TestSession*>(session.get())->setTransferMode(static_cast<zelkit::ZelSession::TransferMode>(0xFFFF));
  zelkit::ZelOutputStream empty;
  session->respond(header, empty);
}

bool connectionListed(const zelkit::detail::Connection* wanted) {
  GlobalLock lock;
  for (auto* connection = core().connectionList().first(); connection != nullptr; connection = connection->next)
    if (connection == wanted) return true;
  return false;
}

bool connectionFailed(const zelkit::ZelSessionRef& session) {
  GlobalLock lock;
  return static_cast<TestSession*>(session.get())->getConnection()->state ==
         zelkit::detail::ConnectionState::Failed;
}

class Sessions : public ::testing::Test {
 protected:
  void SetUp() override {
    server.registerCallback(kEcho, echo);
    server.registerCallback(kDisconnects, disconnects);
    server.registerCallback(kSetsEveryModeBit, setsEveryModeBit);
    server.bindHttpPort(httpPort, false, nullptr);
    server.start(port);
  }

  TestServer server;
  const uint16_t port = zeltest::freeLoopbackPort();
  const uint16_t httpPort = zeltest::freeLoopbackPort();
};

TEST_F(Sessions, LastHandleAssignedToItself) {
  zelkit::ZelSessionRef handle;
  zelkit::detail::Connection* connection;
  {
    RawClient client(port);
    handle = sessionOf(server, client);
    ASSERT_TRUE(handle);
    connection = static_cast<TestSession*>(handle.get())->getConnection();
  }
  // The peer went: the session let go of itself, the handle is its last.
  ASSERT_TRUE(waitUntil([&] { return connectionFailed(handle); }));
  const zelkit::ZelSessionRef& same = handle;
  handle = same;
  ASSERT_TRUE(handle);
  EXPECT_EQ(handle->getPrivilegeLevel(), 0);
  EXPECT_TRUE(connectionListed(connection));
  handle.reset();
  EXPECT_FALSE(connectionListed(connection));
}

TEST_F(Sessions, HandlerDropsTheLastHandleWithFramesStillBuffered) {
  RawClient client(port);
  kept = sessionOf(server, client);
  ASSERT_TRUE(kept);
  const zelkit::detail::Connection* connection = static_cast<TestSession*>(kept.get())->getConnection();
  // One write, so that the frames behind the first wait in the same read
  // while its handler ends the session.
  zeltest::FrameHeader header;
  header.tag = kDisconnects;
  Bytes frames = zeltest::encodeFrame(header, Bytes{});
  header.tag = kEcho;
  for (int i = 0; i < 3; ++i) {
    const Bytes frame = zeltest::encodeFrame(header, Bytes{1});
    frames.insert(frames.end(), frame.begin(), frame.end());
  }
  ASSERT_TRUE(client.write(frames));
  const auto rest = client.readToEnd(5s);
  ASSERT_TRUE(rest);
  EXPECT_TRUE(rest->empty());
  EXPECT_TRUE(waitUntil([&] { return !connectionListed(connection); }));
}

TEST_F(Sessions, NotifyReachesEveryPacketSessionOnce) {
  RawClient first(port);
  RawClient second(port);
  RawClient http(httpPort);
  zelkit::ZelSessionRef released;
  zelkit::detail::Connection* releasedConnection;
  {
    RawClient gone(port);
    released = sessionOf(server, gone);
    ASSERT_TRUE(released);
    releasedConnection = static_cast<TestSession*>(released.get())->getConnection();
  }
  ASSERT_TRUE(waitUntil([&] { return connectionFailed(released); }));
  ASSERT_TRUE(sessionOf(server, first) && sessionOf(server, second) && sessionOf(server, http));

  zelkit::ZelHeader header(kMessage, 0x11);
  zelkit::ZelOutputStream payload;
  payload.writeUShort(0x0102);
  server.notify(header, payload);
  for (RawClient* client : {&first, &second}) {
    const auto message = client->readFrame(5s);
    ASSERT_TRUE(message);
    EXPECT_EQ(message->header.tag, kMessage);
    EXPECT_EQ(message->header.mode(), zeltest::kModeMessage);
    EXPECT_EQ(message->header.transactionId, 0x11);
    EXPECT_EQ(message->payload, (Bytes{1, 2}));
    EXPECT_TRUE(client->silentFor(100ms));
  }
  // An HTTP connection that has not asked for the tunnel takes no frames.
  EXPECT_TRUE(http.silentFor(200ms));
  released.reset();
  EXPECT_FALSE(connectionListed(releasedConnection));
}

TEST_F(Sessions, TransferModeLeavesThePrivilegeLevel) {
  RawClient client(port);
  ASSERT_TRUE(rawLogin(client, 2));
  ASSERT_TRUE(client.call(kSetsEveryModeBit));
  const auto state = client.call(kCmdRegisterState);
  ASSERT_TRUE(state);
  EXPECT_EQ(state->payload[1], 2);
}

TEST(ServerLifetime, DestroyedServerTakesNoSessions) {
  const uint16_t port = zeltest::freeLoopbackPort();
  TestServer first;
  first.start(port);
  { TestServer second; }
  {
    GlobalLock lock;
    EXPECT_EQ(core().server(), nullptr);
  }
  RawClient client(port);
  ASSERT_TRUE(client.connected());
  const auto rest = client.readToEnd(5s);
  ASSERT_TRUE(rest);
  EXPECT_TRUE(rest->empty());
}

TEST(ServerLifetime, CopyTakesTheTimeOutOnly) {
  TestServer server;
  const TestServer copy(server);
  GlobalLock lock;
  EXPECT_EQ(core().server(), &server);
  EXPECT_EQ(copy.responseTimeout(), 5000u);
}

}  // namespace
