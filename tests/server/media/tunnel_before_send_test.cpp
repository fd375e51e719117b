// A TCP receive stream whose first bytes from the client are not the
// receiver thread's: a packet sent on it, or a stream set up again over it,
// before the thread sent its media-tunnel request. The stream must still
// open with the request and be read, and no thread may spin meanwhile.
#include <gtest/gtest.h>

#include <string>

#include "core/engine/engine_test_util.h"
#include "server/media/media_test_util.h"
#include "support/test_device.h"
#include "zelkit/rtp_streamer.h"

namespace {

using namespace std::chrono_literals;
using namespace mediatest;
using enginetest::Recorder;
using zelkit::RtpStreamer;
using zeltest::Rule;

constexpr uint32_t kSession = 0x00080001;
constexpr unsigned short kNum = 0x0105;
constexpr uint8_t kBackChannel = 73;
constexpr int kVideoPackets = 115;
// An idle receiver uses next to nothing; a spinning one a whole core.
constexpr auto kIdleCpuBound = 300ms;

class TunnelBeforeSend : public testing::Test {
 protected:
  void SetUp() override {
    device.addAccount("user", "pw");
    device.setRule(kConnectPrimitive, Rule::silent());
    device.start();
  }

  // Asks for video over TCP and accepts it; returns once the connect result
  // came, before the receiver thread could have served the new stream.
  void connectTcpVideo(RtpStreamer& streamer) {
    Recorder results;
    const size_t seen = device.frames().size();
    streamer.connectVideo(3000, 0x0008, 0x33, 0, 1, Recorder::callback, &results);
    const auto request = device.waitForTag(kConnectPrimitive, 5s, seen);
    ASSERT_TRUE(request);
    ASSERT_TRUE(device.reply(*request, encodeDescriptor(acceptUnicast(descriptorsOf(*request)[0])),
                             zeltest::kModeReply, kSession));
    ASSERT_TRUE(results.waitFor(kConnectResult, 5s));
  }

  // The device's video on the tunnel, one frame per send.
  void sendVideo(int connection) {
    for (int i = 0; i < kVideoPackets; ++i)
      ASSERT_TRUE(device.sendRaw(connection, mediaFrame(rtpPacket(96, static_cast<uint16_t>(i), pattern(40, static_cast<uint8_t>(i))))));
  }

  void expectAllVideo(const PacketLog& log) {
    const auto packets = log.packets();
    ASSERT_EQ(packets.size(), static_cast<size_t>(kVideoPackets));
    for (int i = 0; i < kVideoPackets; ++i) {
      EXPECT_EQ(packets[i].type, 96);
      EXPECT_EQ(packets[i].data, pattern(40, static_cast<uint8_t>(i))) << i;
    }
  }

  std::string url() const { return "http://user:pw@" + device.endpoint(); }

  zeltest::TestDevice device;
};

// A back-channel packet sent at once after the connect: the tunnel request
// still opens the connection, the packet follows it, and the device's video
// is delivered, whether the receiver thread ran already or starts later.
TEST_F(TunnelBeforeSend, BackChannelPacketBeforeTheTunnelRequestKeepsTheStream) {
  struct Case {
    const char* name;
    bool receiverFirst;
  };
  for (const Case& c : {Case{"receiver thread waiting already", true}, Case{"receiver thread started later", false}}) {
    SCOPED_TRACE(c.name);
    const int firstConnection = device.connectionCount();
    RtpStreamer streamer(url().c_str(), kNum);
    PacketLog log;
    if (c.receiverFirst) {
      streamer.registerReceiverCallback(false, PacketLog::callback, &log);
      // Long enough without streams for the thread to back off to its slow waits.
      std::this_thread::sleep_for(300ms);
    }
    connectTcpVideo(streamer);
    const auto cpuBefore = processCpuTime();
    const Bytes backChannel = pattern(20, 5);
    EXPECT_EQ(streamer.transmit(static_cast<zelkit::RtpPayloadType>(kBackChannel), backChannel.data(), 20, 0), 32);
    if (!c.receiverFirst) streamer.registerReceiverCallback(false, PacketLog::callback, &log);

    const auto tunnel = device.waitForMediaTunnel(5s, firstConnection);
    ASSERT_TRUE(tunnel);
    EXPECT_EQ(*device.mediaTunnelRequest(*tunnel),
              "GET /media_tunnel/00080001/01/01/05/33?index=1 HTTP/1.0\r\nAuthorization: Basic dXNlcjo=\r\n\r\n");
    ASSERT_TRUE(device.waitForMediaPacketCount(*tunnel, 1, 5s));
    const Bytes sent = device.mediaPackets(*tunnel)[0];
    EXPECT_EQ(sent[1], kBackChannel);
    EXPECT_EQ(Bytes(sent.begin() + 12, sent.end()), backChannel);

    sendVideo(*tunnel);
    EXPECT_TRUE(log.waitForCount(kVideoPackets, 5s));
    std::this_thread::sleep_for(1000ms);
    expectAllVideo(log);
    EXPECT_LT(processCpuTime() - cpuBefore, kIdleCpuBound);
    EXPECT_TRUE(device.protocolErrors().empty());
  }
}

// A UDP stream set up again on the port it had before a TCP stream replaced
// it: the TCP connection waiting for its tunnel is closed, not taken for the
// UDP socket, and the datagrams on that port are delivered.
TEST_F(TunnelBeforeSend, UdpStreamOnItsFormerPortReplacesAWaitingTcpStream) {
  const uint16_t port = freeUdpPort();
  RtpStreamer streamer(url().c_str(), kNum);
  const unsigned long addresses[] = {htonl(INADDR_LOOPBACK)};
  const unsigned short ports[] = {htons(port)};
  streamer.connectStream(0, addresses, ports, 1);
  connectTcpVideo(streamer);
  streamer.connectStream(0, addresses, ports, 1);
  PacketLog log;
  const auto cpuBefore = processCpuTime();
  streamer.registerReceiverCallback(false, PacketLog::callback, &log);

  UdpPeer sender;
  for (int i = 0; i < kVideoPackets; ++i) {
    sender.sendTo(port, rtpPacket(96, static_cast<uint16_t>(i), pattern(40, static_cast<uint8_t>(i))));
    // Within the receive buffer, however slowly a sanitizer build reads.
    if (i % 16 == 15) std::this_thread::sleep_for(10ms);
  }
  EXPECT_TRUE(log.waitForCount(kVideoPackets, 5s));
  std::this_thread::sleep_for(1000ms);
  expectAllVideo(log);
  EXPECT_LT(processCpuTime() - cpuBefore, kIdleCpuBound);
}

}  // namespace
