#include "support/udp_peer.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

namespace zeltest {

UdpPeer::UdpPeer(uint16_t port, const char* group) {
  fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_port = htons(port);
  if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0)
    throw std::runtime_error("cannot bind UDP port " + std::to_string(port));
  if (group != nullptr) {
    ip_mreq membership{};
    membership.imr_multiaddr.s_addr = ::inet_addr(group);
    membership.imr_interface.s_addr = htonl(INADDR_ANY);
    if (::setsockopt(fd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0)
      throw std::runtime_error(std::string("cannot join ") + group);
  }
}

UdpPeer::~UdpPeer() {
  if (fd_ >= 0) ::close(fd_);
}

std::optional<Datagram> UdpPeer::receive(std::chrono::milliseconds timeout) {
  pollfd ready{fd_, POLLIN, 0};
  if (::poll(&ready, 1, static_cast<int>(timeout.count())) != 1) return std::nullopt;
  Datagram datagram{Bytes(65536), {}};
  socklen_t length = sizeof datagram.from;
  const ssize_t got =
      ::recvfrom(fd_, datagram.bytes.data(), datagram.bytes.size(), 0, reinterpret_cast<sockaddr*>(&datagram.from), &length);
  if (got < 0) return std::nullopt;
  datagram.bytes.resize(static_cast<size_t>(got));
  return datagram;
}

void UdpPeer::sendTo(const Bytes& bytes, const sockaddr_in& to, uint16_t port) {
  sockaddr_in destination = to;
  destination.sin_port = htons(port);
  if (::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&destination), sizeof destination) !=
      static_cast<ssize_t>(bytes.size()))
    throw std::runtime_error("sendto failed");
}

}  // namespace zeltest
