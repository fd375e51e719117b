// The library's RtpStreamer against the library's server: streams over UDP
// and over tunnels through the HTTP port, with and without stream keys; the
// back channel and the RTCP acknowledgements of tunnelled video.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/ip.h>
#include <netinet/udp.h>

#include <algorithm>
#include <mutex>
#include <set>

#include "core/engine/engine_test_util.h"
#include "server/streaming/streaming_test_util.h"
#include "zelkit/rtp_streamer.h"

namespace {

using namespace std::chrono_literals;
using namespace streamingtest;
using mediatest::PacketLog;
using mediatest::pattern;
using zelkit::RtpStreamer;

constexpr unsigned long kNoMulticast = 0x04000000;
constexpr unsigned long kKeysWanted = 0x00080000;
constexpr unsigned long kUdp = 0x0100;
constexpr unsigned long kTcpWithAcks = 0x0480;

// Copies of the UDP datagrams on the loopback, IP header and all: sees what
// went over the wire to a port (root only, as the tests run).
class UdpSniffer {
 public:
  UdpSniffer() : fd_(::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_UDP)) {}
  ~UdpSniffer() { ::close(fd_); }
  bool open() const { return fd_ >= 0; }
  // The payload of the next datagram to the port.
  std::optional<Bytes> next(uint16_t port, std::chrono::milliseconds timeout = 2s) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
      pollfd ready{fd_, POLLIN, 0};
      if (::poll(&ready, 1, 100) != 1) continue;
      uint8_t buffer[2048];
      const ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
      if (got < 20) continue;
      const size_t ipHeader = (buffer[0] & 0x0F) * 4u;
      if (static_cast<size_t>(got) < ipHeader + 8 || zeltest::readU16(buffer + ipHeader + 2) != port) continue;
      return Bytes(buffer + ipHeader + 8, buffer + got);
    }
    return std::nullopt;
  }

 private:
  int fd_;
};

struct BackChannelLog {
  std::mutex mutex;
  std::vector<std::pair<int, Bytes>> packets;
  std::vector<std::pair<int, Bytes>> taken() {
    std::lock_guard<std::mutex> guard(mutex);
    return packets;
  }
};
BackChannelLog& backChannelLog() {
  static BackChannelLog* const log = new BackChannelLog();
  return *log;
}
void onBackChannel(zelkit::RtpStreamerSessionRef const&, zelkit::RtpPayloadType type, unsigned char const* data,
                   int length) {
  std::lock_guard<std::mutex> guard(backChannelLog().mutex);
  backChannelLog().packets.emplace_back(type, Bytes(data, data + length));
}

// The kinds of a connect result: send, receive.
std::pair<uint32_t, uint32_t> kindsOf(const enginetest::Delivery& result) {
  return {zeltest::readU32(result.payload.data() + 8), zeltest::readU32(result.payload.data() + 12)};
}

bool received(const PacketLog& log, int type, const Bytes& payload) {
  const auto packets = log.packets();
  return std::any_of(packets.begin(), packets.end(),
                     [&](const mediatest::Received& r) { return r.type == type && r.data == payload; });
}

int transmit(const zelkit::RtpStreamerSessionRef& session, int type, const Bytes& payload, int marker = 0) {
  return session->transmit(static_cast<zelkit::RtpPayloadType>(type), payload.data(),
                           static_cast<int>(payload.size()), 90000, marker);
}

class LibraryPeer : public ::testing::Test {
 protected:
  // Connects the streamer for video and audio; the server's session.
  zelkit::RtpStreamerSessionRef connect(RtpStreamer& streamer, unsigned long options) {
    enginetest::Recorder results;
    streamer.connectVideo(3000, options, 0, 0, 0, 0x12, 0, 3, enginetest::Recorder::callback, &results);
    const auto result = results.waitFor(mediatest::kConnectResult, 5s);
    if (!result || result->errorCode != 0) return {};
    EXPECT_EQ(kindsOf(*result), std::make_pair(0u, 3u));
    return running.server.getStreamerSession(streamer.getSessionId());
  }

  RunningServer running;
};

TEST_F(LibraryPeer, UdpWithAndWithoutKeys) {
  UdpSniffer sniffer;
  ASSERT_TRUE(sniffer.open());
  for (bool keys : {false, true}) {
    SCOPED_TRACE(keys ? "keys" : "no keys");
    PacketLog log;  // outlives the streamer, whose thread calls it
    RtpStreamer streamer(running.zelUrl().c_str(), keys ? 7 : 6);
    streamer.registerReceiverCallback(false, PacketLog::callback, &log);
    const auto session = connect(streamer, kUdp | kNoMulticast | (keys ? kKeysWanted : 0));
    ASSERT_TRUE(session);
    EXPECT_EQ(mediaSession(session)->establishedCount(), 1);
    const uint16_t videoPort = ntohs(factoryScript().recorded().back().at(0).port);

    const Bytes video = pattern(300, 1);
    const Bytes audio = pattern(160, 2);
    ASSERT_EQ(transmit(session, 26, video, 1), 312);
    ASSERT_EQ(transmit(session, 0, audio), 172);
    ASSERT_TRUE(servertest::waitUntil([&] { return received(log, 26, video) && received(log, 0, audio); }))
        << log.packets().size() << " packets";
    // On the wire the media is readable only without keys.
    ASSERT_EQ(transmit(session, 26, video), 312);
    const auto wire = sniffer.next(videoPort);
    ASSERT_TRUE(wire);
    ASSERT_EQ(wire->size(), 312u);
    EXPECT_EQ(Bytes(wire->begin() + 12, wire->end()) == video, !keys);
  }
}

