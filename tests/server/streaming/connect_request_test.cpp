// The connect handler against a raw client: what the factory is given, what
// the reply echoes, the stream keys, and the answer to a refusal.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include "core/engine/engine_test_util.h"
#include "server/streaming/streaming_test_util.h"
#include "zelkit/rtp_streamer.h"

namespace {

using namespace std::chrono_literals;
using namespace streamingtest;
using mediatest::encodeDescriptor;
using mediatest::join;
using zelkit::RtpStreamDescriptor;

constexpr uint32_t kLoopback = 0x7F000001;

Bytes descriptorBytes(Descriptor d) { return encodeDescriptor(d); }

Descriptor video(uint16_t port, uint8_t line, uint16_t transport = 0x0100) {
  return requestDescriptor(1, transport, port, line, 0x5A);
}
Descriptor audio(uint16_t port, uint8_t line, uint16_t transport = 0x0100) {
  return requestDescriptor(2, transport, port, line);
}
Descriptor with(Descriptor d, void (*change)(Descriptor&)) {
  change(d);
  return d;
}
const Bytes kExtensionItem = {0xE0, 0x04, 0, 0, 1, 2, 3, 4};

class ConnectRequest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(servertest::rawLogin(client, 2));
  }
  RunningServer running;
  zeltest::RawClient client{running.port};
};

TEST_F(ConnectRequest, DescriptorsTakenAndEchoed) {
  // Line 7 has a multicast group for its video, line 8 none.
  ASSERT_EQ(zelkit::RtpStreamerSession::setMulticastAddress(7, RtpStreamDescriptor::Video, htonl(0xEF010203),
                                                            htons(6000), false),
            0);
  struct Expected {
    uint8_t type;
    uint32_t flags;
    uint32_t line;
    uint16_t port;     // echoed, host order
    uint32_t address;  // echoed, host order
    uint8_t flagsByte;
    bool key;
  };
  struct Case {
    const char* name;
    Bytes payload;
    std::vector<Expected> streams;
  };
  const Bytes videoDescriptor = descriptorBytes(video(5000, 3));
  const Bytes audioDescriptor = descriptorBytes(audio(5022, 3));
  Bytes seventeen;
  for (int i = 0; i < 17; ++i) seventeen = join({seventeen, descriptorBytes(video(static_cast<uint16_t>(7000 + i), 9))});
  std::vector<Expected> sixteen;
  for (int i = 0; i < 16; ++i) sixteen.push_back({1, 0, 9, static_cast<uint16_t>(7000 + i), kLoopback, 0, false});

  const Case cases[] = {
      {"an extension item first", join({kExtensionItem, videoDescriptor}), {{1, 0, 3, 5000, kLoopback, 0, false}}},
      {"streams the client sends are not taken",
       join({descriptorBytes(with(video(5000, 3), [](Descriptor& d) { d.clientSends = 1; })),
             descriptorBytes(audio(5002, 3))}),
       {{2, 0, 3, 5002, kLoopback, 0, false}}},
      {"media other than video and audio is not taken",
       join({descriptorBytes(requestDescriptor(3, 0x0100, 5004, 3)), videoDescriptor}),
       {{1, 0, 3, 5000, kLoopback, 0, false}}},
      {"second video coding makes the third stream",
       join({descriptorBytes(with(video(5006, 3), [](Descriptor& d) { d.coding = 0x0010; }))}),
       {{3, 0, 3, 5006, kLoopback, 0, false}}},
      {"TCP streams wait for their tunnel", join({descriptorBytes(video(0, 4, 0x0480))}),
       {{1, RtpStreamDescriptor::OverTcp, 4, 0, 0, 0, false}}},
      {"keys asked: the echo drops the request, keeps the other flags",
       join({descriptorBytes(with(video(5008, 3), [](Descriptor& d) { d.flags = 0x48; })),
             descriptorBytes(with(audio(5010, 3), [](Descriptor& d) { d.flags = 0x08; }))}),
       {{1, 0, 3, 5008, kLoopback, 0x40, true}, {2, 0, 3, 5010, kLoopback, 0, true}}},
      {"one key per stream type",
       join({descriptorBytes(with(video(5012, 3), [](Descriptor& d) { d.flags = 0x08; })),
             descriptorBytes(with(video(5014, 3), [](Descriptor& d) { d.flags = 0x08; }))}),
       {{1, 0, 3, 5012, kLoopback, 0, true}, {1, 0, 3, 5014, kLoopback, 0, false}}},
      {"multicast asked on a line with a group",
       join({descriptorBytes(with(video(5016, 7), [](Descriptor& d) { d.address = 0xE0000000; }))}),
       {{1, 0, 7, 6000, 0xEF010203, 0, false}}},
      {"multicast asked on a line without one",
       join({descriptorBytes(with(video(5018, 8), [](Descriptor& d) { d.address = 0xE0000000; }))}),
       {{1, 0, 8, 5018, kLoopback, 0, false}}},
      {"a given address is kept",
       join({descriptorBytes(with(video(5020, 8), [](Descriptor& d) { d.address = 0x7F000002; }))}),
       {{1, 0, 8, 5020, 0x7F000002, 0, false}}},
      {"a descriptor cut short ends the walk",
       join({videoDescriptor, Bytes(audioDescriptor.begin(), audioDescriptor.end() - 12)}),
       {{1, 0, 3, 5000, kLoopback, 0, false}}},
      {"an extension item cut short ends the walk", join({videoDescriptor, Bytes{0xE0, 0x04, 0, 0}}),
       {{1, 0, 3, 5000, kLoopback, 0, false}}},
      {"at most 16 streams", seventeen, sixteen},
      {"nothing to take", Bytes{}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    {
      std::lock_guard<std::mutex> guard(factoryScript().mutex);
      factoryScript().requests.clear();
    }
    const auto reply = connect(client, c.payload);
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->mode, zeltest::kModeReply);
    EXPECT_NE(reply->sessionId, 0u);

    const auto requests = factoryScript().recorded();
    ASSERT_EQ(requests.size(), 1u);
    const auto& given = requests[0];
    ASSERT_EQ(given.size(), c.streams.size());
    ASSERT_EQ(reply->streams.size(), c.streams.size());
    for (size_t i = 0; i < c.streams.size(); ++i) {
      SCOPED_TRACE(i);
      const Expected& want = c.streams[i];
      EXPECT_EQ(given[i].type, want.type);
      EXPECT_EQ(given[i].flags, want.flags);
      EXPECT_EQ(given[i].direction, 0);
      EXPECT_EQ(given[i].line, want.line);
      EXPECT_EQ(given[i].peerAddress, htonl(kLoopback));
      EXPECT_EQ(given[i].connectFlags, want.flagsByte);

      const ReplyStream& echoed = reply->streams[i];
      EXPECT_EQ(echoed.descriptor.status, 1);
      EXPECT_EQ(echoed.descriptor.flags, want.flagsByte);
      EXPECT_EQ(echoed.descriptor.port, want.port);
      EXPECT_EQ(echoed.descriptor.address, want.address);
      EXPECT_EQ(echoed.descriptor.line, want.line);
      EXPECT_EQ(echoed.key.size(), want.key ? 16u : 0u);
    }
  }
}

