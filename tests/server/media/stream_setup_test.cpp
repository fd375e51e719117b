#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "core/engine/engine_test_util.h"
#include "security/cipher/aes.h"
#include "server/media/media_test_util.h"
#include "support/raw_client.h"
#include "support/test_device.h"
#include "zelkit/exceptions.h"
#include "zelkit/rtp_streamer.h"

namespace {

using namespace std::chrono_literals;
using namespace mediatest;
using enginetest::Recorder;
using zelkit::RtpStreamer;
using zeltest::RecordedFrame;
using zeltest::Rule;

constexpr uint32_t kSession = 0x00080001;
constexpr unsigned short kNum = 0x0105;

// The kinds words of a connect result: send kinds, receive kinds.
std::pair<uint32_t, uint32_t> kindsOf(const enginetest::Delivery& result) {
  EXPECT_EQ(result.payload.size(), 16u);
  EXPECT_EQ(zeltest::readU32(result.payload.data()), 0u);
  EXPECT_EQ(zeltest::readU32(result.payload.data() + 4), 0u);
  return {zeltest::readU32(result.payload.data() + 8), zeltest::readU32(result.payload.data() + 12)};
}

class StreamSetup : public testing::Test {
 protected:
  void SetUp() override {
    device.addAccount("user", "pw");
    device.setRule(kConnectPrimitive, Rule::silent());
    device.setRule(kConnectNvrVideo, Rule::silent());
    device.start();
  }
  std::string url(const char* scheme = "zelp") const { return std::string(scheme) + "://user:pw@" + device.endpoint(); }
  RecordedFrame awaitRequest(uint32_t tag = kConnectPrimitive) {
    const auto request = device.waitForTag(tag, 5s);
    if (!request) throw std::runtime_error("no connect request");
    return *request;
  }
  enginetest::Delivery awaitResult() {
    const auto result = results.waitFor(kConnectResult, 5s);
    if (!result) throw std::runtime_error("no connect result");
    return *result;
  }