// Media both ways over a session's two tunnels: video (twice with the
// marker) and audio to the streamer; back-channel media from it, and its
// acknowledgements of the marked packets with their sequence numbers (RTCP
// receiver reports, type 73 as well, 20 bytes behind the first 12).
void expectTunnelledMedia(const zelkit::RtpStreamerSessionRef& session, RtpStreamer& streamer, const PacketLog& log) {
  {
    std::lock_guard<std::mutex> guard(backChannelLog().mutex);
    backChannelLog().packets.clear();
  }
  const Bytes video = pattern(1000, 3);
  const Bytes audio = pattern(160, 4);
  ASSERT_EQ(transmit(session, 26, video, 1), 1012);
  ASSERT_EQ(transmit(session, 26, video, 1), 1012);
  ASSERT_EQ(transmit(session, 0, audio), 172);
  ASSERT_TRUE(servertest::waitUntil([&] { return log.packets().size() == 3; }));
  EXPECT_TRUE(received(log, 26, video));
  EXPECT_TRUE(received(log, 0, audio));

  const Bytes back = pattern(40, 5);
  ASSERT_EQ(streamer.transmit(static_cast<zelkit::RtpPayloadType>(73), back.data(), 40, 0), 52);
  ASSERT_TRUE(servertest::waitUntil([] { return backChannelLog().taken().size() == 3; }));
  std::set<int> acknowledged;
  int media = 0;
  for (const auto& [type, data] : backChannelLog().taken()) {
    EXPECT_EQ(type, 73);
    if (data.size() == 20) {
      acknowledged.insert(zeltest::readU16(data.data() + 6));
    } else {
      EXPECT_EQ(data, back);
      ++media;
    }
  }
  EXPECT_EQ(acknowledged, (std::set<int>{0, 1}));
  EXPECT_EQ(media, 1);
}

TEST_F(LibraryPeer, TunnelsWithBackChannelAndAcknowledgements) {
  running.server.registerReceiverCallback(false, onBackChannel);
  for (bool keys : {false, true}) {
    SCOPED_TRACE(keys ? "keys" : "no keys");
    PacketLog log;
    RtpStreamer streamer(running.httpUrl().c_str(), keys ? 11 : 10);
    streamer.registerReceiverCallback(false, PacketLog::callback, &log);
    const auto session = connect(streamer, kTcpWithAcks | (keys ? kKeysWanted : 0));
    ASSERT_TRUE(session);
    // Both tunnels come, the audio one named by its place behind the keys.
    ASSERT_TRUE(mediaSession(session)->waitEstablished(5s));
    expectTunnelledMedia(session, streamer, log);
  }
}

// Over an https:// control connection the streamer asks for keys without
// being told, and the server gives them there too. Its tunnels go to the
// HTTPS port, in the clear or under TLS of their own.
TEST_F(LibraryPeer, OverTlsControlConnections) {
  running.server.registerReceiverCallback(false, onBackChannel);
  UdpSniffer sniffer;
  ASSERT_TRUE(sniffer.open());
  struct Case {
    const char* name;
    unsigned long options;
    bool tunnels;
  };
  const Case cases[] = {
      {"UDP", kUdp | kNoMulticast, false},
      {"tunnels in the clear", kTcpWithAcks, true},
      {"tunnels under TLS", kTcpWithAcks | 0x00400000, true},
  };
  uint16_t num = 20;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PacketLog log;
    RtpStreamer streamer(running.httpsUrl().c_str(), num++);
    streamer.registerReceiverCallback(false, PacketLog::callback, &log);
    const auto session = connect(streamer, c.options);
    ASSERT_TRUE(session);
    if (c.tunnels) {
      ASSERT_TRUE(mediaSession(session)->waitEstablished(5s));
      expectTunnelledMedia(session, streamer, log);
      continue;
    }
    const Bytes video = pattern(300, 6);
    ASSERT_EQ(transmit(session, 26, video), 312);
    ASSERT_TRUE(servertest::waitUntil([&] { return received(log, 26, video); }));
    ASSERT_EQ(transmit(session, 26, video), 312);
    const auto wire = sniffer.next(ntohs(factoryScript().recorded().back().at(0).port));
    ASSERT_TRUE(wire);
    EXPECT_NE(Bytes(wire->begin() + 12, wire->end()), video) << "sent without a key";
  }
}

}  // namespace
