#include "platform/icmp_socket.h"

#include <fstream>
#include <thread>

#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>

#include "loopback.h"
#include "platform/errors.h"
#include "platform/thread.h"

namespace zelkit::platform {
namespace {

using namespace loopback;

// An echo request as the library builds it, with the sequence to look for.
void buildEchoRequest(uint8_t (&request)[8], uint16_t sequence) {
  const uint16_t identifier = static_cast<uint16_t>(currentProcessId());
  request[0] = 8;
  request[1] = 0;
  request[2] = request[3] = 0;
  request[4] = static_cast<uint8_t>(identifier);
  request[5] = static_cast<uint8_t>(identifier >> 8);
  request[6] = static_cast<uint8_t>(sequence >> 8);
  request[7] = static_cast<uint8_t>(sequence);
  uint32_t sum = 0;
  for (int i = 0; i < 8; i += 2) sum += static_cast<uint32_t>(request[i] << 8 | request[i + 1]);
  while (sum > 0xFFFF) sum = (sum & 0xFFFF) + (sum >> 16);
  request[2] = static_cast<uint8_t>(~sum >> 8);
  request[3] = static_cast<uint8_t>(~sum);
}

// Pings 127.0.0.1 and reads packets through the port until our echo reply
// comes, then checks it reads as an IPv4 packet: the sender at bytes 12-15,
// the ICMP message from byte 20. A raw socket also sees the request itself
// and other traffic, which is skipped.
void expectEchoReplyWithIpv4Header(Socket icmp) {
  ASSERT_TRUE(associateSocket(testPort(), icmp, 9));
  const uint16_t sequence = static_cast<uint16_t>(0x4000 + currentProcessId() % 0x4000);
  uint8_t request[8];
  buildEchoRequest(request, sequence);
  sockaddr_in to = address(0);
  ASSERT_EQ(sendDatagram(icmp, request, sizeof request, raw(to), sizeof to), 8) << "error " << lastError();
  for (int packets = 0; packets < 50; ++packets) {
    uint8_t reply[64] = {};
    sockaddr_in from{};
    int fromLength = sizeof from;
    Overlapped operation;
    ASSERT_EQ(startReceiveFrom(icmp, reply, sizeof reply, raw(from), &fromLength, &operation), 0u);
    const Completion completion = nextCompletion();
    ASSERT_EQ(completion.operation, &operation) << "no reply";
    ASSERT_TRUE(completion.ok);
    ASSERT_GE(completion.bytes, 28u);
    const bool ourReply = reply[20] == 0 && reply[26] == (sequence >> 8) && reply[27] == (sequence & 0xFF);
    if (!ourReply) continue;
    EXPECT_EQ(reply[0], 0x45);
    EXPECT_EQ(reply[9], IPPROTO_ICMP);
    EXPECT_EQ(reply[2] << 8 | reply[3], static_cast<int>(completion.bytes));
    EXPECT_EQ(std::memcmp(reply + 12, &to.sin_addr, 4), 0);
    EXPECT_EQ(from.sin_addr.s_addr, to.sin_addr.s_addr);
    return;
  }
  ADD_FAILURE() << "no echo reply among 50 packets";
}

TEST(IcmpSocket, EchoReplyFromLoopbackStartsWithAnIpv4Header) {
  const Socket icmp = openIcmpSocket();
  if (icmp == InvalidSocket) GTEST_SKIP() << "neither raw nor datagram ICMP sockets are allowed here";
  expectEchoReplyWithIpv4Header(icmp);
  closeSocket(icmp);
}

// Opens loopback in a network namespace of this thread's own, where the
// datagram ICMP socket may be allowed for every group. False when the
// process may not make one.
bool enterPrivateNetworkWithPing() {
  if (unshare(CLONE_NEWNET) != 0) return false;
  std::ofstream("/proc/sys/net/ipv4/ping_group_range") << "0 2147483647\n";
  const int control = socket(AF_INET, SOCK_DGRAM, 0);
  ifreq request{};
  std::strcpy(request.ifr_name, "lo");
  bool up = ioctl(control, SIOCGIFFLAGS, &request) == 0;
  request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
  up = up && ioctl(control, SIOCSIFFLAGS, &request) == 0;
  ::close(control);
  return up;
}

// The unprivileged socket delivers bare ICMP messages; the layer puts the
// header in front so the reply parses like one from a raw socket.
TEST(IcmpSocket, DatagramSocketRepliesGetASyntheticIpv4Header) {
  bool tested = false;
  std::thread inNamespace([&] {
    Socket icmp = openIcmpDatagramSocket();
    if (icmp == InvalidSocket && enterPrivateNetworkWithPing()) icmp = openIcmpDatagramSocket();
    if (icmp == InvalidSocket) return;
    tested = true;
    expectEchoReplyWithIpv4Header(icmp);
    closeSocket(icmp);
  });
  inNamespace.join();
  if (!tested) GTEST_SKIP() << "datagram ICMP sockets are not allowed here";
}

}  // namespace
}  // namespace zelkit::platform
