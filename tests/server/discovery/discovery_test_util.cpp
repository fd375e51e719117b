#include "server/discovery/discovery_test_util.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "support/external_tool.h"

namespace discoverytest {

Bytes scanRequest(uint32_t scanId, uint8_t byte1, uint8_t byte2, uint16_t replyPort) {
  Bytes request(kMagic, kMagic + 4);
  zeltest::appendU32(request, scanId);
  request.push_back(byte1);
  request.push_back(byte2);
  zeltest::appendU16(request, replyPort);
  return request;
}

Requester::Requester(uint16_t port) {
  fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
  const int one = 1;
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_port = htons(port);
  socklen_t length = sizeof any;
  if (fd_ < 0 || ::setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &one, sizeof one) != 0 ||
      ::setsockopt(fd_, IPPROTO_IP, IP_PKTINFO, &one, sizeof one) != 0 ||
      ::bind(fd_, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0 ||
      ::getsockname(fd_, reinterpret_cast<sockaddr*>(&any), &length) != 0)
    throw std::runtime_error("cannot set up the requester's socket");
  port_ = ntohs(any.sin_port);
}

Requester::~Requester() {
  if (fd_ >= 0) ::close(fd_);
}

void Requester::send(const Bytes& bytes, const char* address, uint16_t port) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = ::inet_addr(address);
  to.sin_port = htons(port);
  if (::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) !=
      static_cast<ssize_t>(bytes.size()))
    throw std::runtime_error(std::string("cannot send to ") + address);
}

std::optional<Answer> Requester::receive(std::chrono::milliseconds timeout) {
  pollfd ready{fd_, POLLIN, 0};
  if (::poll(&ready, 1, static_cast<int>(timeout.count())) != 1) return std::nullopt;
  Answer answer{Bytes(65536), {}, {}};
  iovec piece{answer.bytes.data(), answer.bytes.size()};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
  msghdr message{};
  message.msg_name = &answer.from;
  message.msg_namelen = sizeof answer.from;
  message.msg_iov = &piece;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  const ssize_t got = ::recvmsg(fd_, &message, 0);
  if (got < 0) return std::nullopt;
  answer.bytes.resize(static_cast<size_t>(got));
  for (cmsghdr* item = CMSG_FIRSTHDR(&message); item != nullptr; item = CMSG_NXTHDR(&message, item)) {
    if (item->cmsg_level == IPPROTO_IP && item->cmsg_type == IP_PKTINFO) {
      in_pktinfo info;
      std::memcpy(&info, CMSG_DATA(item), sizeof info);
      answer.destination = info.ipi_addr;
    }
  }
  return answer;
}

std::vector<Answer> Requester::collect(size_t count, std::chrono::milliseconds timeout) {
  std::vector<Answer> answers;
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (answers.size() < count) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return answers;
    if (auto answer = receive(left)) answers.push_back(std::move(*answer));
  }
  // Longer than the longest delay of an answer: a second answer would be here.
  while (auto extra = receive(300ms)) answers.push_back(std::move(*extra));
  return answers;
}

bool waitForResponder(uint16_t groupPort) {
  const auto end = std::chrono::steady_clock::now() + 3s;
  while (!udpPortTaken(kBroadcastPort) || !udpPortTaken(groupPort)) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

zelkit::detail::AdapterInfo adapterRecord(const char* address, const char* mask, const char* gateway,
                                          const uint8_t (&mac)[6]) {
  zelkit::detail::AdapterInfo record{};
  std::memcpy(record.mac, mac, sizeof mac);
  const uint32_t words[3] = {::inet_addr(address), ::inet_addr(mask), ::inet_addr(gateway)};
  std::memcpy(record.address, &words[0], 4);
  std::memcpy(record.subnetMask, &words[1], 4);
  std::memcpy(record.gateway, &words[2], 4);
  std::snprintf(record.macText, sizeof record.macText, "%02x-%02x-%02x-%02x-%02x-%02x", mac[0], mac[1], mac[2],
                mac[3], mac[4], mac[5]);
  std::snprintf(record.addressText, sizeof record.addressText, "%s", address);
  std::snprintf(record.subnetMaskText, sizeof record.subnetMaskText, "%s", mask);
  std::snprintf(record.gatewayText, sizeof record.gatewayText, "%s", gateway);
  return record;
}

std::optional<std::string> xmlElement(const std::string& xml, const std::string& localName) {
  const auto out = zelkit::test::runTool("xmllint --xpath 'string(//*[local-name()=\"" + localName + "\"])' -",
                                         Bytes(xml.begin(), xml.end()));
  if (!out) return std::nullopt;
  std::string text(out->begin(), out->end());
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

bool wellFormed(const std::string& xml) {
  return zelkit::test::runTool("xmllint --noout - 2>/dev/null", Bytes(xml.begin(), xml.end())).has_value();
}

}  // namespace discoverytest