TEST_F(ConnectRequest, FieldsPassedThrough) {
  Descriptor d = video(5000, 0x21, 0x0483);
  d.parameter = 0x77;
  d.coding = 0x8008;
  d.flags = 0x03;
  const auto reply = connect(client, descriptorBytes(d));
  ASSERT_TRUE(reply);
  const RtpStreamDescriptor given = factoryScript().recorded().back().at(0);
  EXPECT_EQ(given.argument, 0x77);
  EXPECT_EQ(given.coding, 0x8008);
  EXPECT_EQ(given.transportKind, 0x04);
  EXPECT_EQ(given.transportOptions, 0x83);
  EXPECT_EQ(given.connectFlags, 0x03);
  EXPECT_EQ(ntohs(given.port), 5000);
  // The echo is the request but for the status, the address and the bits
  // the server sets.
  Bytes expected = descriptorBytes(d);
  expected[2] = 1;
  ASSERT_EQ(reply->payload.size(), 32u);
  EXPECT_EQ(reply->payload, expected);
  // The reply's session id names the session, whose low byte is the line.
  const zelkit::RtpStreamerSessionRef session = sessionOf(running.server, *reply);
  ASSERT_TRUE(session);
  EXPECT_EQ(session->sessionId(), reply->sessionId);
  EXPECT_EQ(reply->sessionId & 0xFF, 0x21u);
  EXPECT_EQ(session->lineNumber(), 0x21u);
}

// Nothing could reach a session without a line again: it goes once its
// reply is out instead of living on.
TEST_F(ConnectRequest, SessionWithoutStreamsGoesWithItsReply) {
  const int before = MediaSession::destroyedCount();
  const auto reply = connect(client, descriptorBytes(requestDescriptor(3, 0x0100, 5000, 1)));
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->mode, zeltest::kModeReply);
  EXPECT_EQ(reply->sessionId & 0xFF, 0xFFu) << "no line";
  EXPECT_TRUE(servertest::waitUntil([&] { return MediaSession::destroyedCount() == before + 1; }));
  EXPECT_FALSE(sessionOf(running.server, *reply));
}

TEST_F(ConnectRequest, RefusalIsAnErrorReplyWithItsCode) {
  struct Case {
    int error;
    uint8_t octet;
  };
  for (const Case& c : {Case{0xC0, 0xC0}, Case{-1, 0xFF}, Case{0x100, 0xFF}}) {
    SCOPED_TRACE(c.error);
    {
      std::lock_guard<std::mutex> guard(factoryScript().mutex);
      factoryScript().refuseWith = c.error;
    }
    const auto reply = connect(client, descriptorBytes(video(5000, 1)));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->mode, zeltest::kModeErrorReply);
    EXPECT_EQ(reply->payload, Bytes{c.octet});
  }

  // The library's client sees the refusal in its connect result.
  {
    std::lock_guard<std::mutex> guard(factoryScript().mutex);
    factoryScript().refuseWith = 0xC0;
  }
  zelkit::RtpStreamer streamer(running.zelUrl().c_str(), 1);
  enginetest::Recorder results;
  streamer.connectVideo(3000, 0x0020, 0, 0, 1, enginetest::Recorder::callback, &results);
  const auto result = results.waitFor(mediatest::kConnectResult, 5s);
  ASSERT_TRUE(result);
  EXPECT_EQ(result->errorCode, 0xC0);
  EXPECT_EQ(result->mode, zeltest::kModeErrorReply);
}

}  // namespace
