#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "security/cipher/aes.h"
#include "server/media/media_test_util.h"
#include "zelkit/rtp_streamer.h"

namespace {

using namespace std::chrono_literals;
using namespace mediatest;
using zelkit::RtpStreamer;

// A streamer receiving one unicast UDP stream that runs already, and the
// test's sender of that stream.
class Receive : public testing::Test {
 protected:
  void SetUp() override {
    const unsigned long addresses[] = {htonl(INADDR_LOOPBACK)};
    const unsigned short ports[] = {htons(port)};
    streamer.connectStream(0, addresses, ports, 1);
  }
  void send(const Bytes& packet) { sender.sendTo(port, packet); }

  uint16_t port = freeUdpPort();
  // The control connection is never used: no request goes to the device.
  RtpStreamer streamer{"zelp://127.0.0.1:9", 1};
  UdpPeer sender;
  PacketLog log;
};

TEST_F(Receive, PayloadsAfterTheirHeaderShortPacketsDropped) {
  streamer.registerReceiverCallback(false, PacketLog::callback, &log);
  const Bytes sixteen = pattern(16);
  send(rtpPacket(96, 1, {}));                            // only a header: no empty callback
  send(Bytes{0x80, 96, 0, 2, 0, 0, 0, 0, 0, 0, 0});      // shorter than a header
  send(rtpPacket(33, 3, join({Bytes(4, 0), sixteen})));  // types 32 and 33 carry 4 more header bytes
  send(rtpPacket(32, 4, Bytes(4, 0)));                   // nothing after the 16 bytes
  send(rtpPacket(0xE0, 5, sixteen));
  ASSERT_TRUE(log.waitForCount(2, 3s));
  std::this_thread::sleep_for(100ms);
  const auto packets = log.packets();
  ASSERT_EQ(packets.size(), 2u);
  EXPECT_EQ(packets[0].type, 33);
  EXPECT_EQ(packets[0].data, sixteen);
  EXPECT_EQ(packets[1].type, 96);
  EXPECT_EQ(packets[1].data, sixteen);
}

TEST_F(Receive, RawDeliveryGivesWholePackets) {
  streamer.registerReceiverCallback(true, PacketLog::callback, &log);
  const Bytes packet = rtpPacket(33, 3, pattern(20));
  send(packet);
  ASSERT_TRUE(log.waitForCount(1, 3s));
  EXPECT_EQ(log.packets()[0].type, zelkit::RtpPacketComplete);
  EXPECT_EQ(log.packets()[0].data, packet);
}

TEST_F(Receive, ReceiveKeyDecryptsTheStream) {
  const Bytes key = pattern(16, 9);
  ASSERT_EQ(streamer.setEncryptionKey(zelkit::ChannelVideo, false, const_cast<uint8_t*>(key.data()), 16), 0);
  streamer.registerReceiverCallback(false, PacketLog::callback, &log);
  const Bytes payload = pattern(64);
  Bytes packet = rtpPacket(96, 1, payload, 0x1234);
  C_CryptAES cipher;
  cipher.setRtpMasterKey(key.data());
  cipher.encryptRtp(packet.data(), static_cast<uint32_t>(packet.size()));
  send(packet);
  ASSERT_TRUE(log.waitForCount(1, 3s));
  EXPECT_EQ(log.packets()[0].data, payload);
}

TEST_F(Receive, QuietStreamIsReportedOnceUntilTheTimeOutIsSetAgain) {
  streamer.registerReceiverCallback(false, PacketLog::callback, &log);
  send(rtpPacket(96, 1, pattern(4)));
  ASSERT_TRUE(log.waitForCount(1, 3s));
  const auto set = Clock::now();
  streamer.setVideoTimeout(400);
  ASSERT_TRUE(log.waitForCount(2, 3s));
  EXPECT_GE(Clock::now() - set, 400ms);
  std::this_thread::sleep_for(1000ms);
  auto packets = log.packets();
  ASSERT_EQ(packets.size(), 2u);
  EXPECT_EQ(packets[1].type, zelkit::RtpPacketComplete);
  EXPECT_FALSE(packets[1].hasData);
  EXPECT_TRUE(packets[1].data.empty());

  streamer.setVideoTimeout(300);
  ASSERT_TRUE(log.waitForCount(3, 3s));
  EXPECT_FALSE(log.packets()[2].hasData);
}

TEST_F(Receive, NullCallbackStopsDelivery) {
  streamer.registerReceiverCallback(false, PacketLog::callback, &log);
  send(rtpPacket(96, 1, pattern(4)));
  ASSERT_TRUE(log.waitForCount(1, 3s));
  streamer.registerReceiverCallback(false, nullptr, nullptr);
  send(rtpPacket(96, 2, pattern(4)));
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(log.packets().size(), 1u);
}

TEST(ReceiveCopies, CopiesShareTheStreamsWhichLastUntilTheLastCopy) {
  const uint16_t port = freeUdpPort();
  UdpPeer sender;
  PacketLog log;
  auto original = std::make_unique<RtpStreamer>("zelp://127.0.0.1:9", 1);
  RtpStreamer copy(*original);
  const unsigned long addresses[] = {htonl(INADDR_LOOPBACK)};
  const unsigned short ports[] = {htons(port)};
  original->connectStream(0, addresses, ports, 1);
  copy.registerReceiverCallback(false, PacketLog::callback, &log);
  original.reset();
  sender.sendTo(port, rtpPacket(96, 1, pattern(4)));
  ASSERT_TRUE(log.waitForCount(1, 3s));
  RtpStreamer assigned("zelp://127.0.0.1:9", 2);
  assigned = copy;
  sender.sendTo(port, rtpPacket(96, 2, pattern(4)));
  ASSERT_TRUE(log.waitForCount(2, 3s));
}

// An application that lets the streamer go when its stream went quiet does so
// on the receiver thread, inside the callback; the thread then ends and
// frees what it used.
TEST(ReceiveTeardown, StreamerDestroyedInsideItsOwnCallback) {
  struct Owner {
    std::unique_ptr<RtpStreamer> streamer;
    std::atomic<int> packets{0};
    std::atomic<bool> gone{false};
    static void callback(void* context, zelkit::RtpPayloadType, unsigned char const* data, int) {
      auto* owner = static_cast<Owner*>(context);
      if (data != nullptr) {
        ++owner->packets;
        return;
      }
      owner->streamer.reset();
      owner->gone = true;
    }
  };
  const uint16_t port = freeUdpPort();
  Owner owner;
  owner.streamer = std::make_unique<RtpStreamer>("zelp://127.0.0.1:9", 1);
  const unsigned long addresses[] = {htonl(INADDR_LOOPBACK)};
  const unsigned short ports[] = {htons(port)};
  owner.streamer->connectStream(0, addresses, ports, 1);
  owner.streamer->registerReceiverCallback(false, Owner::callback, &owner);
  owner.streamer->setVideoTimeout(200);
  UdpPeer sender;
  sender.sendTo(port, rtpPacket(96, 1, pattern(4)));
  const auto end = Clock::now() + 5s;
  while (!owner.gone && Clock::now() < end) std::this_thread::sleep_for(10ms);
  ASSERT_TRUE(owner.gone);
  EXPECT_EQ(owner.packets, 1);
  // The socket went with it.
  std::this_thread::sleep_for(300ms);
  UdpPeer rebind("127.0.0.1", port);
  EXPECT_EQ(rebind.port(), port);
}

}  // namespace
