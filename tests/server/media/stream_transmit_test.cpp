#include <gtest/gtest.h>

#include <memory>

#include "core/engine/engine_test_util.h"
#include "security/cipher/aes.h"
#include "server/media/media_test_util.h"
#include "support/test_device.h"
#include "zelkit/rtp_streamer.h"

namespace {

using namespace std::chrono_literals;
using namespace mediatest;
using enginetest::Recorder;
using zelkit::RtpPayloadType;
using zelkit::RtpStreamer;

constexpr uint32_t kTimestamp = 0x0A0B0C0D;

RtpPayloadType pt(int type) { return static_cast<RtpPayloadType>(type); }

// A streamer whose three send streams (video, audio, second video) the
// device accepted towards three UDP sockets of the test.
class Transmit : public testing::Test {
 public:
  void SetUp() override {
    device.addAccount("user", "pw");
    device.setRule(kConnectPrimitive, zeltest::Rule::silent());
    device.start();
    streamer = std::make_unique<RtpStreamer>(("zelp://user:pw@" + device.endpoint()).c_str(), 1);
    // Flags 0x0040: a second video stream.
    streamer->connectVideo(3000, 0x0040, 0, 3, 0, Recorder::callback, &results);
    const auto request = device.waitForTag(kConnectPrimitive, 5s);
    ASSERT_TRUE(request);
    const Bytes reply =
        join({encodeDescriptor({.clientSends = 1, .media = 1, .port = video.port()}),
              encodeDescriptor({.clientSends = 1, .media = 2, .port = audio.port()}),
              encodeDescriptor({.clientSends = 1, .media = 1, .port = second.port(), .coding = 0x0010})});
    ASSERT_TRUE(device.reply(*request, reply, zeltest::kModeReply, 0x00080001));
    ASSERT_TRUE(results.waitFor(kConnectResult, 5s));
  }