  zeltest::TestDevice device;
  Recorder results;
};

TEST_F(StreamSetup, UdpRequestCarriesBoundLocalPortsAndAsksForMulticast) {
  RtpStreamer streamer(url().c_str(), kNum);
  streamer.connectVideo(3000, 0, 0x5A, 0, 3, Recorder::callback, &results);
  const RecordedFrame request = awaitRequest();
  EXPECT_EQ(request.header.sessionId, 0u);
  EXPECT_EQ(request.header.num, kNum);
  const auto descriptors = descriptorsOf(request);
  ASSERT_EQ(descriptors.size(), 2u);
  const Descriptor& video = descriptors[0];
  const Descriptor& audio = descriptors[1];
  EXPECT_EQ(video.clientSends, 0);
  EXPECT_EQ(video.media, 1);
  EXPECT_EQ(audio.media, 2);
  for (const Descriptor& d : descriptors) {
    EXPECT_EQ(d.status, 0);
    EXPECT_EQ(d.transport, 0x0100);
    EXPECT_EQ(d.address, 0xE0000000u);
    EXPECT_EQ(d.line, kNum & 0xFF);
    EXPECT_NE(d.port, 0);
    EXPECT_TRUE(zeltest::udpPortTaken(d.port)) << d.port;
  }
  EXPECT_EQ(video.parameter, 0x5A);
  EXPECT_EQ(audio.parameter, 0) << "the parameter goes with audio only when the video coding has 0x4000";
  EXPECT_NE(video.port, audio.port);
  // The video descriptor's fixed words.
  EXPECT_EQ(zeltest::readU16(request.payload.data() + 26), 0xFFFF);
  EXPECT_EQ(zeltest::readU16(request.payload.data() + 30), 0x0090);
}

TEST_F(StreamSetup, ConnectResultCarriesTheAcceptedKinds) {
  UdpPeer deviceAudio;
  struct Case {
    const char* name;
    std::function<Bytes(const Descriptor& video)> reply;
    uint32_t sendKinds;
    uint32_t receiveKinds;
  };
  const Case cases[] = {
      {"video received, audio sent",
       [&](const Descriptor& video) {
         return join({encodeDescriptor(acceptUnicast(video)),
                      encodeDescriptor({.clientSends = 1, .media = 2, .port = deviceAudio.port()})});
       },
       2, 1},
      {"not accepted", [](const Descriptor& video) { return encodeDescriptor(video); }, 0, 0},
      {"a descriptor cut short ends the walk; the kinds so far are reported",
       [](const Descriptor& video) {
         const Bytes audio = encodeDescriptor({.media = 2});
         return join({encodeDescriptor(acceptUnicast(video)), Bytes(audio.begin(), audio.begin() + 16)});
       },
       0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Recorder caseResults;
    const size_t seen = device.frames().size();
    RtpStreamer streamer(url().c_str(), kNum);
    streamer.connectVideo(3000, 0, 0, 2, 1, Recorder::callback, &caseResults);
    const auto request = device.waitForTag(kConnectPrimitive, 5s, seen);
    ASSERT_TRUE(request);
    ASSERT_TRUE(device.reply(*request, c.reply(descriptorsOf(*request)[0]), zeltest::kModeReply, kSession));
    const auto result = caseResults.waitFor(kConnectResult, 5s);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->mode, 1);
    EXPECT_EQ(kindsOf(*result), std::make_pair(c.sendKinds, c.receiveKinds));
    EXPECT_EQ(streamer.getSessionId(), kSession);
  }
}

TEST_F(StreamSetup, ErrorReplyReachesTheConnectCallback) {
  device.setRule(kConnectPrimitive, Rule::error(0x40));
  RtpStreamer streamer(url().c_str(), kNum);
  streamer.connectVideo(3000, 0, 0, 0, 1, Recorder::callback, &results);
  const enginetest::Delivery result = awaitResult();
  EXPECT_EQ(result.mode, 3);
  EXPECT_EQ(result.errorCode, 0x40);
  EXPECT_EQ(kindsOf(result), std::make_pair(0u, 0u));
}

TEST_F(StreamSetup, NvrRequestCarriesTheValueAndTheBoundVideoPort) {
  RtpStreamer streamer(url().c_str(), kNum);
  streamer.connectNvrVideo(3000, 0x01020304, Recorder::callback, &results);
  const RecordedFrame request = awaitRequest(kConnectNvrVideo);
  ASSERT_EQ(request.payload.size(), 36u);
  EXPECT_EQ(zeltest::readU32(request.payload.data()), 0x01020304u);
  const Descriptor video = decodeDescriptor(request.payload.data() + 4);
  EXPECT_EQ(video.media, 1);
  EXPECT_EQ(video.transport, 0x0100);
  EXPECT_EQ(video.line, 0);
  EXPECT_TRUE(zeltest::udpPortTaken(video.port));
  ASSERT_TRUE(device.reply(request, encodeDescriptor(acceptUnicast(video)), zeltest::kModeReply, kSession));
  EXPECT_EQ(kindsOf(awaitResult()), std::make_pair(0u, 1u));
}

TEST_F(StreamSetup, TcpStreamsGoThroughTheHttpPortWithTheirTunnelRequests) {
  RtpStreamer streamer(url("http").c_str(), kNum);
  PacketLog log;
  streamer.registerReceiverCallback(false, PacketLog::callback, &log);
  streamer.connectVideo(3000, 0x0008, 0x33, 2, 1, Recorder::callback, &results);
  const RecordedFrame request = awaitRequest();
  const auto descriptors = descriptorsOf(request);
  ASSERT_EQ(descriptors.size(), 2u);
  for (const Descriptor& d : descriptors) {
    EXPECT_EQ(d.transport, 0x0400);
    EXPECT_EQ(d.port, 0) << "no UDP socket before the reply";
    EXPECT_EQ(d.address, 0u);
  }
  Descriptor video = acceptUnicast(descriptors[0]);
  video.transport = 0x0480;  // acknowledgements wanted
  const Descriptor audio = acceptUnicast(descriptors[1]);
  ASSERT_TRUE(
      device.reply(request, join({encodeDescriptor(video), encodeDescriptor(audio)}), zeltest::kModeReply, kSession));
  ASSERT_TRUE(results.waitFor(kConnectResult, 5s));

  // The receive stream: its request goes out as soon as it is connected.
  const auto receiving = device.waitForMediaTunnel(5s);
  ASSERT_TRUE(receiving);
  EXPECT_EQ(*device.mediaTunnelRequest(*receiving),
            "GET /media_tunnel/00080001/01/01/05/33?index=1 HTTP/1.0\r\nAuthorization: Basic dXNlcjo=\r\n\r\n");
  const Bytes payload = pattern(20);
  ASSERT_TRUE(device.sendRaw(*receiving, mediaFrame(rtpPacket(0x80 | 96, 0x1234, payload))));
  ASSERT_TRUE(device.sendRaw(*receiving, mediaFrame(rtpPacket(96, 0x1235, payload))));
  ASSERT_TRUE(log.waitForCount(2, 5s));
  for (const Received& packet : log.packets()) {
    EXPECT_EQ(packet.type, 96);
    EXPECT_EQ(packet.data, payload);
  }
  // Only the marked packet is acknowledged, with its sequence number.
  ASSERT_TRUE(device.waitForMediaPacketCount(*receiving, 1, 5s));
  Bytes ack{0x81, 0xC9, 0x00, 0x1F};
  ack.resize(18, 0);
  ack.insert(ack.end(), {0x12, 0x34});
  ack.resize(32, 0);
  // Type 73 goes out on the receive video connection.
  EXPECT_EQ(streamer.transmit(static_cast<zelkit::RtpPayloadType>(73), payload.data(), 20, 0), 32);
  ASSERT_TRUE(device.waitForMediaPacketCount(*receiving, 2, 5s));
  const auto fromClient = device.mediaPackets(*receiving);
  EXPECT_EQ(fromClient[0], ack);
  EXPECT_EQ(fromClient[1][1], 73);

  // The send stream: its request goes before the first packet.
  EXPECT_EQ(streamer.transmit(static_cast<zelkit::RtpPayloadType>(0), payload.data(), 20, 160), 32);
  const auto sending = device.waitForMediaTunnel(5s, *receiving + 1);
  ASSERT_TRUE(sending);
  EXPECT_EQ(*device.mediaTunnelRequest(*sending),
            "GET /media_tunnel/00080001/02/00/05/00?index=2 HTTP/1.0\r\nAuthorization: Basic dXNlcjo=\r\n\r\n");
  ASSERT_TRUE(device.waitForMediaPacketCount(*sending, 1, 5s));
  const Bytes sent = device.mediaPackets(*sending)[0];
  EXPECT_EQ(sent[1], 0);
  EXPECT_EQ(Bytes(sent.begin() + 12, sent.end()), payload);
  EXPECT_TRUE(device.protocolErrors().empty());
}

TEST_F(StreamSetup, StreamKeysOfTheReplyEncryptWhatIsSent) {
  UdpPeer deviceAudio;
  RtpStreamer streamer(url().c_str(), kNum);
  streamer.connectVideo(3000, 0, 0, 2, 0, Recorder::callback, &results);
  const RecordedFrame request = awaitRequest();
  const Bytes key = pattern(16, 0x5C);
  ASSERT_TRUE(device.reply(
      request, join({encodeDescriptor({.clientSends = 1, .media = 2, .port = deviceAudio.port()}), keyItems(key)}),
      zeltest::kModeReply, kSession));
  ASSERT_TRUE(results.waitFor(kConnectResult, 5s));

  const Bytes payload = pattern(160, 3);
  EXPECT_EQ(streamer.transmit(static_cast<zelkit::RtpPayloadType>(0), payload.data(), 160, 0x00010203), 172);
  auto packet = deviceAudio.receive();
  ASSERT_TRUE(packet);
  ASSERT_EQ(packet->size(), 172u);
  EXPECT_NE(Bytes(packet->begin() + 12, packet->end()), payload);
  C_CryptAES cipher;
  cipher.setRtpMasterKey(key.data());
  cipher.decryptRtp(packet->data(), static_cast<uint32_t>(packet->size()));
  EXPECT_EQ(Bytes(packet->begin() + 12, packet->end()), payload);
}

TEST_F(StreamSetup, SetEncryptionKeyChannels) {
  UdpPeer deviceVideo;
  RtpStreamer streamer(url().c_str(), kNum);
  streamer.connectVideo(3000, 0, 0, 1, 0, Recorder::callback, &results);
  const RecordedFrame request = awaitRequest();
  ASSERT_TRUE(device.reply(request, encodeDescriptor({.clientSends = 1, .port = deviceVideo.port()}),
                           zeltest::kModeReply, kSession));
  ASSERT_TRUE(results.waitFor(kConnectResult, 5s));

  Bytes key = pattern(16, 0x21);
  struct Case {
    int channel;
    bool flag;
    int expected;
  };
  for (const Case& c :
       {Case{5, false, -1}, Case{-1, false, -1}, Case{4095, false, -1}, Case{0, true, -2}, Case{4096, false, 0}}) {
    EXPECT_EQ(streamer.setEncryptionKey(static_cast<zelkit::ConnectChannels>(c.channel), c.flag, key.data(), 16),
              c.expected)
        << c.channel;
  }
  // 4096 keyed the send video stream.
  const Bytes payload = pattern(64);
  ASSERT_EQ(streamer.transmit(static_cast<zelkit::RtpPayloadType>(26), payload.data(), 64, 7), 76);
  auto packet = deviceVideo.receive();
  ASSERT_TRUE(packet);
  C_CryptAES cipher;
  cipher.setRtpMasterKey(key.data());
  cipher.decryptRtp(packet->data(), static_cast<uint32_t>(packet->size()));
  EXPECT_EQ(Bytes(packet->begin() + 12, packet->end()), payload);
}

TEST_F(StreamSetup, KeepAlivesEveryFourSecondsUntilDisconnect) {
  RtpStreamer streamer(url().c_str(), kNum);
  streamer.connectVideo(3000, 0, 0, 0, 1, Recorder::callback, &results);
  const RecordedFrame request = awaitRequest();
  ASSERT_TRUE(
      device.reply(request, encodeDescriptor(acceptUnicast(descriptorsOf(request)[0])), zeltest::kModeReply, kSession));
  ASSERT_TRUE(results.waitFor(kConnectResult, 5s));
  const auto connected = Clock::now();

  const auto first = device.waitForTag(kKeepAlive, 7s);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->header.sessionId, kSession);
  EXPECT_GE(first->time - connected, 3400ms);
  EXPECT_TRUE(first->payload.empty());

