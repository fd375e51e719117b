// Multicast receive streams. Each test first moves its process into a
// network namespace of its own, where multicast stays on the loopback
// interface and nothing reaches a real network.
#include <gtest/gtest.h>

#include "core/engine/engine_test_util.h"
#include "server/media/media_test_util.h"
#include "support/private_network.h"
#include "support/test_device.h"
#include "zelkit/exceptions.h"
#include "zelkit/rtp_streamer.h"

namespace {

using namespace std::chrono_literals;
using namespace mediatest;
using zelkit::RtpStreamer;

uint32_t address(const char* text) {
  in_addr out{};
  inet_pton(AF_INET, text, &out);
  return out.s_addr;
}

// A multicast sender bound to a loopback source address.
class GroupSender : public UdpPeer {
 public:
  explicit GroupSender(const char* source) : UdpPeer(source) {
    const in_addr interface { address(source) };
    ::setsockopt(fd(), IPPROTO_IP, IP_MULTICAST_IF, &interface, sizeof interface);
  }
};

// A plain socket that joined a group on the port, as another program would.
class GroupMember {
 public:
  GroupMember(const char* group, uint16_t port) : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    const int on = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in any = loopback(port, "0.0.0.0");
    ip_mreq join{};
    join.imr_multiaddr.s_addr = address(group);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0 ||
        ::setsockopt(fd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) != 0)
      throw std::runtime_error("group member: join failed");
  }
  ~GroupMember() { ::close(fd_); }
  bool gotPacket() const {
    pollfd ready{fd_, POLLIN, 0};
    return ::poll(&ready, 1, 2000) == 1;
  }

 private:
  int fd_;
};

class Multicast : public testing::Test {
 protected:
  // Before any socket or library thread exists.
  void SetUp() override {
    ASSERT_EQ(zeltest::enterPrivateNetwork(), "");
    if (!groupFilterAvailable()) GTEST_SKIP() << "IP_MULTICAST_ALL cannot be set here (an emulator without it)";
  }

  // A receive stream takes only the groups it joined; the 32-bit build's
  // emulator does not pass that socket option through.
  static bool groupFilterAvailable() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int off = 0;
    const bool available = ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof off) == 0;
    ::close(fd);
    return available;
  }

  void receiveGroup(unsigned long source, const char* group, uint16_t port) {
    const unsigned long addresses[] = {address(group)};
    const unsigned short ports[] = {htons(port)};
    streamer = std::make_unique<RtpStreamer>("zelp://127.0.0.1:9", 1);
    streamer->connectStream(source, addresses, ports, 1);
    streamer->registerReceiverCallback(false, PacketLog::callback, &log);
  }
  // The payloads of the packets that arrived within a short while.
  std::vector<Bytes> arrived() {
    std::this_thread::sleep_for(300ms);
    std::vector<Bytes> payloads;
    for (const Received& packet : log.packets()) payloads.push_back(packet.data);
    return payloads;
  }

  PacketLog log;
  std::unique_ptr<RtpStreamer> streamer;
};

TEST_F(Multicast, AnySourceJoinReceivesOnlyItsOwnGroup) {
  const uint16_t port = freeUdpPort();
  GroupMember other("239.9.9.9", port);
  receiveGroup(0, "239.1.2.3", port);
  GroupSender sender("127.0.0.1");
  sender.sendTo(port, rtpPacket(96, 1, Bytes{1}), "239.1.2.3");
  sender.sendTo(port, rtpPacket(96, 2, Bytes{2}), "239.9.9.9");
  EXPECT_TRUE(other.gotPacket());
  EXPECT_EQ(arrived(), (std::vector<Bytes>{{1}}));
}

TEST_F(Multicast, SourceSpecificJoinReceivesOnlyItsSource) {
  const uint16_t port = freeUdpPort();
  receiveGroup(address("127.0.0.1"), "232.1.2.3", port);
  GroupSender chosen("127.0.0.1");
  GroupSender stranger("127.0.0.2");
  stranger.sendTo(port, rtpPacket(96, 1, Bytes{1}), "232.1.2.3");
  chosen.sendTo(port, rtpPacket(96, 2, Bytes{2}), "232.1.2.3");
  EXPECT_EQ(arrived(), (std::vector<Bytes>{{2}}));
}

TEST_F(Multicast, GroupOfTheConnectReplyIsJoinedForTheDeviceAsSource) {
  zeltest::TestDevice device;
  device.addAccount("user", "pw");
  device.setRule(kConnectPrimitive, zeltest::Rule::silent());
  device.start();
  RtpStreamer streamer(("zelp://user:pw@" + device.endpoint()).c_str(), 1);
  streamer.registerReceiverCallback(false, PacketLog::callback, &log);
  enginetest::Recorder results;
  streamer.connectVideo(3000, 0, 0, 0, 1, enginetest::Recorder::callback, &results);
  const auto request = device.waitForTag(kConnectPrimitive, 5s);
  ASSERT_TRUE(request);
  Descriptor video = decodeDescriptor(request->payload.data());
  EXPECT_EQ(video.address, 0xE0000000u) << "multicast asked for";
  const uint16_t port = freeUdpPort();
  video.status = 1;
  video.address = 0xEF010204;  // 239.1.2.4
  video.port = port;
  ASSERT_TRUE(device.reply(*request, encodeDescriptor(video), zeltest::kModeReply, 0x00080001));
  ASSERT_TRUE(results.waitFor(kConnectResult, 5s));

  GroupSender fromDevice("127.0.0.1");
  GroupSender stranger("127.0.0.2");
  stranger.sendTo(port, rtpPacket(96, 1, Bytes{1}), "239.1.2.4");
  fromDevice.sendTo(port, rtpPacket(96, 2, Bytes{2}), "239.1.2.4");
  EXPECT_EQ(arrived(), (std::vector<Bytes>{{2}}));
}

// Without a route no group can be joined: the set-up fails with the
// exception of its own class and code.
TEST(MulticastWithoutRoute, AGroupThatCannotBeJoinedThrowsConnectionError) {
  ASSERT_EQ(zeltest::enterLoopbackOnlyNetwork(), "");
  const unsigned long addresses[] = {address("239.1.2.3")};
  const unsigned short ports[] = {htons(freeUdpPort())};
  RtpStreamer streamer("zelp://127.0.0.1:9", 1);
  try {
    streamer.connectStream(0, addresses, ports, 1);
    ADD_FAILURE() << "the join did not fail";
  } catch (zelkit::ConnectionErrorException* error) {
    EXPECT_EQ(error->code, zelkit::ConnectionError);
    EXPECT_STREQ(error->what(), "zelkit::ConnectionError");
  } catch (zelkit::Exception* error) {
    ADD_FAILURE() << "thrown as " << error->what() << ", code " << error->code;
  }
}

}  // namespace
