#include <cstring>

#include "client/null_reference.h"
#include "client/scanner/reply_parsing.h"
#include "client/udp_commands/udp_targets.h"
#include "core/engine/core.h"
#include "core/wire/byte_io.h"
#include "core/wire/conversions.h"
#include "platform/errors.h"
#include "zelkit/scanner.h"

namespace zelkit {

namespace {

constexpr int SET_IP_ADDRESS_SIZE = 24;
constexpr int COMMAND_HEADER_SIZE = 12;
constexpr int MAX_COMMAND_PAYLOAD = 1496;  // a command datagram is at most 1508 bytes

// The low 32 bits as the caller holds them in memory (network order for
// addresses), whatever the width of unsigned long.
void storeWord(uint8_t* to, unsigned long value) {
  const uint32_t word = static_cast<uint32_t>(value);
  std::memcpy(to, &word, sizeof word);
}

int sendTo(platform::Socket socket, const uint8_t* data, int length, uint16_t port) {
  const sockaddr_in destination = detail::broadcastTo(port);
  return platform::sendDatagram(socket, data, length, reinterpret_cast<const sockaddr*>(&destination),
                                sizeof destination);
}

}  // namespace

void NetworkScanner::setIpAddress(unsigned char const* mac, unsigned long ip, unsigned long mask,
                                  unsigned long gateway) {
  const platform::Socket socket = platform::openSocket(AF_INET, SOCK_DGRAM, 0);
  if (socket < 0) return;
  if (detail::setSocketFlag(socket, SOL_SOCKET, SO_BROADCAST, 1) != 0)
    detail::core().log(nullptr, "scan", "SO_BROADCAST error %d", static_cast<int>(platform::lastError()));
  uint8_t datagram[SET_IP_ADDRESS_SIZE] = {};
  std::memcpy(datagram, mac, detail::MAC_SIZE);
  storeWord(datagram + 8, ip);
  storeWord(datagram + 12, mask);
  storeWord(datagram + 16, gateway);
  sendTo(socket, datagram, sizeof datagram, detail::SET_IP_ADDRESS_PORT);
  platform::closeSocket(socket);
}

void NetworkScanner::setCommand(unsigned char const* mac, unsigned short command, ZelOutputStream& payload) {
  detail::Core& engine = detail::core();
  const ZelOutputStream* given = detail::streamOrNull(payload);
  const int length = given != nullptr ? given->size() : 0;
  if (length > MAX_COMMAND_PAYLOAD) {
    engine.log(nullptr, "udps", "Command payload of %d bytes refused (at most %d)", length, MAX_COMMAND_PAYLOAD);
    return;
  }
  const platform::Socket socket = platform::openSocket(AF_INET, SOCK_DGRAM, 0);
  if (socket < 0) {
    engine.log(nullptr, "udps", "Socket error %d", static_cast<int>(platform::lastError()));
    return;
  }
  if (detail::setSocketFlag(socket, SOL_SOCKET, SO_BROADCAST, 1) != 0)
    engine.log(nullptr, "udps", "SO_BROADCAST error %d", static_cast<int>(platform::lastError()));
  uint8_t datagram[COMMAND_HEADER_SIZE + MAX_COMMAND_PAYLOAD] = {};
  std::memcpy(datagram, mac, detail::MAC_SIZE);
  detail::writeBE16(datagram + 8, command);
  detail::writeBE16(datagram + 10, static_cast<uint16_t>(length));
  if (length > 0) std::memcpy(datagram + COMMAND_HEADER_SIZE, given->getPayload(), static_cast<std::size_t>(length));
  if (sendTo(socket, datagram, COMMAND_HEADER_SIZE + length, detail::SET_COMMAND_PORT) < 1)
    engine.log(nullptr, "udps", "sendto error %d", static_cast<int>(platform::lastError()));
  platform::closeSocket(socket);
}

}  // namespace zelkit
