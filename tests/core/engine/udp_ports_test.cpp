#include <gtest/gtest.h>
#include <unistd.h>

#include <vector>

#include "core/wire/conversions.h"
#include "core/engine/core.h"
#include "platform/socket.h"

namespace {

using zelkit::detail::core;
namespace platform = zelkit::platform;

// A range per process, so parallel tests do not meet.
uint16_t rangeBase() { return static_cast<uint16_t>(40000 + (getpid() % 2000) * 8); }

struct Bound {
  platform::Socket socket;
  uint16_t port;  // host order
  int family;
};

Bound udpSocket(int family, uint16_t port = 0) {
  uint16_t out = 0;
  const platform::Socket socket = core().getUdpSocket(family, htons(port), &out, false);
  sockaddr_in6 local{};
  int length = sizeof local;
  platform::localAddress(socket, reinterpret_cast<sockaddr*>(&local), &length);
  EXPECT_EQ(ntohs(zelkit::detail::sockaddrPort(reinterpret_cast<sockaddr*>(&local))), ntohs(out));
  return {socket, ntohs(out), local.sin6_family};
}

TEST(UdpPorts, RangeIsSearchedFromOnePortFurtherEachCall) {
  core().ensureInitialized();
  const uint16_t base = rangeBase();
  ASSERT_EQ(core().setUdpPortBase(base, base + 3), 0);
  EXPECT_EQ(core().setUdpPortBase(1000, 2000), -1);  // set once
  const std::vector<int> expected = {0, 1, 2, 0, 0, 1, 2};
  for (size_t call = 0; call < expected.size(); ++call) {
    const Bound bound = udpSocket(AF_INET);
    EXPECT_EQ(bound.port, base + expected[call]) << "call " << call;
    platform::closeSocket(bound.socket);
  }
}

TEST(UdpPorts, WithoutLimitTheLowestFreePortFromTheBase) {
  core().ensureInitialized();
  const uint16_t base = rangeBase();
  ASSERT_EQ(core().setUdpPortBase(base, 0), 0);
  const Bound first = udpSocket(AF_INET);
  const Bound second = udpSocket(AF_INET);
  EXPECT_EQ(first.port, base);
  EXPECT_EQ(second.port, base + 1);
  platform::closeSocket(first.socket);
  const Bound third = udpSocket(AF_INET);
  EXPECT_EQ(third.port, base);
  // IPv6 sockets bind the IPv6 any-address within the range.
  const Bound ipv6 = udpSocket(AF_INET6);
  EXPECT_EQ(ipv6.family, AF_INET6);
  EXPECT_GE(ipv6.port, base);
  for (const Bound& bound : {second, third, ipv6}) platform::closeSocket(bound.socket);
}

TEST(UdpPorts, BusyExplicitPortFallsBack) {
  core().ensureInitialized();
  const Bound busy = udpSocket(AF_INET);  // an ephemeral port, no range yet
  ASSERT_NE(busy.port, 0);
  const Bound fallback = udpSocket(AF_INET, busy.port);
  EXPECT_NE(fallback.port, 0);
  EXPECT_NE(fallback.port, busy.port);
  platform::closeSocket(fallback.socket);

  const uint16_t base = rangeBase();
  ASSERT_EQ(core().setUdpPortBase(base, base + 4), 0);
  const Bound ranged = udpSocket(AF_INET, busy.port);
  EXPECT_EQ(ranged.port, base);
  const Bound free = udpSocket(AF_INET, static_cast<uint16_t>(base + 3));  // given and free: taken as it is
  EXPECT_EQ(free.port, base + 3);
  for (const Bound& bound : {busy, ranged, free}) platform::closeSocket(bound.socket);
}

}  // namespace
