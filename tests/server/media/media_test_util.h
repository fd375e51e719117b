#pragma once

// Helpers of the media tests: a recorder of received RTP packets, plain UDP
// peers, and the connect descriptor written and read with the test's own
// code (never the library's), so a misreading cannot cancel out.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "support/test_device.h"
#include "support/wire_codec.h"
#include "zelkit/rtp_streamer.h"

namespace mediatest {

using zeltest::Bytes;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr uint32_t kConnectPrimitive = 0xFF0C0C31;
constexpr uint32_t kConnectNvrVideo = 0xE0090C31;
constexpr uint32_t kDisconnectPrimitive = 0xFF0D0031;
constexpr uint32_t kKeepAlive = 0xFFC20830;
constexpr uint32_t kConnectResult = 0xFFCC0C31;

// What one receive callback saw.
struct Received {
  int type = 0;
  bool hasData = false;
  Bytes data;
};

// Records every receive callback of a streamer; thread-safe.
class PacketLog {
 public:
  static void callback(void* context, zelkit::RtpPayloadType type, unsigned char const* data, int length) {
    auto* log = static_cast<PacketLog*>(context);
    Received received;
    received.type = type;
    received.hasData = data != nullptr;
    if (data != nullptr) received.data.assign(data, data + length);
    std::lock_guard<std::mutex> guard(log->mutex_);
    log->packets_.push_back(std::move(received));
    log->changed_.notify_all();
  }

  std::vector<Received> packets() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return packets_;
  }
  bool waitForCount(size_t count, milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return packets_.size() >= count; });
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Received> packets_;
};

inline sockaddr_in loopback(uint16_t port, const char* address = "127.0.0.1") {
  sockaddr_in out{};
  out.sin_family = AF_INET;
  out.sin_port = htons(port);
  inet_pton(AF_INET, address, &out.sin_addr);
  return out;
}

// A plain UDP socket bound to 127.0.0.1 (or the address given) on a free port.
class UdpPeer {
 public:
  explicit UdpPeer(const char* address = "127.0.0.1", uint16_t port = 0) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in bound = loopback(port, address);
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&bound), sizeof bound) != 0)
      throw std::runtime_error("UDP peer: bind failed");
    socklen_t length = sizeof bound;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&bound), &length);
    port_ = ntohs(bound.sin_port);
  }
  ~UdpPeer() { ::close(fd_); }
  UdpPeer(const UdpPeer&) = delete;
  UdpPeer& operator=(const UdpPeer&) = delete;

  int fd() const { return fd_; }
  uint16_t port() const { return port_; }

  void sendTo(uint16_t port, const Bytes& bytes, const char* address = "127.0.0.1") const {
    sockaddr_in to = loopback(port, address);
    ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }
  // The next datagram, or nothing within the time.
  std::optional<Bytes> receive(milliseconds timeout = milliseconds(2000)) const {
    pollfd ready{fd_, POLLIN, 0};
    if (::poll(&ready, 1, static_cast<int>(timeout.count())) != 1) return std::nullopt;
    Bytes buffer(65536);
    const ssize_t got = ::recv(fd_, buffer.data(), buffer.size(), 0);
    if (got < 0) return std::nullopt;
    buffer.resize(static_cast<size_t>(got));
    return buffer;
  }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

// A UDP port of 127.0.0.1 that nobody holds now.
inline uint16_t freeUdpPort() {
  UdpPeer probe;
  return probe.port();
}

// A connect descriptor as a device writes it in a reply.
struct Descriptor {
  uint8_t clientSends = 0;
  uint8_t media = 1;  // 1 video, 2 audio, 3 other
  uint8_t status = 1;
  uint8_t flags = 0;
  uint16_t transport = 0x0100;
  uint16_t port = 0;     // host order
  uint32_t address = 0;  // host order
  uint8_t parameter = 0;
  uint8_t line = 0;
  uint16_t coding = 0;
};

