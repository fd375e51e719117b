#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "core/connection/connection.h"
#include "core/engine/core.h"
#include "server/server_test_util.h"
#include "support/background_process.h"
#include "support/log_lines.h"
#include "support/external_tool.h"
#include "support/tls_credentials.h"

// What the library's server does with input meant to hurt it, sent by plain
// sockets with the test's own framing.

namespace {

using namespace servertest;
using zeltest::FrameHeader;
using zeltest::RawClient;

constexpr uint32_t kEcho = 0x0A010C31;

Bytes pattern(size_t size) {
  Bytes bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 3);
  return bytes;
}

FrameHeader echoRequest(uint8_t transactionId) {
  FrameHeader header;
  header.tag = kEcho;
  header.modeByte = zeltest::kModeRequest;
  header.transactionId = transactionId;
  return header;
}

bool sendFragmented(RawClient& client, const Bytes& payload, size_t pieceSize, uint8_t transactionId = 1) {
  for (const Bytes& piece : zeltest::encodeFragments(echoRequest(transactionId), payload, pieceSize))
    if (!client.write(piece)) return false;
  return true;
}

// The payload of a reply, its fragments joined.
std::optional<Bytes> readJoinedReply(RawClient& client, std::chrono::milliseconds timeout) {
  Bytes joined;
  for (;;) {
    const auto frame = client.readFrame(timeout);
    if (!frame) return std::nullopt;
    joined.insert(joined.end(), frame->payload.begin(), frame->payload.end());
    if (!frame->header.moreFragments()) return joined;
  }
}

class HostileInput : public ::testing::Test {
 protected:
  void SetUp() override {
    server.registerCallback(kEcho, echoPayload);
    server.start(port);
  }

  TestServer server;
  const uint16_t port = zeltest::freeLoopbackPort();
};

// Before login a fragment chain may join to 64 KiB; beyond that the
// connection is closed.
TEST_F(HostileInput, ChainBeforeLoginIsBoundedTo64KiB) {
  struct Case {
    size_t payload;
    bool answered;
  };
  const int32_t bound = zelkit::detail::MAX_JOINED_PAYLOAD_BEFORE_LOGIN;
  for (const Case& c : {Case{static_cast<size_t>(bound), true}, Case{static_cast<size_t>(bound) + 1, false}}) {
    SCOPED_TRACE(c.payload);
    RawClient client(port);
    ASSERT_TRUE(sendFragmented(client, pattern(c.payload), 32768));
    const auto reply = readJoinedReply(client, 5s);
    if (c.answered) {
      ASSERT_TRUE(reply);
      EXPECT_EQ(*reply, pattern(c.payload));
    } else {
      EXPECT_FALSE(reply);
      EXPECT_TRUE(client.readToEnd(5s));  // closed
    }
  }
}

// Four connections that never log in try to make the server hold a chain of
// 64 MiB each; a client that logs in meanwhile is served as usual.
TEST_F(HostileInput, ConnectionsBeforeLoginHoldLittleMemory) {
  const auto logs = zeltest::temporaryDirectory("hostile-input");
  zelkit::detail::core().setLoggingDirectory(logs.c_str());
  constexpr int kFlooders = 4;
  // Just below the cap of a logged-in session: without a bound of its own
  // the server keeps all of it.
  constexpr int kPieces = zelkit::detail::MAX_JOINED_PAYLOAD / zeltest::kMaxFragmentPayload;
  FrameHeader header = echoRequest(1);
  header.modeByte |= zeltest::kMoreFragments;
  const Bytes piece = zeltest::encodeFrame(header, Bytes(zeltest::kMaxFragmentPayload, 0x5A));

  const long before = residentBytes();
  PeakSampler peak(residentBytes);
  std::atomic<int> sending{kFlooders};
  std::atomic<bool> measured{false};
  std::vector<int> closed(kFlooders, 0);
  std::vector<std::thread> flooders;
  for (int i = 0; i < kFlooders; ++i)
    flooders.emplace_back([&, i] {
      RawClient flooder(port);
      for (int n = 0; n < kPieces && !closed[i]; ++n) closed[i] = !flooder.write(piece);
      --sending;
      // Open until the memory is measured.
      while (!measured) std::this_thread::sleep_for(5ms);
    });

  RawClient client(port);
  ASSERT_TRUE(client.call(kCmdLoginChallenge));
  ASSERT_TRUE(rawLogin(client, 2));
  ASSERT_TRUE(client.sendRequest(kEcho, pattern(100)));
  const auto reply = client.readFrame(1s);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->payload, pattern(100));

  const bool flooded = waitUntil([&] { return sending == 0; }, 60s);
  const long grown = peak.finish() - before;
  measured = true;
  for (std::thread& flooder : flooders) flooder.join();
  ASSERT_TRUE(flooded);
  EXPECT_LE(grown, 16L * 1024 * 1024);
  EXPECT_EQ(std::count(closed.begin(), closed.end(), 1), kFlooders);
  const auto lines = zeltest::logLines(logs, "fin ");
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Fragmented packet larger than 65536 bytes before login"),
            kFlooders);
}

