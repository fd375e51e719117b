#include <cstdio>
#include <cstring>

#include "core/wire/conversions.h"
#include "core/engine/core.h"
#include "core/engine/lock.h"
#include "platform/errors.h"

namespace zelkit::detail {

namespace {

// Binds the any-address of the socket's family with the port (network order).
int bindAny(platform::Socket socket, int family, uint16_t port) {
  sockaddr_in6 any{};
  makeSockaddr(reinterpret_cast<sockaddr*>(&any), family, nullptr, 0, port);
  const int length = family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
  return platform::bindSocket(socket, reinterpret_cast<sockaddr*>(&any), length);
}

}  // namespace

platform::Socket Core::getUdpSocket(int family, uint16_t port, uint16_t* portOut, bool reuseAddress) {
  const platform::Socket socket = platform::openSocket(family, SOCK_DGRAM, 0);
  if (socket < 0) return -1;
  if (reuseAddress) setSocketFlag(socket, SOL_SOCKET, SO_REUSEADDR, 1);
  *portOut = 0;

  if (port != 0 && bindAny(socket, family, port) == 0) {
    *portOut = port;
  } else if (udpPortBase == 0) {
    if (bindAny(socket, family, 0) != 0) {
      std::printf("bind error %d\n", static_cast<int>(platform::lastError()));
    } else {
      sockaddr_in6 local{};
      int length = sizeof local;
      if (platform::localAddress(socket, reinterpret_cast<sockaddr*>(&local), &length) != 0)
        std::printf("getsockname error %d\n", static_cast<int>(platform::lastError()));
      else
        *portOut = sockaddrPort(reinterpret_cast<sockaddr*>(&local));
    }
  } else {
    uint16_t start;
    {
      GlobalLock lock;
      // Each call starts one port further on; without a limit, at the base.
      if (nextUdpPort >= udpPortBase && nextUdpPort < udpPortLimit)
        ++nextUdpPort;
      else
        nextUdpPort = static_cast<uint16_t>(udpPortBase);
      start = nextUdpPort;
    }
    const uint16_t upper = static_cast<uint16_t>(udpPortLimit != 0 ? udpPortLimit : 65535);
    *portOut = bindUdpPort(socket, family, start, upper);
    if (*portOut == 0 && start != udpPortBase)
      *portOut = bindUdpPort(socket, family, static_cast<uint16_t>(udpPortBase), upper);
  }
  if (*portOut == 0) log(nullptr, "udp", "No more ports available in getUdpSocket");
  return socket;
}

uint16_t Core::bindUdpPort(platform::Socket socket, int family, uint16_t from, uint16_t upper) {
  for (uint32_t port = from; port < upper; ++port) {
    const uint16_t networkPort = htons(static_cast<uint16_t>(port));
    if (bindAny(socket, family, networkPort) == 0) return networkPort;
  }
  return 0;
}

int Core::setUdpPortBase(uint16_t base, uint16_t limit) {
  GlobalLock lock;
  if (udpPortBase != 0) return -1;
  udpPortBase = base;
  udpPortLimit = limit;
  return 0;
}

}  // namespace zelkit::detail
