#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "core/connection/connection.h"
#include "core/engine/core.h"
#include "core/engine/lock.h"
#include "server/server_test_util.h"
#include "support/background_process.h"
#include "support/external_tool.h"
#include "support/tls_credentials.h"
#include "zelkit/system.h"

// A peer that asks for large replies and reads none of them, from Python
// with its own framing (tls_peer.py late-reader): the server stops reading
// its requests while their unsent replies hold a few MiB, serves other
// sessions meanwhile, and loses nothing once the peer reads.

namespace {

using namespace servertest;
using zeltest::RawClient;

constexpr uint32_t kSized = 0x0A080C31;
constexpr uint32_t kEcho = 0x0A010C31;
constexpr int kMaxReply = 65536;

std::atomic<int> sizedCalls{0};

// The peer's expected payload: bytes (7 i + k) mod 256 for request i.
const std::vector<uint8_t>& replyPattern() {
  static const std::vector<uint8_t>* const pattern = [] {
    auto* bytes = new std::vector<uint8_t>(kMaxReply + 256);
    for (size_t k = 0; k < bytes->size(); ++k) (*bytes)[k] = static_cast<uint8_t>(k);
    return bytes;
  }();
  return *pattern;
}

// A reply of the size given in the session id field to request num.
void sizedReply(zelkit::ZelSessionRef const& session, zelkit::ZelHeader& header, zelkit::ZelInputStream&) {
  const int size = static_cast<int>(std::min<uint32_t>(header.sessionId, kMaxReply));
  zelkit::ZelOutputStream reply(replyPattern().data() + ((7 * header.num) & 0xFF), size);
  ++sizedCalls;
  session->respond(header, reply);
}

// What the server's accepted connections do with their sends.
struct AcceptedState {
  bool paused;   // reading stopped
  bool sending;  // a send is under way
  int queued;    // packets behind it
};

std::vector<AcceptedState> acceptedConnections() {
  zelkit::detail::GlobalLock lock;
  std::vector<AcceptedState> states;
  for (auto* connection = zelkit::detail::core().connectionList().first(); connection != nullptr;
       connection = connection->next)
    if (connection->session != nullptr)
      states.push_back({connection->readingPaused, connection->sendInProgress, connection->queuedCount});
  return states;
}

int pausedConnections() {
  const auto states = acceptedConnections();
  return static_cast<int>(std::count_if(states.begin(), states.end(), [](const auto& state) { return state.paused; }));
}

struct Case {
  const char* transport;
  int count;
  int size;
  int receiveBuffer;  // of the peer; 0: the system's
};

void PrintTo(const Case& c, std::ostream* out) {
  *out << c.transport << ", " << c.count << " requests for " << c.size << " bytes";
}

std::string caseName(const ::testing::TestParamInfo<Case>& info) {
  return std::string(info.param.transport) + "_" + std::to_string(info.param.count) + "x" +
         std::to_string(info.param.size);
}

class LateReaders : public ::testing::Test {
 protected:
  void SetUp() override {
    ZELKIT_REQUIRE_TOOL("python3");
    replyPattern();  // made before anything is measured
    sizedCalls = 0;
    // Replies time out after 200 ms, if anything times them out.
    server.setResponseTimeout(200);
    server.registerCallback(kSized, sizedReply);
    server.registerCallback(kEcho, echoPayload);
    server.bindHttpPort(httpPort, false, nullptr);
    server.bindHttpPort(httpsPort, true, nullptr);
    server.start(port);
  }

  // The peer's command line; a batch or receive buffer of 0 is left out.
  std::vector<std::string> peerCommand(const Case& c, int batch = 0) const {
    const std::string transport = c.transport;
    const uint16_t target = transport == "tls" ? httpsPort : transport == "tunnel" ? httpPort : port;
    std::vector<std::string> command = {"python3", zeltest::tlsPeerScript(), "late-reader", "--port",
                                        std::to_string(target), "--transport", transport, "--count",
                                        std::to_string(c.count), "--size", std::to_string(c.size)};
    if (batch > 0) command.insert(command.end(), {"--batch", std::to_string(batch)});
    if (c.receiveBuffer > 0) command.insert(command.end(), {"--rcvbuf", std::to_string(c.receiveBuffer)});
    return command;
  }

  TestServer server;
  const uint16_t port = zeltest::freeLoopbackPort();
  const uint16_t httpPort = zeltest::freeLoopbackPort();
  const uint16_t httpsPort = zeltest::freeLoopbackPort();
};

class UnreadReplies : public LateReaders, public ::testing::WithParamInterface<Case> {};

// Replies of 60,000 bytes, many times the bound in all, and replies of
// 1,000 bytes, which would fill the queue to its packet limit before they
// hold that many bytes.
const Case kCases[] = {
    {"plain", 400, 60000, 0},
    {"tunnel", 400, 60000, 0},
    {"tls", 400, 60000, 0},
    {"plain", 8000, 1000, 4096},
};

TEST_P(UnreadReplies, HeldBoundedUntilThePeerReads) {
  const Case& c = GetParam();
  const long before = heapBytesInUse();
  PeakSampler peak(heapBytesInUse);
  zeltest::BackgroundProcess peer(peerCommand(c));
  ASSERT_TRUE(peer.waitForLine("SENT", 20s)) << peer.output();

  // The server reads until the replies it holds reach the bound, or all of
  // its requests.
  ASSERT_TRUE(waitUntil([&] { return pausedConnections() == 1 || sizedCalls == c.count; }, 30s));

  RawClient other(port);
  const auto answer = other.call(kEcho, {1, 2, 3});
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->payload, Bytes({1, 2, 3}));

