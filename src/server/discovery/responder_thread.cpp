// The responder thread: its two sockets, the wait for requests and the
// answers.
#include <algorithm>
#include <cstring>

#include "client/scanner/discovery_format.h"
#include "core/engine/core.h"
#include "core/wire/conversions.h"
#include "platform/errors.h"
#include "platform/time.h"
#include "server/discovery/binary_reply.h"
#include "server/discovery/discovery_request.h"
#include "server/discovery/discovery_responder.h"

namespace zelkit::detail {

namespace {

// The longest the thread sleeps before it looks for the library's end.
constexpr int WAKE_MS = 200;
// Answers wait 30 to 120 ms, so that devices do not all answer at once.
constexpr uint32_t REPLY_DELAY_STEP_MS = 30;

const uint32_t processStartTick = platform::tickCount();

uint32_t processClockMs() { return platform::tickCount() - processStartTick; }

enum class Bound { Broadcast, Multicast };

// A UDP socket bound to the port that other responders on the host may
// share; InvalidSocket when none can be made.
platform::Socket openBoundSocket(uint16_t port, Bound which) {
  const platform::Socket socket = platform::openSocket(AF_INET, SOCK_DGRAM, 0);
  if (socket == platform::InvalidSocket) return socket;
  setSocketFlag(socket, SOL_SOCKET, SO_REUSEADDR, 1);
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_port = htons(port);
  if (platform::bindSocket(socket, reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0) {
    const int error = static_cast<int>(platform::lastError());
    // An unbound socket still sends; the responder carries on with it.
    if (which == Bound::Broadcast)
      core().log(nullptr, "disc", "Bind bcast error %d", error);
    else
      core().log(nullptr, "disc", "Bind mcast error %d", error);
  }
  return socket;
}

platform::Socket openMulticastSocket(uint16_t port) {
  const platform::Socket socket = openBoundSocket(port, Bound::Multicast);
  if (socket == platform::InvalidSocket) return socket;
  ip_mreq membership{};
  membership.imr_multiaddr.s_addr = platform::inetAddr(MULTICAST_GROUP);
  membership.imr_interface.s_addr = htonl(INADDR_ANY);
  // Without a multicast route the join fails; broadcasts still reach the
  // other socket.
  if (platform::setSocketOption(socket, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0)
    core().log(nullptr, "disc", "IP_ADD_MEMBERSHIP error %d", static_cast<int>(platform::lastError()));
  return socket;
}

void closeIfOpen(platform::Socket socket) {
  if (socket != platform::InvalidSocket) platform::closeSocket(socket);
}

// One datagram from the broadcast socket, else from the multicast one;
// -1 when none came within the wake interval, or when it was longer than a
// request (the receive fails rather than cutting it).
int receiveRequest(platform::Socket broadcast, platform::Socket multicast, uint8_t (&buffer)[MAX_DISCOVERY_REQUEST],
                   sockaddr_in& from) {
  const platform::Socket sockets[2] = {broadcast, multicast};
  bool ready[2] = {};
  const int count = multicast != platform::InvalidSocket ? 2 : 1;
  const int readyCount = platform::selectReadable(sockets, count, ready, WAKE_MS);
  if (readyCount <= 0) {
    if (readyCount < 0) platform::sleepMilliseconds(WAKE_MS);
    return -1;
  }
  sockaddr_in6 sender{};  // the 28-byte storage of either family
  int senderLength = sizeof sender;
  const int length = platform::receiveDatagram(ready[0] ? broadcast : multicast, buffer, sizeof buffer,
                                               reinterpret_cast<sockaddr*>(&sender), &senderLength);
  if (length < 0 || sender.sin6_family != AF_INET) return -1;
  std::memcpy(&from, &sender, sizeof from);
  return length;
}

void listenerPorts(uint16_t (&ports)[LISTENER_COUNT]) {
  GlobalLock lock;
  for (int index = 0; index < LISTENER_COUNT; ++index) ports[index] = core().serverPort(index);
}

}  // namespace

void DiscoveryResponder::run() {
  const platform::Socket broadcast = openBoundSocket(DISCOVERY_PORT, Bound::Broadcast);
  if (broadcast == platform::InvalidSocket) {
    core().log(nullptr, "disc", "Socket error %d", static_cast<int>(platform::lastError()));
    return;
  }
  setSocketFlag(broadcast, SOL_SOCKET, SO_BROADCAST, 1);
  uint16_t port = groupPort();
  platform::Socket multicast = openMulticastSocket(port);
  AdapterTable adapters(adapterLookup());

  uint8_t datagram[MAX_DISCOVERY_REQUEST];
  while (!core().isTerminating()) {
    if (const uint16_t wanted = groupPort(); wanted != port) {
      closeIfOpen(multicast);
      port = wanted;
      multicast = openMulticastSocket(port);
    }
    sockaddr_in from{};
    const int length = receiveRequest(broadcast, multicast, datagram, from);
    if (length >= 0) answer(broadcast, datagram, length, from, adapters);
  }
  closeIfOpen(multicast);
  platform::closeSocket(broadcast);
}

void DiscoveryResponder::answer(platform::Socket replySocket, const uint8_t* datagram, int length,
                                const sockaddr_in& from, AdapterTable& adapters) {
  DiscoveryRequest request;
  if (!readDiscoveryRequest(datagram, length, request)) return;
  platform::sleepMilliseconds(((processClockMs() & 3) + 1) * REPLY_DELAY_STEP_MS);

  bool onSubnet = false;
  const AdapterInfo& adapter = adapters.choose(from.sin_addr.s_addr, onSubnet);
  DiscoverySettings now = settings();
  listenerPorts(now.device.ports);
  // Zeros behind the text: a callback may send more of the buffer than it wrote.
  char xml[DEVICE_XML_SIZE] = {};
  int xmlLength = formatDeviceXml(now.device, adapter, xml);
  if (now.callback != nullptr)
    xmlLength = std::min(now.callback(now.context, xml, sizeof xml, request.requestByte1, request.requestByte2),
                         DEVICE_XML_SIZE);
  if (xmlLength <= 0) return;

  const types::AutoDetectResponseStruct reply = makeBinaryReply(request, adapter, now.device.identityA);
  sockaddr_in destination = from;
  destination.sin_port = request.replyPort;
  // A requester on no subnet of ours may not reach us by unicast.
  if (!onSubnet) destination.sin_addr.s_addr = BROADCAST_ADDRESS;
  const auto* to = reinterpret_cast<const sockaddr*>(&destination);
  platform::sendDatagram(replySocket, &reply, sizeof reply, to, sizeof destination);
  platform::sendDatagram(replySocket, xml, xmlLength, to, sizeof destination);
}

}  // namespace zelkit::detail
