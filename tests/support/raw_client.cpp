#include "support/raw_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

namespace zeltest {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

sockaddr_in loopback(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

int millisecondsLeft(Clock::time_point end) {
  const auto left = std::chrono::duration_cast<milliseconds>(end - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

uint16_t freeLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = loopback(0);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

bool udpPortTaken(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_port = htons(port);
  const bool taken = ::bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0;
  ::close(fd);
  return taken;
}

RawClient::RawClient(uint16_t port, milliseconds timeout) {
  const auto end = Clock::now() + timeout;
  for (;;) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in address = loopback(port);
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) break;
    ::close(fd_);
    fd_ = -1;
    if (Clock::now() > end) return;
    std::this_thread::sleep_for(milliseconds(20));
  }
  sockaddr_in local{};
  socklen_t length = sizeof local;
  ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length);
  localPort_ = ntohs(local.sin_port);
}

RawClient::~RawClient() {
  if (fd_ >= 0) ::close(fd_);
}

bool RawClient::write(const Bytes& bytes) {
  return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

bool RawClient::sendRequest(uint32_t tag, const Bytes& payload, uint32_t sessionId, uint16_t num) {
  FrameHeader header;
  header.tag = tag;
  header.modeByte = kModeRequest;
  header.transactionId = ++transactionId_;
  header.sessionId = sessionId;
  header.num = num;
  return write(encodeFrame(header, payload));
}

std::optional<Bytes> RawClient::readBytes(size_t n, milliseconds timeout) {
  Bytes bytes(n);
  size_t have = 0;
  const auto end = Clock::now() + timeout;
  while (have < n) {
    pollfd ready{fd_, POLLIN, 0};
    if (::poll(&ready, 1, millisecondsLeft(end)) != 1) return std::nullopt;
    const ssize_t got = ::recv(fd_, bytes.data() + have, n - have, 0);
    if (got <= 0) return std::nullopt;
    have += static_cast<size_t>(got);
  }
  return bytes;
}

std::optional<Frame> RawClient::readFrame(milliseconds timeout) {
  const auto end = Clock::now() + timeout;
  auto head = readBytes(kTpktHeaderSize, timeout);
  if (!head) return std::nullopt;
  const size_t length = readU16(head->data() + 2);
  if (length < kFrameHeaderSize) return std::nullopt;
  auto rest = readBytes(length - kTpktHeaderSize, milliseconds(millisecondsLeft(end)));
  if (!rest) return std::nullopt;
  head->insert(head->end(), rest->begin(), rest->end());
  std::string error;
  return decodeFrame(*head, error);
}

std::optional<Bytes> RawClient::readToEnd(milliseconds timeout) {
  auto ending = readToEndOrReset(timeout);
  if (!ending || ending->reset) return std::nullopt;
  return std::move(ending->received);
}

std::optional<RawClient::Ending> RawClient::readToEndOrReset(milliseconds timeout) {
  Ending ending;
  const auto end = Clock::now() + timeout;
  for (;;) {
    pollfd ready{fd_, POLLIN, 0};
    if (::poll(&ready, 1, millisecondsLeft(end)) != 1) return std::nullopt;
    uint8_t chunk[4096];
    const ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
    if (got == 0) return ending;
    if (got < 0) {
      ending.reset = true;
      return ending;
    }
    ending.received.insert(ending.received.end(), chunk, chunk + got);
  }
}

bool RawClient::silentFor(milliseconds duration) {
  pollfd ready{fd_, POLLIN, 0};
  return ::poll(&ready, 1, static_cast<int>(duration.count())) == 0;
}

void RawClient::shutdownWrite() { ::shutdown(fd_, SHUT_WR); }

void RawClient::reset() {
  if (fd_ < 0) return;
  const linger abort{1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  ::close(fd_);
  fd_ = -1;
}

std::optional<Frame> RawClient::call(uint32_t tag, const Bytes& payload, uint32_t sessionId, uint16_t num) {
  if (!sendRequest(tag, payload, sessionId, num)) return std::nullopt;
  const auto end = Clock::now() + milliseconds(5000);
  while (Clock::now() < end) {
    auto frame = readFrame(milliseconds(millisecondsLeft(end)));
    if (!frame) return std::nullopt;
    if (frame->header.tag == tag) return frame;
  }
  return std::nullopt;
}

}  // namespace zeltest
