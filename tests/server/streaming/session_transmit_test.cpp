// What a media session sends: the RTP header, streams and sequence counters
// by payload type, the length limits, encryption with the key the reply
// gave, and the counts and multicast of a line.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include "server/streaming/streaming_test_util.h"
#include "support/private_network.h"

namespace {

using namespace std::chrono_literals;
using namespace streamingtest;
using mediatest::encodeDescriptor;
using mediatest::pattern;
using mediatest::UdpPeer;
using zelkit::RtpPayloadType;
using zelkit::RtpStreamDescriptor;
using zelkit::RtpStreamerSession;

Descriptor udpStream(uint8_t media, uint16_t port, uint8_t line, uint32_t address = 0) {
  Descriptor d = requestDescriptor(media, 0x0100, port, line);
  d.address = address;
  return d;
}

Descriptor thirdStream(uint16_t port, uint8_t line) {
  Descriptor d = udpStream(1, port, line);
  d.coding = 0x0010;
  return d;
}

Descriptor tcpStream(uint8_t media, uint8_t line) { return requestDescriptor(media, 0x0400, 0, line); }

class SessionTransmit : public ::testing::Test {
 protected:
  RunningServer running;
  SessionMaker maker{running};
};

int send(const zelkit::RtpStreamerSessionRef& session, int type, const Bytes& data, unsigned long timestamp = 0,
         int marker = 0) {
  return session->transmit(static_cast<RtpPayloadType>(type), data.data(), static_cast<int>(data.size()), timestamp,
                           marker);
}

uint16_t sequenceOf(const Bytes& packet) { return zeltest::readU16(packet.data() + 2); }

TEST_F(SessionTransmit, PayloadTypesToStreamsAndCounters) {
  UdpPeer videoPeer, audioPeer, thirdPeer;
  const auto session = maker.make(
      {udpStream(1, videoPeer.port(), 2), udpStream(2, audioPeer.port(), 2), thirdStream(thirdPeer.port(), 2)});
  ASSERT_TRUE(session);
  ASSERT_TRUE(session->socketsReady());
  struct Case {
    int type;
    int marker;
    const UdpPeer* peer;
    uint8_t typeByte;
    uint16_t sequence;
  };
  const Case cases[] = {
      {26, 0, &videoPeer, 26, 0},   {96, 1, &audioPeer, 0xE0, 0}, {0, 0, &audioPeer, 0, 1},
      {97, 0, &videoPeer, 97, 0},   {98, 1, &thirdPeer, 0xE2, 0}, {26, 1, &videoPeer, 0x9A, 1},
      {97, 0, &videoPeer, 97, 1},   {33, 0, &videoPeer, 33, 2},   {98, 0, &thirdPeer, 98, 1},
  };
  unsigned long timestamp = 0x01020304;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    const Bytes payload = pattern(100, static_cast<uint8_t>(c.type));
    ASSERT_EQ(send(session, c.type, payload, timestamp, c.marker), 112);
    const auto packet = c.peer->receive();
    ASSERT_TRUE(packet);
    ASSERT_EQ(packet->size(), 112u);
    EXPECT_EQ((*packet)[0], 0x80);
    EXPECT_EQ((*packet)[1], c.typeByte);
    EXPECT_EQ(sequenceOf(*packet), c.sequence);
    EXPECT_EQ(zeltest::readU32(packet->data() + 4), timestamp);
    EXPECT_EQ(zeltest::readU32(packet->data() + 8), 0xFFFFFFFFu);
    EXPECT_EQ(Bytes(packet->begin() + 12, packet->end()), payload);
    ++timestamp;
  }

  // A complete packet goes as it is, by the type in its second byte, and
  // moves no counter.
  const Bytes complete = mediatest::rtpPacket(0xE0, 0x4242, pattern(20));
  ASSERT_EQ(send(session, zelkit::RtpPacketComplete, complete), 32);
  EXPECT_EQ(audioPeer.receive(), complete);
  ASSERT_EQ(send(session, 0, pattern(4)), 16);
  const auto next = audioPeer.receive();
  ASSERT_TRUE(next);
  EXPECT_EQ(sequenceOf(*next), 2);
}