  zeltest::TestDevice device;
  Recorder results;
  UdpPeer video;
  UdpPeer audio;
  UdpPeer second;
  std::unique_ptr<RtpStreamer> streamer;
};

TEST_F(Transmit, HeaderStreamAndLengthByPayloadType) {
  struct Case {
    int type;
    int marker;
    size_t length;
    UdpPeer Transmit::*peer;  // null: refused
    uint8_t typeByte;
    size_t headerLength;
  };
  const Case cases[] = {
      {96, 0, 20, &Transmit::audio, 0x60, 12},
      {96, 1, 20, &Transmit::audio, 0xE0, 12},
      {0, 0, 160, &Transmit::audio, 0x00, 12},
      {26, 1, 100, &Transmit::video, 0x9A, 12},
      {32, 0, 1484, &Transmit::video, 0x20, 16},
      {33, 0, 10, &Transmit::video, 0x21, 16},
      {97, 0, 30, &Transmit::video, 0x61, 12},
      {98, 0, 30, &Transmit::second, 0x62, 12},
      {32, 0, 1485, nullptr, 0, 0},
      {26, 0, 1489, nullptr, 0, 0},
      {100, 0, 10, nullptr, 0, 0},
      {1, 0, 10, nullptr, 0, 0},
      {-1, 0, 10, nullptr, 0, 0},
      // The receive video stream is a UDP socket here: it has no destination.
      {73, 0, 10, nullptr, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "type " << c.type << " length " << c.length);
    const Bytes payload = pattern(c.length);
    const int result = streamer->transmit(pt(c.type), payload.data(), static_cast<int>(c.length), kTimestamp, c.marker);
    if (c.peer == nullptr) {
      EXPECT_EQ(result, -1);
      continue;
    }
    EXPECT_EQ(result, static_cast<int>(c.headerLength + c.length));
    const auto packet = (this->*c.peer).receive();
    ASSERT_TRUE(packet);
    ASSERT_EQ(packet->size(), c.headerLength + c.length);
    EXPECT_EQ((*packet)[0], 0x80);
    EXPECT_EQ((*packet)[1], c.typeByte);
    EXPECT_EQ(zeltest::readU32(packet->data() + 4), kTimestamp);
    EXPECT_EQ(zeltest::readU32(packet->data() + 8), 0xFFFFFFFFu);
    if (c.headerLength == 16) {
      EXPECT_EQ(zeltest::readU32(packet->data() + 12), 0u);
    }
    EXPECT_EQ(Bytes(packet->begin() + static_cast<long>(c.headerLength), packet->end()), payload);
  }
  // Nothing more arrived than the cases sent.
  for (UdpPeer* peer : {&video, &audio, &second}) EXPECT_FALSE(peer->receive(50ms));
}

TEST_F(Transmit, SequenceCountersByPayloadType) {
  // 0 and 96 share the audio counter; 97 has its own beside video's.
  const Bytes payload = pattern(8);
  auto sequenceOf = [&](int type, UdpPeer& peer) {
    streamer->transmit(pt(type), payload.data(), 8, 0);
    const auto packet = peer.receive();
    return packet ? zeltest::readU16(packet->data() + 2) : -1;
  };
  const int audio1 = sequenceOf(0, audio);
  const int video1 = sequenceOf(26, video);
  const int other1 = sequenceOf(97, video);
  EXPECT_EQ(sequenceOf(96, audio), (audio1 + 1) & 0xFFFF);
  EXPECT_EQ(sequenceOf(34, video), (video1 + 1) & 0xFFFF);
  EXPECT_EQ(sequenceOf(97, video), (other1 + 1) & 0xFFFF);
  EXPECT_EQ(sequenceOf(99, audio), (audio1 + 2) & 0xFFFF);
}

TEST_F(Transmit, CompletePacketsGoOutAsGivenOnTheStreamOfTheirType) {
  struct Case {
    const char* name;
    Bytes packet;
    UdpPeer Transmit::*peer;
  };
  const Case cases[] = {
      {"second video with marker", rtpPacket(0xE2, 7, pattern(28)), &Transmit::second},
      {"audio", rtpPacket(0x00, 9, pattern(1)), &Transmit::audio},
      {"header only", rtpPacket(0x1A, 1, {}), &Transmit::video},
      {"1500 bytes", rtpPacket(0x1A, 2, pattern(1488)), &Transmit::video},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(streamer->transmit(zelkit::RtpPacketComplete, c.packet.data(), static_cast<int>(c.packet.size()), 0),
              static_cast<int>(c.packet.size()));
    EXPECT_EQ((this->*c.peer).receive(), c.packet);
  }
  const Bytes tooLong = rtpPacket(0x1A, 3, pattern(1489));
  EXPECT_EQ(streamer->transmit(zelkit::RtpPacketComplete, tooLong.data(), 1501, 0), -1);
  const Bytes tooShort = rtpPacket(0x1A, 3, {});
  EXPECT_EQ(streamer->transmit(zelkit::RtpPacketComplete, tooShort.data(), 11, 0), -1);
  const Bytes unknown = rtpPacket(0x64, 3, pattern(4));
  EXPECT_EQ(streamer->transmit(zelkit::RtpPacketComplete, unknown.data(), 16, 0), -1);
  EXPECT_FALSE(video.receive(50ms));
}

TEST_F(Transmit, EncryptedCompletePacketLeavesTheCallersBufferAlone) {
  const Bytes key = pattern(16, 0x77);
  ASSERT_EQ(streamer->setEncryptionKey(zelkit::ChannelSendVideo, false, const_cast<uint8_t*>(key.data()), 16), 0);
  const Bytes original = rtpPacket(0x9A, 0x4242, pattern(100), 0x00001234);
  Bytes given = original;
  ASSERT_EQ(streamer->transmit(zelkit::RtpPacketComplete, given.data(), static_cast<int>(given.size()), 0),
            static_cast<int>(given.size()));
  EXPECT_EQ(given, original);
  auto sent = video.receive();
  ASSERT_TRUE(sent);
  EXPECT_EQ(Bytes(sent->begin(), sent->begin() + 12), Bytes(original.begin(), original.begin() + 12));
  EXPECT_NE(*sent, original);
  C_CryptAES cipher;
  cipher.setRtpMasterKey(key.data());
  cipher.decryptRtp(sent->data(), static_cast<uint32_t>(sent->size()));
  EXPECT_EQ(*sent, original);

  // The copy is bounded as the packets built here are.
  const Bytes tooLong = rtpPacket(0x1A, 3, pattern(1489));
  EXPECT_EQ(streamer->transmit(zelkit::RtpPacketComplete, tooLong.data(), 1501, 0), -1);
  EXPECT_FALSE(video.receive(50ms));
}

TEST(TransmitWithoutStreams, FailsOnClosedSockets) {
  RtpStreamer streamer("zelp://127.0.0.1:9", 1);
  const Bytes payload = pattern(10);
  for (int type : {0, 26, 73, 98}) EXPECT_EQ(streamer.transmit(pt(type), payload.data(), 10, 0), -1) << type;
}

}  // namespace
