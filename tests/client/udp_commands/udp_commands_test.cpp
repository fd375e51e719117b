#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client/scanner/scan_test_util.h"
#include "support/wire_codec.h"
#include "zelkit/exceptions.h"
#include "zelkit/scanner.h"

namespace {

using namespace scantest;
using zelkit::NetworkScanner;
using zeltest::UdpPeer;

constexpr uint8_t kMac[6] = {0x00, 0x07, 0x5f, 0x12, 0x34, 0x56};
constexpr uint32_t kCommand = 0x0A370C31;

Bytes macBytes() { return Bytes(kMac, kMac + 6); }

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

Bytes be32(uint32_t value) {
  Bytes bytes;
  zeltest::appendU32(bytes, value);
  return bytes;
}

using UdpCommandsTest = PrivateNetworkTest;

TEST_F(UdpCommandsTest, SetIpAddressBroadcastsTheAddressesAsHeld) {
  UdpPeer devices(1759);
  NetworkScanner::setIpAddress(kMac, addressOf("192.168.1.50"), addressOf("255.255.255.0"), addressOf("192.168.1.1"));
  const auto datagram = devices.receive(3s);
  ASSERT_TRUE(datagram);
  EXPECT_EQ(datagram->bytes, concat({macBytes(), {0, 0}, {192, 168, 1, 50}, {255, 255, 255, 0}, {192, 168, 1, 1},
                                     {0, 0, 0, 0}}));
}

TEST_F(UdpCommandsTest, SetCommandSendsTwelveBytesAndThePayload) {
  UdpPeer devices(1760);
  struct Case {
    int payloadLength;
    bool sent;
  };
  const Case cases[] = {{0, true}, {10, true}, {1496, true}, {1497, false}};
  for (const Case& row : cases) {
    SCOPED_TRACE(row.payloadLength);
    Bytes payload(static_cast<size_t>(row.payloadLength));
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 7);
    zelkit::ZelOutputStream stream;
    if (!payload.empty()) stream.write(payload.data(), static_cast<int>(payload.size()));
    NetworkScanner::setCommand(kMac, 0xBEEF, stream);
    const auto datagram = devices.receive(row.sent ? 3s : 500ms);
    if (!row.sent) {
      EXPECT_FALSE(datagram) << "a payload above 1496 bytes is refused, not cut";
      continue;
    }
    ASSERT_TRUE(datagram);
    Bytes header = concat({macBytes(), {0, 0, 0xBE, 0xEF}});
    zeltest::appendU16(header, static_cast<uint16_t>(row.payloadLength));
    EXPECT_EQ(datagram->bytes, concat({header, payload}));
  }
}

TEST_F(UdpCommandsTest, RequestByMacGetsItsReplyThroughThePseudoConnection) {
  UdpPeer devices(1757);
  Recorder answered;
  zelkit::ZelOutputStream payload;
  payload.write("0123456789", 10);
  const int sequence = NetworkScanner::sendRequest(3000, kMac, kCommand, 0x11223344, 0x55, payload,
                                                   Recorder::callback, &answered);
  const auto request = devices.receive(3s);
  ASSERT_TRUE(request);
  const uint16_t replyPort = ntohs(request->from.sin_port);
  const Bytes expected = concat({be32(kCommand), be32(static_cast<uint32_t>(sequence & 0xFF) << 16), be32(0x11223344),
                                 be32(0x55u << 16 | 36),  // the envelope and the payload
                                 {0x4B, 0xA5, 0xC3, 0x55}, be32(static_cast<uint32_t>(sequence)),
                                 {0, 0, static_cast<uint8_t>(replyPort >> 8), static_cast<uint8_t>(replyPort)},
                                 be32(1), be32(14), macBytes(), bytesOf("0123456789")});
  EXPECT_EQ(request->bytes, expected);
  EXPECT_EQ(request->bytes.size(), 52u);

  // Neither an oversized nor an empty datagram stops the replies.
  devices.sendTo(Bytes(2000, 0x77), request->from);
  devices.sendTo(Bytes(), request->from);
  zeltest::FrameHeader header;
  header.tag = kCommand;
  header.modeByte = zeltest::kModeReply;
  header.transactionId = static_cast<uint8_t>(sequence);
  const Bytes frame = zeltest::encodeFrame(header, bytesOf("ok"));
  devices.sendTo(Bytes(frame.begin() + 4, frame.end()), request->from);  // no TPKT word on UDP
  const auto reply = answered.waitFor(kCommand, 3s);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->errorCode, 0);
  EXPECT_EQ(reply->mode, zeltest::kModeReply);
  EXPECT_EQ(reply->payload, bytesOf("ok"));

  // The next request: the next sequence number; nobody answers it.
  Recorder unanswered;
  const int next = NetworkScanner::sendRequest(300, kMac, kCommand, 0, 0, Recorder::callback, &unanswered);
  EXPECT_EQ(next, sequence + 1);
  const auto second = devices.receive(3s);
  ASSERT_TRUE(second);
  ASSERT_EQ(second->bytes.size(), 42u);
  EXPECT_EQ(second->bytes[5], static_cast<uint8_t>(next));
  const auto timedOut = unanswered.waitFor(kCommand, 3s);
  ASSERT_TRUE(timedOut);
  EXPECT_EQ(timedOut->errorCode, zelkit::ResponseTimeout);
  EXPECT_EQ(answered.count(), 1u);
}

}  // namespace