  streamer.disconnectVideo();
  const auto disconnect = device.waitForTag(kDisconnectPrimitive, 5s);
  ASSERT_TRUE(disconnect);
  EXPECT_EQ(disconnect->header.sessionId, kSession);
  EXPECT_EQ(streamer.getSessionId(), 0u);
  std::this_thread::sleep_for(4500ms);
  for (const RecordedFrame& frame : device.framesWithTag(kKeepAlive)) EXPECT_LT(frame.time, disconnect->time);
}

TEST_F(StreamSetup, KeysFollowSendDescriptorsWhenTheFlagsAskForThem) {
  UdpPeer deviceVideo;
  RtpStreamer streamer(url().c_str(), kNum);
  // The flags byte is the top byte of the send mask.
  streamer.connectVideo(3000, 0, 0, 0x08000001, 0, Recorder::callback, &results);
  const RecordedFrame request = awaitRequest();
  ASSERT_EQ(request.payload.size(), 32u + 5 * 8);
  const Descriptor video = decodeDescriptor(request.payload.data());
  EXPECT_EQ(video.clientSends, 1);
  EXPECT_EQ(video.flags, 0x08);
  const Bytes items(request.payload.begin() + 32, request.payload.end());
  Bytes key;
  for (int word = 0; word < 4; ++word)
    key.insert(key.end(), items.begin() + 8 * word + 4, items.begin() + 8 * word + 8);
  EXPECT_EQ(items, keyItems(key));

  ASSERT_TRUE(device.reply(request, encodeDescriptor({.clientSends = 1, .port = deviceVideo.port()}),
                           zeltest::kModeReply, kSession));
  ASSERT_TRUE(results.waitFor(kConnectResult, 5s));
  const Bytes payload = pattern(48);
  ASSERT_EQ(streamer.transmit(static_cast<zelkit::RtpPayloadType>(26), payload.data(), 48, 1), 60);
  auto packet = deviceVideo.receive();
  ASSERT_TRUE(packet);
  C_CryptAES cipher;
  cipher.setRtpMasterKey(key.data());
  cipher.decryptRtp(packet->data(), static_cast<uint32_t>(packet->size()));
  EXPECT_EQ(Bytes(packet->begin() + 12, packet->end()), payload);
}

