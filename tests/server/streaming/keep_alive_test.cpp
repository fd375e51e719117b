// The end of media sessions: the countdown of keep-alives, the client's
// disconnect, the notification every client gets, and the stream list.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include "server/streaming/streaming_test_util.h"

namespace {

using namespace std::chrono_literals;
using namespace streamingtest;
using mediatest::pattern;
using mediatest::UdpPeer;
using zelkit::RtpStreamerSession;

// The next disconnect notification a client gets, skipping other frames.
std::optional<zeltest::Frame> nextDisconnect(zeltest::RawClient& client, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < end) {
    auto frame = client.readFrame(std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now()));
    if (!frame) return std::nullopt;
    if (frame->header.tag == kDisconnectMessage) return frame;
  }
  return std::nullopt;
}

// The reply to a request whose word is also the notification's.
std::optional<zeltest::Frame> replyTo(zeltest::RawClient& client, uint32_t tag, uint32_t sessionId) {
  if (!client.sendRequest(tag, {}, sessionId)) return std::nullopt;
  for (;;) {
    auto frame = client.readFrame(2s);
    if (!frame || (frame->header.tag == tag && frame->header.mode() != zeltest::kModeMessage)) return frame;
  }
}

void expectDisconnect(zeltest::RawClient& client, uint32_t sessionId, uint8_t reason) {
  const auto notice = nextDisconnect(client, 2s);
  ASSERT_TRUE(notice);
  EXPECT_EQ(notice->header.mode(), zeltest::kModeMessage);
  EXPECT_EQ(notice->header.sessionId, sessionId);
  EXPECT_EQ(notice->payload, Bytes{reason});
}

int sendVideo(const zelkit::RtpStreamerSessionRef& session) {
  const Bytes payload = pattern(20);
  return session->transmit(static_cast<zelkit::RtpPayloadType>(26), payload.data(), 20, 0, 0);
}

class SessionEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(servertest::rawLogin(other, 1));
    // Line 2 is not counted down.
    ASSERT_EQ(RtpStreamerSession::setMulticastAddress(2, zelkit::RtpStreamDescriptor::Video, 0, 0, true), 0);
    counted = maker.make({requestDescriptor(1, 0x0100, peer.port(), 1, 0x11)});
    exempt = maker.make({requestDescriptor(1, 0x0100, peer.port(), 2, 0x22)});
    ASSERT_TRUE(counted);
    ASSERT_TRUE(exempt);
  }

  RunningServer running;
  SessionMaker maker{running};
  zeltest::RawClient other{running.port};
  UdpPeer peer;
  zelkit::RtpStreamerSessionRef counted, exempt;
};

// The server's own timer ticks first 4 s after its start; the ticks here
// are made by hand before that.
TEST_F(SessionEnd, CountdownWithoutKeepAlives) {
  const auto countedId = static_cast<uint32_t>(counted->sessionId());
  RtpStreamerSession::decrementKeepAlives(4);
  EXPECT_TRUE(other.silentFor(150ms));
  // A keep-alive starts the count again.
  const auto keptAlive = maker.client().call(servertest::kCmdKeepAlive, {}, countedId);
  ASSERT_TRUE(keptAlive);
  EXPECT_EQ(keptAlive->header.mode(), zeltest::kModeReply);
  EXPECT_TRUE(keptAlive->payload.empty());
  RtpStreamerSession::decrementKeepAlives(4);  // 6
  RtpStreamerSession::decrementKeepAlives(4);  // 2
  EXPECT_TRUE(other.silentFor(150ms));
  EXPECT_EQ(sendVideo(counted), 32);

  RtpStreamerSession::decrementKeepAlives(4);  // -2: ended, and every client told
  expectDisconnect(other, countedId, 5);
  expectDisconnect(maker.client(), countedId, 5);
  // Still in its line until its next transmit: told again on every tick.
  RtpStreamerSession::decrementKeepAlives(4);
  expectDisconnect(other, countedId, 5);
  EXPECT_EQ(sendVideo(counted), -1);
  EXPECT_FALSE(running.server.getStreamerSession(countedId));
  RtpStreamerSession::decrementKeepAlives(4);
  EXPECT_TRUE(other.silentFor(150ms)) << "the exempt line was counted down, or the ended session again";
  EXPECT_EQ(sendVideo(counted), -1);
  EXPECT_EQ(sendVideo(exempt), 32);

  // The keep-alive of a session that is gone is answered with an error.
  const auto late = maker.client().call(servertest::kCmdKeepAlive, {}, countedId);
  ASSERT_TRUE(late);
  EXPECT_EQ(late->header.mode(), zeltest::kModeErrorReply);
  EXPECT_EQ(late->payload, Bytes{0xB0});
}

TEST_F(SessionEnd, ClientDisconnect) {
  const auto exemptId = static_cast<uint32_t>(exempt->sessionId());
  for (uint32_t word : {servertest::kCmdDisconnectPrimitive, kDisconnectMessage}) {
    SCOPED_TRACE(word);
    const auto reply = replyTo(maker.client(), word, exemptId);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->header.mode(), zeltest::kModeReply);
    EXPECT_EQ(reply->payload, Bytes{1});
    expectDisconnect(other, exemptId, 1);
  }
  EXPECT_EQ(sendVideo(exempt), -1);
  // Once out of its line it is found no more, and its disconnect is still
  // answered.
  const auto again = replyTo(maker.client(), servertest::kCmdDisconnectPrimitive, exemptId);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->payload, Bytes{1});
  EXPECT_TRUE(other.silentFor(150ms));
  EXPECT_EQ(sendVideo(counted), 32);
}

TEST_F(SessionEnd, StreamList) {
  const auto reply = other.call(servertest::kCmdStreamList);
  ASSERT_TRUE(reply);
  ASSERT_EQ(reply->payload.size(), 48u);
  struct Entry {
    uint8_t line;
    uint32_t sessionId;
    uint8_t argument;
  };
  const Entry entries[] = {{1, static_cast<uint32_t>(counted->sessionId()), 0x11},
                           {2, static_cast<uint32_t>(exempt->sessionId()), 0x22}};
  for (size_t i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    Bytes expected = {127, 0, 0, 1, 0, entries[i].line, 0, 0};
    zeltest::appendU32(expected, entries[i].sessionId);
    expected.insert(expected.end(), {entries[i].argument, entries[i].line, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0});
    EXPECT_EQ(Bytes(reply->payload.begin() + 24 * i, reply->payload.begin() + 24 * (i + 1)), expected);
  }
}

}  // namespace
