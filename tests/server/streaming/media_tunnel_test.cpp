// Media tunnels into the server's HTTP port: which stream a request names,
// its refusals, the bytes behind its head, and curl as the peer.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "server/streaming/streaming_test_util.h"
#include "support/background_process.h"
#include "support/external_tool.h"
#include "zelkit/system.h"

namespace {

using namespace std::chrono_literals;
using namespace streamingtest;
using mediatest::join;
using mediatest::pattern;
namespace fs = std::filesystem;

std::string tunnelRequest(uint32_t sessionId, int type, int line, int argument, int index) {
  char text[160];
  std::snprintf(text, sizeof text,
                "GET /media_tunnel/%08x/%02x/01/%02x/%02x?index=%d HTTP/1.0\r\nAuthorization: Basic dTpwdw==\r\n\r\n",
                sessionId, type, line, argument, index);
  return text;
}

std::string lineRequest(uint32_t sessionId, const char* line) {
  return "GET /media_tunnel/" + [&] {
    char id[9];
    std::snprintf(id, sizeof id, "%08x", sessionId);
    return std::string(id);
  }() + "/01/01/" + line + "/00?index=1 HTTP/1.0\r\n\r\n";
}

// One TPKT media frame read from a plain socket.
std::optional<Bytes> readMediaFrame(zeltest::RawClient& peer, std::chrono::milliseconds timeout = 2s) {
  const auto head = peer.readBytes(4, timeout);
  if (!head) return std::nullopt;
  const size_t length = zeltest::readU16(head->data() + 2);
  if (length < 4) return std::nullopt;
  return peer.readBytes(length - 4, timeout);
}

Descriptor tcpVideo(uint8_t line, uint8_t argument = 0) { return requestDescriptor(1, 0x0400, 0, line, argument); }

// What the back-channel callback was given.
struct BackChannelLog {
  std::mutex mutex;
  std::vector<std::pair<int, Bytes>> packets;
  size_t count() {
    std::lock_guard<std::mutex> guard(mutex);
    return packets.size();
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

// Everything the library wrote to its logs under the directory.
std::string allLogs(const fs::path& directory) {
  std::string text;
  for (const auto& entry : fs::recursive_directory_iterator(directory)) {
    if (!entry.is_regular_file()) continue;
    std::ifstream file(entry.path());
    text.append(std::istreambuf_iterator<char>(file), {});
  }
  return text;
}

size_t occurrences(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

struct TempDirectory {
  fs::path path;
  TempDirectory() {
    char pattern[] = "/tmp/zelkit-tunnel-XXXXXX";
    path = ::mkdtemp(pattern);
  }
  ~TempDirectory() { fs::remove_all(path); }
};

class MediaTunnel : public ::testing::Test {
 protected:
  RunningServer running;
  SessionMaker maker{running};
};

TEST_F(MediaTunnel, RefusedRequestsAreLoggedAndServedAsOrdinaryOnes) {
  TempDirectory logs;
  zelkit::System::setLoggingDirectory(logs.path.c_str());
  const auto waiting = maker.make({tcpVideo(4, 0x21)});
  const auto udp = maker.make({requestDescriptor(1, 0x0100, 9, 5)});
  ASSERT_TRUE(waiting);
  ASSERT_TRUE(udp);
  const auto waitingId = static_cast<uint32_t>(waiting->sessionId());
  const auto udpId = static_cast<uint32_t>(udp->sessionId());
  struct Case {
    const char* name;
    std::string request;
    int result;
  };
  const Case cases[] = {
      {"line out of range", lineRequest(waitingId, "-1"), -2},
      {"no such session", tunnelRequest(waitingId + 0x80000, 1, 4, 0x21, 1), -3},
      {"session on another line", tunnelRequest(waitingId, 1, 5, 0x21, 1), -3},
      {"index beyond the reply", tunnelRequest(waitingId, 1, 4, 0x21, 2), -4},
      {"type beyond the streams", tunnelRequest(waitingId, 4, 4, 0x21, 0), -5},
      {"type 0", tunnelRequest(waitingId, 0, 4, 0x21, 0), -5},
      {"a UDP stream", tunnelRequest(udpId, 1, 5, 0, 1), -6},
      {"attached", tunnelRequest(waitingId, 1, 4, 0x21, 1), 0},
      {"attached already", tunnelRequest(waitingId, 1, 4, 0x21, 1), -6},
  };
  std::vector<std::unique_ptr<zeltest::RawClient>> peers;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string line = "setMediaTunnel failed " + std::to_string(c.result);
    const size_t before = occurrences(allLogs(logs.path), line);
    peers.push_back(std::make_unique<zeltest::RawClient>(running.httpPort));
    zeltest::RawClient& peer = *peers.back();
    ASSERT_TRUE(peer.write(c.request));
    if (c.result == 0) {
      ASSERT_TRUE(mediaSession(waiting)->waitEstablished(5s));
      continue;
    }
    // No HTTP handler takes the request: the connection ends.
    EXPECT_TRUE(peer.readToEnd(5s));
    EXPECT_TRUE(servertest::waitUntil([&] { return occurrences(allLogs(logs.path), line) == before + 1; }));
  }
  EXPECT_TRUE(waiting->socketsReady());
}

// With index 0 the type names the stream; a video request whose video
// stream is taken goes to the third stream.
TEST_F(MediaTunnel, StreamByType) {
  Descriptor third = tcpVideo(6);
  third.coding = 0x0010;
  const auto session = maker.make({tcpVideo(6), third});
  ASSERT_TRUE(session);
  const auto id = static_cast<uint32_t>(session->sessionId());
  zeltest::RawClient videoPeer(running.httpPort);
  ASSERT_TRUE(videoPeer.write(tunnelRequest(id, 1, 6, 0, 0)));
  // The first tunnel is in before the second one comes.
  EXPECT_FALSE(mediaSession(session)->waitEstablished(300ms));
  EXPECT_EQ(session->transmit(static_cast<zelkit::RtpPayloadType>(26), "v", 1, 0, 0), -3);
  zeltest::RawClient thirdPeer(running.httpPort);
  ASSERT_TRUE(thirdPeer.write(tunnelRequest(id, 1, 6, 0, 0)));
  ASSERT_TRUE(mediaSession(session)->waitEstablished(5s));
  EXPECT_EQ(mediaSession(session)->establishedCount(), 1);

  ASSERT_EQ(session->transmit(static_cast<zelkit::RtpPayloadType>(26), "video", 5, 0, 0), 17);
  ASSERT_EQ(session->transmit(static_cast<zelkit::RtpPayloadType>(98), "third", 5, 0, 0), 17);
  const auto video = readMediaFrame(videoPeer);
  const auto thirdFrame = readMediaFrame(thirdPeer);
  ASSERT_TRUE(video);
  ASSERT_TRUE(thirdFrame);
  EXPECT_EQ(std::string(video->begin() + 12, video->end()), "video");
  EXPECT_EQ(std::string(thirdFrame->begin() + 12, thirdFrame->end()), "third");
}

// The index counts the 8-byte items of the connect reply, key items
// included, as the library's client counts them.
TEST_F(MediaTunnel, IndexCountsTheReplysItems) {
  Descriptor video = tcpVideo(7);
  Descriptor audio = requestDescriptor(2, 0x0400, 0, 7);
  video.flags = 0x08;
  audio.flags = 0x08;
  const auto reply = connect(maker.client(), join({mediatest::encodeDescriptor(video), mediatest::encodeDescriptor(audio)}));
  ASSERT_TRUE(reply);
  ASSERT_EQ(reply->streams.size(), 2u);
  ASSERT_EQ(reply->payload.size(), 32u + 40u + 32u + 40u);
  const auto session = sessionOf(running.server, *reply);
  ASSERT_TRUE(session);

  TempDirectory logs;
  zelkit::System::setLoggingDirectory(logs.path.c_str());
  zeltest::RawClient keyItem(running.httpPort);
  ASSERT_TRUE(keyItem.write(tunnelRequest(reply->sessionId, 1, 7, 0, 2)));
  EXPECT_TRUE(keyItem.readToEnd(5s)) << "an index naming a key item is refused";
  EXPECT_TRUE(servertest::waitUntil([&] { return occurrences(allLogs(logs.path), "setMediaTunnel failed -4") == 1; }));

  zeltest::RawClient audioPeer(running.httpPort);
  ASSERT_TRUE(audioPeer.write(tunnelRequest(reply->sessionId, 2, 7, 0, 7)));
  zeltest::RawClient videoPeer(running.httpPort);
  ASSERT_TRUE(videoPeer.write(tunnelRequest(reply->sessionId, 1, 7, 0, 1)));
  ASSERT_TRUE(mediaSession(session)->waitEstablished(5s));

  const Bytes payload = pattern(64);
  ASSERT_EQ(session->transmit(static_cast<zelkit::RtpPayloadType>(0), payload.data(), 64, 5, 0), 76);
  ASSERT_EQ(session->transmit(static_cast<zelkit::RtpPayloadType>(26), payload.data(), 64, 5, 0), 76);
  const auto audioPacket = readMediaFrame(audioPeer);
  const auto videoPacket = readMediaFrame(videoPeer);
  ASSERT_TRUE(audioPacket);
  ASSERT_TRUE(videoPacket);
  EXPECT_EQ(cipherApplied(reply->streams[1].key, *audioPacket), mediatest::rtpPacket(0, 0, payload, 5, 0xFFFFFFFF));
  EXPECT_EQ(cipherApplied(reply->streams[0].key, *videoPacket), mediatest::rtpPacket(26, 0, payload, 5, 0xFFFFFFFF));
}

// Frames the client sends in the same segment as its request head are the
// stream's first packets, not lost with the head.
TEST_F(MediaTunnel, BytesBehindTheHeadReachTheBackChannel) {
  running.server.registerReceiverCallback(false, onBackChannel);
  const auto session = maker.make({requestDescriptor(1, 0x0480, 0, 8)});
  ASSERT_TRUE(session);
  const Bytes first = mediatest::rtpPacket(73, 1, pattern(30));
  const Bytes second = mediatest::rtpPacket(73, 2, pattern(31));
  const Bytes secondFrame = mediatest::mediaFrame(second);
  const Bytes halfOfSecond(secondFrame.begin(), secondFrame.begin() + 10);
  zeltest::RawClient peer(running.httpPort);
  const std::string head = tunnelRequest(static_cast<uint32_t>(session->sessionId()), 1, 8, 0, 1);
  ASSERT_TRUE(peer.write(join({Bytes(head.begin(), head.end()), mediatest::mediaFrame(first), halfOfSecond})));
  ASSERT_TRUE(mediaSession(session)->waitEstablished(5s));
  ASSERT_TRUE(servertest::waitUntil([] { return backChannelLog().count() == 1; }));
  ASSERT_TRUE(peer.write(Bytes(secondFrame.begin() + 10, secondFrame.end())));
  ASSERT_TRUE(servertest::waitUntil([] { return backChannelLog().count() == 2; }));
  std::lock_guard<std::mutex> guard(backChannelLog().mutex);
  EXPECT_EQ(backChannelLog().packets[0], std::make_pair(73, pattern(30)));
  EXPECT_EQ(backChannelLog().packets[1], std::make_pair(73, pattern(31)));
}

// curl opens the tunnel and writes what arrives: the server's frames, until
// its time limit ends it (exit 28). Sends that fail after that are logged.
TEST_F(MediaTunnel, CurlAsTheTunnelPeer) {
  ZELKIT_REQUIRE_TOOL("curl");
  TempDirectory directory;
  fs::create_directory(directory.path / "logs");
  zelkit::System::setLoggingDirectory((directory.path / "logs").c_str());
  const auto session = maker.make({tcpVideo(9, 0x31)});
  ASSERT_TRUE(session);
  const auto id = static_cast<uint32_t>(session->sessionId());
  const fs::path received = directory.path / "f.bin";
  char url[128];
  std::snprintf(url, sizeof url, "http://127.0.0.1:%u/media_tunnel/%08x/01/01/09/31?index=1", running.httpPort, id);
  zeltest::BackgroundProcess curl({"curl", "-sS", "--http0.9", "-N", "--max-time", "3", "-o", received, url});
  ASSERT_TRUE(mediaSession(session)->waitEstablished(5s));

  // Video of two payload types, each with its own sequence counter.
  Bytes expected;
  uint16_t sequence[2] = {};
  for (int i = 0; i < 20; ++i) {
    const Bytes payload = pattern(static_cast<size_t>(10 + 70 * i), static_cast<uint8_t>(i));
    const int type = i % 4 == 3 ? 97 : 26;
    const int marker = i % 5 == 4 ? 1 : 0;
    ASSERT_EQ(session->transmit(static_cast<zelkit::RtpPayloadType>(type), payload.data(),
                                static_cast<int>(payload.size()), 3000ul * i, marker),
              static_cast<int>(payload.size()) + 12);
    const uint8_t typeByte = static_cast<uint8_t>(type | (marker != 0 ? 0x80 : 0));
    const Bytes packet = mediatest::rtpPacket(typeByte, sequence[type == 97]++, payload, 3000u * i, 0xFFFFFFFF);
    expected = join({expected, mediatest::mediaFrame(packet)});
  }
  EXPECT_EQ(curl.waitForExit(10s), 28) << curl.output();
  std::ifstream file(received, std::ios::binary);
  EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(file), {}), expected);

  // The peer is gone: sends fail, and the log tells where the loss began.
  int result = 0;
  for (int i = 0; i < 50 && result >= 0; ++i) {
    result = session->transmit(static_cast<zelkit::RtpPayloadType>(26), "lost", 4, 0, 0);
    if (result >= 0) std::this_thread::sleep_for(20ms);
  }
  ASSERT_LT(result, 0);
  char line[64];
  std::snprintf(line, sizeof line, "Start packet loss session %08x seqNo ", id);
  EXPECT_EQ(occurrences(allLogs(directory.path / "logs"), line), 1u);
}

}  // namespace
