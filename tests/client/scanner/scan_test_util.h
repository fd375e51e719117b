#pragma once

// Helpers of the scanner tests: the private network they run in, devices
// answering on plain sockets, and the replies those devices send.

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <optional>
#include <string>

#include "core/engine/engine_test_util.h"
#include "support/private_network.h"
#include "support/udp_peer.h"

namespace scantest {

using namespace std::chrono_literals;
using enginetest::Recorder;
using zeltest::Bytes;
using Mac = std::array<uint8_t, 6>;

constexpr uint16_t kDiscoveryPort = 1757;
constexpr uint16_t kMulticastPort = 1800;
constexpr char kMulticastGroup[] = "225.87.77.88";
constexpr uint8_t kMagic[4] = {0x99, 0x39, 0xA4, 0x27};

// Every test of broadcast and multicast runs in a namespace of its own.
class PrivateNetworkTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(zeltest::enterPrivateNetwork(), ""); }
};

inline uint32_t addressOf(const char* dotted) { return ::inet_addr(dotted); }

// Where a device sends its reply to a scan request: the sender's address
// and the port the request names.
inline uint16_t replyPortOf(const zeltest::Datagram& request) { return zeltest::readU16(request.bytes.data() + 10); }

inline void answer(zeltest::UdpPeer& devices, const zeltest::Datagram& request, const Bytes& reply) {
  devices.sendTo(reply, request.from, replyPortOf(request));
}

inline Bytes binaryReply(const zeltest::Datagram& request, const Mac& mac, const char* address,
                         const char* mask = "255.255.255.0", const char* gateway = "10.0.0.1") {
  Bytes reply(32, 0);
  std::memcpy(reply.data(), kMagic, 4);
  std::memcpy(reply.data() + 4, request.bytes.data() + 4, 4);  // the scan id
  std::memcpy(reply.data() + 8, mac.data(), 6);
  reply[14] = 3;     // reply kind
  reply[15] = 0x21;  // device type
  const uint32_t words[3] = {addressOf(address), addressOf(mask), addressOf(gateway)};
  std::memcpy(reply.data() + 16, words, sizeof words);
  return reply;
}

inline std::string xmlText(const char* address, const char* mac, std::optional<int> httpPort = std::nullopt,
                           size_t fillTo = 0) {
  std::string text = "<?xml version=\"1.0\"?><root><device><unitIPAddress>" + std::string(address) +
                     "</unitIPAddress><physAddress>" + mac + "</physAddress>";
  if (httpPort) text += "<HTTPPort>" + std::to_string(*httpPort) + "</HTTPPort>";
  text += "<friendlyName>";
  while (text.size() + 32 < fillTo) text += 'x';
  text += "</friendlyName></device></root>";
  return text;
}

inline Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

// The scan callback sees an empty stream and a zero header at the end of
// the scan; datagrams delivered before that carry bytes.
inline size_t endsSeen(const Recorder& recorder) {
  size_t ends = 0;
  for (const auto& delivery : recorder.deliveries()) ends += delivery.payload.empty() && delivery.tag == 0;
  return ends;
}

inline bool waitForEnd(const Recorder& recorder, size_t ends = 1) {
  return enginetest::waitUntil([&] { return endsSeen(recorder) >= ends; }, 6s);
}

}  // namespace scantest
