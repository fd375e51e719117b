#include <cstring>

#include "core/connection/connection.h"
#include "core/wire/conversions.h"
#include "core/engine/core.h"
#include "core/engine/lock.h"
#include "platform/errors.h"
#include "platform/thread.h"

namespace zelkit::detail {

namespace {

constexpr int ICMP_ECHO_LENGTH = 8;
constexpr uint8_t ICMP_ECHO_REQUEST = 8;
constexpr uint8_t ICMP_ECHO_REPLY = 0;
constexpr int IPV4_HEADER_LENGTH = 20;

}  // namespace

uint16_t icmpChecksum(const uint8_t* data, int length) {
  uint32_t sum = 0;
  int i = 0;
  for (; i + 1 < length; i += 2) sum += readBE16(data + i);
  if (i < length) sum += static_cast<uint32_t>(data[i]) << 8;
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

void Core::openPingSocket() {
  pingReceivePosted = false;
  pingOp = {};
  pingOp.mode = PingReceive;
  pingSocket = platform::openIcmpSocket();
  if (pingSocket < 0) {
    pingSocket = -1;
    log(nullptr, "icmp", "Error setting up ping socket %d\n", static_cast<int>(platform::lastError()));
    return;
  }
  if (setSocketFlag(pingSocket, SOL_SOCKET, SO_REUSEADDR, 1) != 0)
    log(nullptr, "icmp", "Error setsockopt REUSEADDR %d\n", static_cast<int>(platform::lastError()));
  if (!platform::associateSocket(completionPort, pingSocket, 0))
    log(nullptr, "icmp", "Error setting up ping completion port %d\n", static_cast<int>(platform::lastError()));
}

int Core::sendPing(uint32_t address) {
  GlobalLock lock;
  if (pingSocket < 0) return -1;
  const uint16_t identifier = static_cast<uint16_t>(platform::currentProcessId());
  // Identifier and sequence (1) in little-endian order.
  uint8_t echo[ICMP_ECHO_LENGTH] = {ICMP_ECHO_REQUEST, 0, 0, 0, static_cast<uint8_t>(identifier),
                                    static_cast<uint8_t>(identifier >> 8), 1, 0};
  writeBE16(echo + 2, icmpChecksum(echo, ICMP_ECHO_LENGTH));
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = address;
  if (platform::sendDatagram(pingSocket, echo, ICMP_ECHO_LENGTH, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0) {
    // The process may not use ICMP sockets: pacing by echo is off for good.
    if (platform::lastError() == platform::wsa::Access) {
      platform::closeSocket(pingSocket);
      pingSocket = -1;
    }
    return -1;
  }
  if (!pingReceivePosted) postPingReceive();
  return 0;
}

void Core::postPingReceive() {
  if (pingSocket < 0) return;
  std::memset(pingBuffer, 0, sizeof pingBuffer);
  pingFromLength = sizeof pingFrom;
  const uint32_t error = platform::startReceiveFrom(pingSocket, pingBuffer, sizeof pingBuffer,
                                                    reinterpret_cast<sockaddr*>(&pingFrom), &pingFromLength,
                                                    &pingOp.record);
  if (error != 0) {
    log(nullptr, "icmp", "Error setting up ping receiver %d\n", static_cast<int>(error));
    notifyLocal(LocalEvent::ListenerFailed, nullptr);
    return;
  }
  pingReceivePosted = true;
}

void Core::onPingCompletion(bool ok, uint32_t status) {
  GlobalLock lock;
  pingReceivePosted = false;
  if (!ok && status != platform::status::MoreData) {
    switch (status) {
      case platform::status::Success:
      case platform::status::NetnameDeleted:
      case platform::status::AlreadyExists:
        log(nullptr, "icmp", "Error %d Reopen socket", static_cast<int>(status));
        platform::closeSocket(pingSocket);
        openPingSocket();
        return;
      case platform::status::OperationAborted:
        log(nullptr, "iocp", "ERROR_OPERATION_ABORTED and rescheduled");
        break;
      default:
        log(nullptr, "ping", "Unexpected error %d", static_cast<int>(status));
    }
    postPingReceive();
    return;
  }
  onPingReply();
}

void Core::onPingReply() {
  if (pingBuffer[IPV4_HEADER_LENGTH] == ICMP_ECHO_REPLY) {
    uint32_t source;
    std::memcpy(&source, pingBuffer + 12, sizeof source);
    for (Connection* connection = connections.first(); connection != nullptr; connection = connection->next) {
      if (connection->state == ConnectionState::Deferred && connection->isIpv4() &&
          connection->ipv4Address() == source) {
        connection->state = ConnectionState::Reachable;
        connection->deferCountdownMs = 0;
        connection->connect();
        break;
      }
    }
  }
  postPingReceive();
}

}  // namespace zelkit::detail
