#include <gtest/gtest.h>
#include <stdlib.h>

#include "core/engine/core.h"
#include "core/engine/engine_test_util.h"
#include "support/test_device.h"
#include "zelkit/client.h"

namespace {

using namespace enginetest;
using namespace std::chrono_literals;
using zelkit::detail::core;

TEST(Ping, InternetChecksum) {
  struct Case {
    zeltest::Bytes bytes;
    uint16_t checksum;
  };
  const Case cases[] = {
      {{0x00, 0x01, 0xF2, 0x03, 0xF4, 0xF5, 0xF6, 0xF7}, 0x220D},  // RFC 1071's example
      {{0x08, 0x00, 0x00, 0x00, 0x34, 0x12, 0x01, 0x00}, 0xC2ED},  // an echo request
      {{0xAB}, 0x54FF},                                            // an odd last byte alone
      {{}, 0xFFFF},
  };
  for (const Case& row : cases)
    EXPECT_EQ(zelkit::detail::icmpChecksum(row.bytes.data(), static_cast<int>(row.bytes.size())), row.checksum);
}

// With TCP limits on, connects to IPv4 devices wait for an echo reply.
class PacedConnects : public testing::Test {
 protected:
  void SetUp() override {
    setenv("TARVO_KELMO_CONFIG", "/nonexistent/kelmo.conf", 1);
    setenv("TARVO_KELMO_NoTcpLimits", "0", 1);
    core().ensureInitialized();
    if (!core().pingSocketOpen()) GTEST_SKIP() << "no ICMP socket for this process";
  }
};

TEST_F(PacedConnects, Ipv4DeviceAnswersTheEchoAndConnects) {
  zeltest::TestDevice device;
  device.start();
  zelkit::ZelClient client(("zelp://HookOn1@" + device.endpoint()).c_str(), 0, 0);
  zelkit::ZelInputStream response;
  client.sendRequest(4000, 0x0A370C31, response);
  EXPECT_NO_THROW(response.wait());
}

TEST_F(PacedConnects, Ipv6DeviceConnectsWithoutEcho) {
  RawPeer peer(true);
  zelkit::ZelClient client(peer.url("HookOn1@").c_str(), 0, 0);
  client.connect();
  ASSERT_TRUE(peer.acceptAndRegister(5s));
  Recorder replies;
  client.sendRequest(4000, 0x0A370C31, Recorder::callback, &replies);
  const auto request = peer.readUntil(0x0A370C31, 5s);
  ASSERT_TRUE(request);
  peer.reply(request->header, {9});
  const auto reply = replies.waitFor(0x0A370C31, 5s);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->payload, zeltest::Bytes{9});
}

}  // namespace