TEST_F(HostileInput, LoggedInSessionKeepsTheFullCap) {
  RawClient client(port);
  ASSERT_TRUE(rawLogin(client, 2));
  const Bytes payload = pattern(16 * 1024 * 1024);
  ASSERT_TRUE(sendFragmented(client, payload, zeltest::kMaxFragmentPayload));
  const auto reply = readJoinedReply(client, 20s);
  ASSERT_TRUE(reply);
  EXPECT_TRUE(*reply == payload);
}

// What follows a well-formed request in the same segment.
const std::vector<Bytes> kBadFrames = {
    {'n', 'o', 't', ' ', 'a', ' ', 'f', 'r', 'a', 'm', 'e'},
    {3, 0, 0, 16, 0, 0, 0, 0},  // TPKT length below the header's
};

// A bad frame closes the connection, but only after the replies to the
// requests that came before it in the same read.
TEST_F(HostileInput, RepliesBeforeABadFrameGoOutBeforeTheClose) {
  for (const Bytes& bad : kBadFrames) {
    SCOPED_TRACE(std::string(bad.begin(), bad.end()));
    RawClient client(port);
    Bytes segment = zeltest::encodeFrame(echoRequest(5), pattern(40));
    segment.insert(segment.end(), bad.begin(), bad.end());
    ASSERT_TRUE(client.write(segment));
    const auto reply = client.readFrame(5s);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->header.tag, kEcho);
    EXPECT_EQ(reply->header.transactionId, 5);
    EXPECT_EQ(reply->payload, pattern(40));
    EXPECT_TRUE(client.readToEnd(5s));  // then closed
  }
}

// The same through the tunnel inside TLS, from Python's ssl client.
class HostileTlsInput : public HostileInput {
 protected:
  void SetUp() override {
    server.bindHttpPort(httpsPort, true, nullptr);
    HostileInput::SetUp();
  }

  const uint16_t httpsPort = zeltest::freeLoopbackPort();
};

TEST_F(HostileTlsInput, RepliesBeforeABadFrameGoOutBeforeTheClose) {
  ZELKIT_REQUIRE_TOOL("python3");
  for (const Bytes& bad : kBadFrames) {
    SCOPED_TRACE(std::string(bad.begin(), bad.end()));
    Bytes segment = zeltest::encodeFrame(echoRequest(5), pattern(40));
    segment.insert(segment.end(), bad.begin(), bad.end());
    zeltest::BackgroundProcess client({"python3", zeltest::tlsPeerScript(), "send", "--port",
                                       std::to_string(httpsPort), "--bytes", zelkit::test::toHex(segment)});
    ASSERT_EQ(client.waitForExit(20s), 0) << client.output();
    EXPECT_EQ(client.output(), "REPLY 0a010c31 1 5 " + zelkit::test::toHex(pattern(40)) + "\nCLOSED\n");
  }
}

}  // namespace