TEST_F(SessionTransmit, Lengths) {
  UdpPeer peer;
  const auto session = maker.make({udpStream(1, peer.port(), 2)});
  ASSERT_TRUE(session);
  struct Case {
    const char* name;
    int type;
    int length;
    int result;
  };
  const Case cases[] = {
      {"largest built packet", 26, 1488, 1500},
      {"built packet too long", 26, 1489, -1},
      {"empty payload", 26, 0, 12},
      {"one byte", 26, 1, 13},
      {"empty complete packet", 255, 0, 0},
      {"complete packet of one byte", 255, 1, -1},
      {"complete packet shorter than its header", 255, 11, -1},
      {"complete packet of a header", 255, 12, 12},
      {"largest complete packet", 255, 1500, 1500},
      {"complete packet too long", 255, 1501, -1},
      {"negative length", 26, -1, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes data = pattern(static_cast<size_t>(std::max(c.length, 0)) + 1);
    if (data.size() > 1) data[1] = 26;  // a complete packet of the video stream
    EXPECT_EQ(session->transmit(static_cast<RtpPayloadType>(c.type), data.data(), c.length, 0, 0), c.result);
    const auto sent = peer.receive(c.result > 0 ? 2000ms : 100ms);
    if (c.result > 0) {
      ASSERT_TRUE(sent);
      EXPECT_EQ(sent->size(), static_cast<size_t>(c.result));
    } else {
      EXPECT_FALSE(sent);
    }
  }
}

TEST_F(SessionTransmit, MissingAndWaitingStreams) {
  UdpPeer peer;
  const auto videoOnly = maker.make({udpStream(1, peer.port(), 2)});
  ASSERT_TRUE(videoOnly);
  EXPECT_EQ(send(videoOnly, 0, pattern(10)), -1) << "no audio stream";
  EXPECT_EQ(send(videoOnly, 98, pattern(10)), -1) << "no third stream";

  const auto waiting = maker.make({udpStream(1, peer.port(), 2), tcpStream(2, 2)});
  ASSERT_TRUE(waiting);
  EXPECT_FALSE(waiting->socketsReady());
  EXPECT_EQ(send(waiting, 26, pattern(10)), -3);
  EXPECT_EQ(send(waiting, zelkit::RtpPacketComplete, {}), 0);
}

// A raw client asks for keys; what the session sends to its ports is
// encrypted with them, the header in the clear.
TEST_F(SessionTransmit, EncryptedWithTheReplysKey) {
  zeltest::RawClient& client = maker.client();
  UdpPeer videoPeer, audioPeer;
  Descriptor video = requestDescriptor(1, 0x0100, videoPeer.port(), 3);
  Descriptor audio = requestDescriptor(2, 0x0100, audioPeer.port(), 3);
  video.flags = 0x08;  // audio asks for none
  const auto reply = connect(client, mediatest::join({encodeDescriptor(video), encodeDescriptor(audio)}));
  ASSERT_TRUE(reply);
  ASSERT_EQ(reply->streams.size(), 2u);
  const Bytes key = reply->streams[0].key;
  ASSERT_EQ(key.size(), 16u);
  EXPECT_TRUE(reply->streams[1].key.empty());
  const auto session = sessionOf(running.server, *reply);
  ASSERT_TRUE(session);

  const Bytes payload = pattern(200);
  ASSERT_EQ(send(session, 26, payload, 77, 1), 212);
  const auto sent = videoPeer.receive();
  ASSERT_TRUE(sent);
  const Bytes plain = mediatest::rtpPacket(0x9A, 0, payload, 77, 0xFFFFFFFF);
  EXPECT_EQ(Bytes(sent->begin(), sent->begin() + 12), Bytes(plain.begin(), plain.begin() + 12));
  EXPECT_NE(*sent, plain);
  EXPECT_EQ(cipherApplied(key, *sent), plain);

  // A complete packet is encrypted in a copy; the caller's stays as it was.
  for (size_t length : {size_t{12}, size_t{100}, size_t{1500}}) {
    SCOPED_TRACE(length);
    Bytes complete = mediatest::rtpPacket(0x1A, 9, pattern(length - 12));
    const Bytes original = complete;
    ASSERT_EQ(send(session, zelkit::RtpPacketComplete, complete), static_cast<int>(length));
    EXPECT_EQ(complete, original);
    const auto encrypted = videoPeer.receive();
    ASSERT_TRUE(encrypted);
    EXPECT_EQ(cipherApplied(key, *encrypted), original);
  }
  // Longer than a packet may be: refused before any copy.
  Bytes tooLong = mediatest::rtpPacket(0x1A, 9, pattern(1489));
  EXPECT_EQ(send(session, zelkit::RtpPacketComplete, tooLong), -1);
  EXPECT_FALSE(videoPeer.receive(100ms));

  // The audio stream has no key.
  ASSERT_EQ(send(session, 0, payload), 212);
  const auto audioSent = audioPeer.receive();
  ASSERT_TRUE(audioSent);
  EXPECT_EQ(Bytes(audioSent->begin() + 12, audioSent->end()), payload);
}

// Sessions of one line, some sending to a multicast group; run in a network
// namespace of the test's own, where the group stays on the loopback.
TEST(SessionLine, CountsAndMulticast) {
  const std::string failure = zeltest::enterPrivateNetwork();
  ASSERT_EQ(failure, "") << failure;
  constexpr int kLine = 5;
  const uint32_t group = htonl(0xEF050505);
  UdpPeer groupMember("0.0.0.0");
  {
    ip_mreq join{};
    join.imr_multiaddr.s_addr = group;
    ASSERT_EQ(::setsockopt(groupMember.fd(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join), 0);
  }
  ASSERT_EQ(RtpStreamerSession::setMulticastAddress(kLine, RtpStreamDescriptor::Video, group,
                                                    htons(groupMember.port()), false),
            0);

  RunningServer running;
  SessionMaker maker(running);
  UdpPeer unicast[3];
  std::vector<zelkit::RtpStreamerSessionRef> sessions;
  for (UdpPeer& peer : unicast) sessions.push_back(maker.make({udpStream(1, peer.port(), kLine)}));
  for (int i = 0; i < 2; ++i) sessions.push_back(maker.make({udpStream(1, 9, kLine, 0xE0000000)}));
  sessions.push_back(maker.make({tcpStream(1, kLine)}));
  for (const auto& session : sessions) ASSERT_TRUE(session);

  EXPECT_EQ(running.server.getInfo(kLine, zelkit::LineSessions), 6);
  EXPECT_EQ(running.server.getInfo(kLine, zelkit::LineStreams), 5) << "the multicast sessions count once";
  EXPECT_EQ(RtpStreamerSession::activeByLine(kLine), 5) << "one waits for its tunnel";
  EXPECT_EQ(sessions[0]->concurrentStreamCount(), 7);

  const Bytes payload = pattern(50);
  // Five sessions reached; the waiting one answers -3.
  EXPECT_EQ(RtpStreamerSession::multicast(kLine, static_cast<RtpPayloadType>(26), payload.data(), 50, 1, 0), 5);
  for (UdpPeer& peer : unicast) {
    const auto packet = peer.receive();
    ASSERT_TRUE(packet);
    EXPECT_EQ(Bytes(packet->begin() + 12, packet->end()), payload);
  }
  const auto once = groupMember.receive();
  ASSERT_TRUE(once);
  EXPECT_EQ(Bytes(once->begin() + 12, once->end()), payload);
  EXPECT_FALSE(groupMember.receive(300ms)) << "the group got the frame twice";

  struct Outside {
    int line;
  };
  for (const Outside& o : {Outside{-1}, Outside{256}, Outside{100000}}) {
    SCOPED_TRACE(o.line);
    EXPECT_EQ(RtpStreamerSession::multicast(o.line, static_cast<RtpPayloadType>(26), payload.data(), 50, 1, 0), -1);
    EXPECT_EQ(RtpStreamerSession::activeByLine(o.line), 0);
    EXPECT_EQ(running.server.getInfo(o.line, zelkit::LineSessions), 0);
  }
  EXPECT_EQ(running.server.getInfo(kLine, static_cast<zelkit::ServerStats>(3)), 0);
  EXPECT_EQ(RtpStreamerSession::setMulticastAddress(256, RtpStreamDescriptor::Video, group, 1, false), -1);
  EXPECT_EQ(RtpStreamerSession::setMulticastAddress(1, static_cast<RtpStreamDescriptor::Type>(4), group, 1, false), -1);
}

}  // namespace
