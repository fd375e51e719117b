#pragma once

// Helpers of the engine and client tests: a recorder for callbacks, a
// plain-socket peer (framing from the test device's own codec, never the
// library's), and bounded waiting.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/test_device.h"
#include "support/wire_codec.h"
#include "zelkit/streams.h"

namespace enginetest {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

inline bool waitUntil(const std::function<bool()>& ready, milliseconds timeout) {
  const auto end = Clock::now() + timeout;
  while (!ready()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(milliseconds(5));
  }
  return true;
}

// What one callback saw.
struct Delivery {
  uint32_t tag = 0;
  uint8_t mode = 0;
  int transactionId = 0;
  int errorCode = 0;
  zeltest::Bytes payload;
  std::string sourceUrl;
  std::thread::id thread;
  Clock::time_point time;
};

// Records every callback it is given as context; thread-safe.
class Recorder {
 public:
  static void callback(void* context, zelkit::ZelHeader& header, zelkit::ZelInputStream& stream) {
    static_cast<Recorder*>(context)->record(header, stream);
  }

  void record(zelkit::ZelHeader& header, zelkit::ZelInputStream& stream) {
    Delivery delivery;
    delivery.tag = header.tag;
    delivery.mode = header.mode;
    delivery.transactionId = header.transactionId;
    delivery.errorCode = header.errorCode;
    delivery.payload.resize(static_cast<size_t>(stream.available()));
    if (!delivery.payload.empty()) stream.read(delivery.payload.data(), stream.available());
    delivery.sourceUrl = header.sourceUrl != nullptr ? header.sourceUrl : "";
    delivery.thread = std::this_thread::get_id();
    delivery.time = Clock::now();
    std::lock_guard<std::mutex> guard(mutex_);
    deliveries_.push_back(std::move(delivery));
    changed_.notify_all();
  }

  std::vector<Delivery> deliveries() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return deliveries_;
  }
  size_t count() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return deliveries_.size();
  }
  // The first delivery with the tag, waiting up to the time-out.
  std::optional<Delivery> waitFor(uint32_t tag, milliseconds timeout) const {
    std::unique_lock<std::mutex> guard(mutex_);
    std::optional<Delivery> found;
    changed_.wait_for(guard, timeout, [&] {
      for (const Delivery& delivery : deliveries_)
        if (delivery.tag == tag) {
          found = delivery;
          return true;
        }
      return false;
    });
    return found;
  }
  bool waitForCount(size_t count, milliseconds timeout) const {
    std::unique_lock<std::mutex> guard(mutex_);
    return changed_.wait_for(guard, timeout, [&] { return deliveries_.size() >= count; });
  }

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<Delivery> deliveries_;
};

// A loopback TCP port on which nothing listens.
inline uint16_t closedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

// A minimal device on plain blocking sockets for what the test device does
// not do: IPv6, a peer that stops reading, hand-made byte sequences.
class RawPeer {
 public:
  // receiveBuffer > 0 shrinks the accepted socket's receive buffer.
  explicit RawPeer(bool ipv6 = false, int receiveBuffer = 0) : ipv6_(ipv6) {
    listenFd_ = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (receiveBuffer > 0)
      ::setsockopt(listenFd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in6 address{};
    socklen_t length;
    if (ipv6) {
      address.sin6_family = AF_INET6;
      address.sin6_addr = in6addr_loopback;
      length = sizeof(sockaddr_in6);
    } else {
      auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
      v4->sin_family = AF_INET;
      v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      length = sizeof(sockaddr_in);
    }
    ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), length);
    ::listen(listenFd_, 4);
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin6_port);
  }
  ~RawPeer() {
    if (fd_ >= 0) ::close(fd_);
    ::close(listenFd_);
  }
  RawPeer(const RawPeer&) = delete;
  RawPeer& operator=(const RawPeer&) = delete;

  uint16_t port() const { return port_; }
  std::string url(const std::string& userInfo = "") const {
    return "zelp://" + userInfo + (ipv6_ ? "[::1]" : "127.0.0.1") + ":" + std::to_string(port_);
  }

  bool accept(milliseconds timeout) {
    pollfd ready{listenFd_, POLLIN, 0};
    if (::poll(&ready, 1, static_cast<int>(timeout.count())) != 1) return false;
    fd_ = ::accept(listenFd_, nullptr, nullptr);
    return fd_ >= 0;
  }

  // Exactly n bytes, or nothing when the time-out passes or the peer closes.
  std::optional<zeltest::Bytes> readBytes(size_t n, milliseconds timeout) {
    zeltest::Bytes bytes(n);
    size_t have = 0;
    const auto end = Clock::now() + timeout;
    while (have < n) {
      const auto left = std::chrono::duration_cast<milliseconds>(end - Clock::now()).count();
      pollfd ready{fd_, POLLIN, 0};
      if (left <= 0 || ::poll(&ready, 1, static_cast<int>(left)) != 1) return std::nullopt;
      const ssize_t got = ::recv(fd_, bytes.data() + have, n - have, 0);
      if (got <= 0) return std::nullopt;
      have += static_cast<size_t>(got);
    }
    return bytes;
  }

  std::optional<zeltest::RecordedFrame> readFrame(milliseconds timeout) {
    auto head = readBytes(zeltest::kTpktHeaderSize, timeout);
    if (!head) return std::nullopt;
    const size_t length = zeltest::readU16(head->data() + 2);
    if (length < zeltest::kFrameHeaderSize) return std::nullopt;
    auto rest = readBytes(length - zeltest::kTpktHeaderSize, timeout);
    if (!rest) return std::nullopt;
    head->insert(head->end(), rest->begin(), rest->end());
    std::string error;
    auto frame = zeltest::decodeFrame(*head, error);
    if (!frame) return std::nullopt;
    zeltest::RecordedFrame recorded;
    static_cast<zeltest::Frame&>(recorded) = *frame;
    recorded.bytes = *head;
    return recorded;
  }

  // Reads frames until one has the tag.
  std::optional<zeltest::RecordedFrame> readUntil(uint32_t tag, milliseconds timeout) {
    const auto end = Clock::now() + timeout;
    while (Clock::now() < end) {
      auto frame = readFrame(std::chrono::duration_cast<milliseconds>(end - Clock::now()));
      if (!frame) return std::nullopt;
      if (frame->header.tag == tag) return frame;
    }
    return std::nullopt;
  }

  bool write(const zeltest::Bytes& bytes) {
    return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  }

  bool reply(const zeltest::FrameHeader& request, const zeltest::Bytes& payload, uint8_t mode = zeltest::kModeReply) {
    zeltest::FrameHeader header = request;
    header.modeByte = mode;
    return write(zeltest::encodeFrame(header, payload));
  }

  // Accepts, takes the first registration request (a "HookOn" user
  // registers at once) and accepts it.
  bool acceptAndRegister(milliseconds timeout, uint16_t clientId = 0x0102) {
    if (!accept(timeout)) return false;
    auto frame = readUntil(zeltest::kTagRegister, timeout);
    return frame && reply(frame->header, {1, 3, static_cast<uint8_t>(clientId >> 8), static_cast<uint8_t>(clientId)});
  }

  void closeConnection() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  // Closes with a reset instead of an orderly shutdown.
  void resetConnection() {
    const linger abort{1, 0};
    if (fd_ >= 0) ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    closeConnection();
  }

 private:
  bool ipv6_;
  int listenFd_ = -1;
  int fd_ = -1;
  uint16_t port_ = 0;
};

}  // namespace enginetest