// The device's control port is the protocol port, so TCP media goes to its
// HTTP port, where nothing listens.
TEST(StreamSetupClosedPort, FailedTcpConnectLeavesTheReceiverIdle) {
  zeltest::TestDevice device("127.0.0.2", 1756);
  device.addAccount("user", "pw");
  device.setRule(kConnectPrimitive, Rule::silent());
  device.start();
  RtpStreamer streamer("zelp://user:pw@127.0.0.2:1756", kNum);
  PacketLog log;
  streamer.registerReceiverCallback(false, PacketLog::callback, &log);
  Recorder results;
  streamer.connectVideo(3000, 0x0008, 0, 0, 1, Recorder::callback, &results);
  const auto request = device.waitForTag(kConnectPrimitive, 5s);
  ASSERT_TRUE(request);
  ASSERT_TRUE(device.reply(*request, encodeDescriptor(acceptUnicast(descriptorsOf(*request)[0])), zeltest::kModeReply,
                           kSession));
  ASSERT_TRUE(results.waitFor(kConnectResult, 5s));

  const auto before = processCpuTime();
  std::this_thread::sleep_for(1500ms);
  // A receiver that spun on the failed connect would use the whole time.
  EXPECT_LT(processCpuTime() - before, 300ms);
  EXPECT_TRUE(log.packets().empty());
  EXPECT_EQ(device.connectionCount(), 1);
}

}  // namespace
