// ffmpeg as the receiving client of a media session the server streams.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "server/streaming/streaming_test_util.h"
#include "support/background_process.h"
#include "support/external_tool.h"

namespace {

using namespace std::chrono_literals;
using namespace streamingtest;
using mediatest::pattern;
namespace fs = std::filesystem;

bool udpPortBound(uint16_t port) {
  std::ifstream table("/proc/net/udp");
  char local[16];
  std::snprintf(local, sizeof local, ":%04X ", port);
  for (std::string line; std::getline(table, line);)
    if (line.find(local) != std::string::npos && line.find(local) < 30) return true;
  return false;
}

TEST(FfmpegReceiver, GetsThePayloadsTheSessionSends) {
  ZELKIT_REQUIRE_TOOL("ffmpeg");
  char pattern_[] = "/tmp/zelkit-ffmpeg-XXXXXX";
  const fs::path directory = ::mkdtemp(pattern_);
  const uint16_t port = [] {
    mediatest::UdpPeer probe;
    return probe.port();
  }();
  const fs::path sdp = directory / "pcmu.sdp";
  std::ofstream(sdp) << "v=0\r\no=- 0 0 IN IP4 127.0.0.1\r\ns=zelkit\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\nm=audio " << port
                     << " RTP/AVP 0\r\n";
  const fs::path received = directory / "out.ulaw";
  // Started first; it ends about 10 s after the last packet.
  zeltest::BackgroundProcess ffmpeg({"timeout", "60", "ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error",
                                     "-protocol_whitelist", "file,udp,rtp", "-i", sdp, "-c:a", "copy", "-f", "mulaw",
                                     "-y", received});
  ASSERT_TRUE(servertest::waitUntil([&] { return udpPortBound(port); }, 10s));

  RunningServer running;
  SessionMaker maker(running);
  // Audio to the port, the address left to the server (the client's).
  const auto session = maker.make({requestDescriptor(2, 0x0100, port, 1)});
  ASSERT_TRUE(session);
  Bytes sent;
  for (int i = 0; i < 100; ++i) {
    const Bytes payload = pattern(160, static_cast<uint8_t>(i));
    ASSERT_EQ(session->transmit(static_cast<zelkit::RtpPayloadType>(0), payload.data(), 160, 160ul * i, i == 0), 172);
    sent.insert(sent.end(), payload.begin(), payload.end());
    std::this_thread::sleep_for(2ms);
  }
  ASSERT_EQ(ffmpeg.waitForExit(40s), 0) << ffmpeg.output();
  std::ifstream file(received, std::ios::binary);
  EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(file), {}), sent);
  fs::remove_all(directory);
}

}  // namespace
