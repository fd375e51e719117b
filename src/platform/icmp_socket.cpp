#include "platform/icmp_socket.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include <netinet/in.h>

#include "platform/errors.h"
#include "platform/socket_table.h"

namespace zelkit::platform {

namespace {

constexpr size_t Ipv4HeaderLength = 20;
// Larger than any echo reply the library asks for; longer replies are truncated.
constexpr size_t LongestReply = 1500;

uint16_t headerChecksum(const uint8_t* header) {
  uint32_t sum = 0;
  for (size_t i = 0; i < Ipv4HeaderLength; i += 2) sum += static_cast<uint32_t>(header[i] << 8 | header[i + 1]);
  while (sum > 0xFFFF) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

// What a raw socket would show in front of the message: version 4, no
// options, the total length, protocol ICMP and the sender.
void writeIpv4Header(uint8_t* header, size_t messageLength, const sockaddr_in& source) {
  std::memset(header, 0, Ipv4HeaderLength);
  const size_t total = std::min<size_t>(Ipv4HeaderLength + messageLength, 0xFFFF);
  header[0] = 0x45;
  header[2] = static_cast<uint8_t>(total >> 8);
  header[3] = static_cast<uint8_t>(total);
  header[8] = 64;  // time to live: not reported by the datagram socket
  header[9] = IPPROTO_ICMP;
  std::memcpy(header + 12, &source.sin_addr, 4);
  const uint16_t checksum = headerChecksum(header);
  header[10] = static_cast<uint8_t>(checksum >> 8);
  header[11] = static_cast<uint8_t>(checksum);
}

}  // namespace

Socket openIcmpDatagramSocket() {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_ICMP);
  if (fd < 0) {
    setLastSocketErrorFromErrno(errno);
    return InvalidSocket;
  }
  return adoptDescriptor(fd, false, true);
}

Socket openIcmpSocket() {
  const int fd = socket(AF_INET, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_ICMP);
  if (fd >= 0) return adoptDescriptor(fd, false, false);
  // Without the privilege for raw sockets, the datagram ICMP socket works
  // for the groups in net.ipv4.ping_group_range.
  return openIcmpDatagramSocket();
}

ssize_t receiveIcmpReply(int fd, void* buffer, size_t length, sockaddr* from, int* fromLength, int flags,
                         bool& truncated) {
  uint8_t reply[Ipv4HeaderLength + LongestReply];
  sockaddr_in source{};
  iovec piece{reply + Ipv4HeaderLength, LongestReply};
  msghdr message{};
  message.msg_name = &source;
  message.msg_namelen = sizeof source;
  message.msg_iov = &piece;
  message.msg_iovlen = 1;
  const ssize_t received = recvmsg(fd, &message, flags);
  if (received < 0) return -1;
  const size_t whole = Ipv4HeaderLength + static_cast<size_t>(received);
  writeIpv4Header(reply, static_cast<size_t>(received), source);
  const size_t stored = std::min(whole, length);
  std::memcpy(buffer, reply, stored);
  truncated = stored < whole || (message.msg_flags & MSG_TRUNC) != 0;
  if (from != nullptr && fromLength != nullptr) {
    std::memcpy(from, &source, std::min<size_t>(sizeof source, static_cast<size_t>(std::max(*fromLength, 0))));
    *fromLength = sizeof source;
  }
  return static_cast<ssize_t>(stored);
}

}  // namespace zelkit::platform