  // Long past the server's response time-out, with housekeeping passes
  // between: the queued replies still wait for their peer.
  std::this_thread::sleep_for(1500ms);
  const long grown = peak.finish() - before;
  // What the kernel's buffers took was read too; the peer's requests are
  // far more than both.
  const int dispatched = sizedCalls;
  EXPECT_LT(dispatched, c.count);
  EXPECT_LE(grown, 2 * zelkit::detail::UNSENT_REPLY_BYTES_MAX) << dispatched << " requests dispatched";

  peer.writeInput("read\n");
  ASSERT_EQ(peer.waitForExit(120s), 0) << peer.output();
  EXPECT_NE(peer.output().find("REPLIES " + std::to_string(c.count) + " in order"), std::string::npos);
  EXPECT_EQ(sizedCalls, c.count);
}

INSTANTIATE_TEST_SUITE_P(Transports, UnreadReplies, ::testing::ValuesIn(kCases), caseName);

// Replies queued behind a send that the peer holds up, short of the bound,
// wait for it however long: with a response time-out of 200 ms the peer
// that reads after 1.5 s gets every one.
TEST_F(LateReaders, RepliesBehindAStalledSendOutlastTheTimeOut) {
  // 60 replies of 60,000 bytes: more than the kernel takes for a peer with
  // a small receive buffer, less than the bound; then 5 more.
  zeltest::BackgroundProcess peer(peerCommand({"plain", 65, 60000, 4096}, 60));
  ASSERT_TRUE(peer.waitForLine("SENT 60", 20s)) << peer.output();
  ASSERT_TRUE(waitUntil([] { return sizedCalls == 60; }, 20s));
  const auto stalled = [] {
    const auto states = acceptedConnections();
    return states.size() == 1 && states[0].sending && !states[0].paused;
  };
  if (!waitUntil(stalled, 2s)) GTEST_SKIP() << "the kernel took every reply";

  peer.writeInput("\n");
  ASSERT_TRUE(peer.waitForLine("SENT 65", 20s)) << peer.output();
  ASSERT_TRUE(waitUntil([] { return sizedCalls == 65; }, 20s));
  ASSERT_TRUE(waitUntil([] { return acceptedConnections().at(0).queued == 5; }, 2s));
  ASSERT_TRUE(stalled());
  std::this_thread::sleep_for(1500ms);

  peer.writeInput("\n");
  ASSERT_EQ(peer.waitForExit(60s), 0) << peer.output();
  EXPECT_NE(peer.output().find("REPLIES 65 in order"), std::string::npos);
}

// A peer that goes away while its reading is paused takes its connection
// and session with it; the next peer is served.
TEST_F(LateReaders, PeerClosingWhilePausedIsLetGo) {
  const Case c{"plain", 400, 60000, 0};
  {
    zeltest::BackgroundProcess peer(peerCommand(c));
    ASSERT_TRUE(peer.waitForLine("SENT", 20s)) << peer.output();
    ASSERT_TRUE(waitUntil([] { return pausedConnections() == 1; }, 20s));
  }  // killed
  EXPECT_TRUE(waitUntil([] { return acceptedConnections().empty(); }, 10s));

  sizedCalls = 0;
  zeltest::BackgroundProcess next(peerCommand({"plain", 10, 60000, 0}));
  ASSERT_TRUE(next.waitForLine("SENT", 20s)) << next.output();
  next.writeInput("\n");
  ASSERT_EQ(next.waitForExit(60s), 0) << next.output();
  EXPECT_NE(next.output().find("REPLIES 10 in order"), std::string::npos);
}

// Replies held while sending is suspended go out once it is resumed, though
// reading stopped meanwhile and no new request comes to send them.
TEST_F(LateReaders, SuspendedRepliesGoOutOnResume) {
  zelkit::System::setSuspendState(zelkit::System::SuspendSending);
  const Case c{"plain", 400, 60000, 0};
  zeltest::BackgroundProcess peer(peerCommand(c));
  ASSERT_TRUE(peer.waitForLine("SENT", 20s)) << peer.output();
  ASSERT_TRUE(waitUntil([] { return pausedConnections() == 1; }, 20s));
  EXPECT_FALSE(acceptedConnections().at(0).sending);

  zelkit::System::setSuspendState(zelkit::System::SuspendNone);
  peer.writeInput("\n");
  ASSERT_EQ(peer.waitForExit(60s), 0) << peer.output();
  EXPECT_NE(peer.output().find("REPLIES 400 in order"), std::string::npos);
}

}  // namespace
