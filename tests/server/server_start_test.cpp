#include <gtest/gtest.h>

#include <thread>

#include "core/engine/core.h"
#include "server/server_test_util.h"
#include "support/test_device.h"
#include "zelkit/client.h"

namespace {

using namespace servertest;
using zeltest::RawClient;

constexpr uint32_t kWhere = 0x0A0B0C31;

std::atomic<std::thread::id> handlerThread;

void where(zelkit::ZelSessionRef const& session, zelkit::ZelHeader& header, zelkit::ZelInputStream&) {
  handlerThread = std::this_thread::get_id();
  zelkit::ZelOutputStream empty;
  session->respond(header, empty);
}

// The application's thread that calls run.
struct Runner {
  std::thread thread;
  std::atomic<bool> returned{false};

  Runner(TestServer& server, uint16_t port)
      : thread([this, &server, port] {
          server.run(port);
          returned = true;
        }) {}
  // run returns once the library is terminated.
  void terminate() {
    zelkit::detail::core().requestTerminate();
    thread.join();
  }
};

TEST(ServerStart, ClientUsedBeforeTheServerRuns) {
  TestServer server;
  server.registerCallback(kWhere, where);
  // A server object exists but its loop does not run yet: a client's
  // request must not wait for it.
  zeltest::TestDevice device;
  device.addAccount("u", "pw");
  device.setRule(kWhere, zeltest::Rule::reply({7}));
  device.start();
  zelkit::ZelClient client(("zelp://u:pw@" + device.endpoint()).c_str(), 0, 0);
  zelkit::ZelOutputStream payload;
  zelkit::ZelInputStream reply;
  client.sendRequest(5000, kWhere, payload, reply);
  EXPECT_EQ(reply.readOctet(), 7);

  // The worker already runs, so run serves from it and waits.
  const uint16_t port = zeltest::freeLoopbackPort();
  Runner runner(server, port);
  RawClient peer(port);
  ASSERT_TRUE(peer.call(kWhere));
  EXPECT_NE(handlerThread.load(), runner.thread.get_id());
  EXPECT_FALSE(runner.returned);
  runner.terminate();
}

TEST(ServerStart, RunServesOnTheCallingThread) {
  TestServer server;
  server.registerCallback(kWhere, where);
  const uint16_t port = zeltest::freeLoopbackPort();
  Runner runner(server, port);
  RawClient peer(port);
  ASSERT_TRUE(peer.call(kWhere));
  EXPECT_EQ(handlerThread.load(), runner.thread.get_id());
  runner.terminate();
}

TEST(ServerStart, StartingAgainAddsListenersAndKeepsTheRunningOnes) {
  TestServer server;
  server.registerCallback(kWhere, where);
  const uint16_t port = zeltest::freeLoopbackPort();
  const uint16_t httpPort = zeltest::freeLoopbackPort();
  server.start(port);
  {
    RawClient peer(port);
    ASSERT_TRUE(peer.call(kWhere));
  }
  server.bindHttpPort(httpPort, false, nullptr);
  server.start(0);
  for (int i = 0; i < 3; ++i) {
    RawClient peer(port);
    ASSERT_TRUE(peer.call(kWhere));
  }
  RawClient tunnel(httpPort);
  ASSERT_TRUE(tunnel.write("GET /zel_tunnel HTTP/1.0\r\n\r\n"));
  EXPECT_TRUE(tunnel.call(kWhere));
}

}  // namespace