inline Bytes encodeDescriptor(const Descriptor& d) {
  Bytes out(32, 0);
  out[0] = d.clientSends;
  out[1] = d.media;
  out[2] = d.status;
  out[3] = d.flags;
  out[8] = static_cast<uint8_t>(d.transport >> 8);
  out[9] = static_cast<uint8_t>(d.transport);
  out[10] = static_cast<uint8_t>(d.port >> 8);
  out[11] = static_cast<uint8_t>(d.port);
  for (int i = 0; i < 4; ++i) out[12 + i] = static_cast<uint8_t>(d.address >> (24 - 8 * i));
  out[16] = d.parameter;
  out[17] = d.line;
  out[24] = static_cast<uint8_t>(d.coding >> 8);
  out[25] = static_cast<uint8_t>(d.coding);
  return out;
}

inline Descriptor decodeDescriptor(const uint8_t* bytes) {
  Descriptor d;
  d.clientSends = bytes[0];
  d.media = bytes[1];
  d.status = bytes[2];
  d.flags = bytes[3];
  d.transport = zeltest::readU16(bytes + 8);
  d.port = zeltest::readU16(bytes + 10);
  d.address = zeltest::readU32(bytes + 12);
  d.parameter = bytes[16];
  d.line = bytes[17];
  d.coding = zeltest::readU16(bytes + 24);
  return d;
}

// Four key items and the end item.
inline Bytes keyItems(const Bytes& key) {
  Bytes out;
  for (int word = 0; word < 4; ++word) {
    out.insert(out.end(), {0xE0, 0x04, 0x00, 0x00});
    out.insert(out.end(), key.begin() + 4 * word, key.begin() + 4 * word + 4);
  }
  out.insert(out.end(), {0xE0, 0, 0, 0, 0, 0, 0, 0});
  return out;
}

// The descriptors of a connect request (or reply), extension items skipped.
inline std::vector<Descriptor> descriptorsOf(const zeltest::RecordedFrame& request, size_t offset = 0) {
  std::vector<Descriptor> found;
  for (size_t at = offset; at + 8 <= request.payload.size();) {
    if (request.payload[at] == 0xE0) {
      at += 8;
      continue;
    }
    found.push_back(decodeDescriptor(request.payload.data() + at));
    at += 32;
  }
  return found;
}

// A requested descriptor as the device accepts it, for unicast.
inline Descriptor acceptUnicast(Descriptor requested) {
  requested.status = 1;
  requested.address = 0;
  return requested;
}

inline Bytes join(std::initializer_list<Bytes> pieces) {
  Bytes out;
  for (const Bytes& piece : pieces) out.insert(out.end(), piece.begin(), piece.end());
  return out;
}

// An RTP packet: version 2, the type (and marker), sequence, timestamp, SSRC.
inline Bytes rtpPacket(uint8_t typeByte, uint16_t sequence, const Bytes& payload, uint32_t timestamp = 0,
                       uint32_t ssrc = 0x11223344) {
  Bytes out{0x80, typeByte, static_cast<uint8_t>(sequence >> 8), static_cast<uint8_t>(sequence)};
  zeltest::appendU32(out, timestamp);
  zeltest::appendU32(out, ssrc);
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

// A TPKT media frame around a packet.
inline Bytes mediaFrame(const Bytes& packet) {
  Bytes out{0x03, 0x00};
  zeltest::appendU16(out, static_cast<uint16_t>(packet.size() + 4));
  out.insert(out.end(), packet.begin(), packet.end());
  return out;
}

inline Bytes pattern(size_t length, uint8_t seed = 1) {
  Bytes out(length);
  for (size_t i = 0; i < length; ++i) out[i] = static_cast<uint8_t>(seed + i * 7);
  return out;
}

// CPU time the whole process used so far, every thread included: a thread
// spinning on a socket it cannot serve shows here.
inline std::chrono::microseconds processCpuTime() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return std::chrono::seconds(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         std::chrono::microseconds(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

}  // namespace mediatest
