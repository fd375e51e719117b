// Stream set-up against a scripted device built on the library's own
// server: its connect handler replaces the built-in one and writes the reply
// itself; keep-alives and the disconnect reach handlers of the test.
#include <gtest/gtest.h>

#include <mutex>

#include "core/engine/engine_test_util.h"
#include "server/media/media_test_util.h"
#include "server/server_test_util.h"
#include "support/raw_client.h"
#include "zelkit/rtp_streamer.h"

namespace {

using namespace std::chrono_literals;
using namespace mediatest;
using zelkit::RtpStreamer;

constexpr uint32_t kSession = 0x00180002;

// What the device's handlers saw, and the port it gives the client's audio.
struct DeviceLog {
  std::mutex mutex;
  std::vector<Descriptor> requested;
  std::vector<std::pair<uint32_t, Clock::time_point>> keepAlives;  // session id, time
  std::vector<std::pair<uint32_t, Clock::time_point>> disconnects;
  uint16_t audioPort = 0;
};
DeviceLog& deviceLog() {
  static DeviceLog* const log = new DeviceLog();
  return *log;
}

// Accepts every receive stream on the port the client gave (unicast) and
// the client's audio towards the test's socket.
void onConnect(zelkit::ZelSessionRef const& session, zelkit::ZelHeader& header, zelkit::ZelInputStream& payload) {
  Bytes request(static_cast<size_t>(payload.available()));
  if (!request.empty()) payload.read(request.data(), static_cast<int>(request.size()));
  Bytes reply;
  DeviceLog& log = deviceLog();
  std::lock_guard<std::mutex> guard(log.mutex);
  for (size_t at = 0; at + 32 <= request.size(); at += 32) {
    Descriptor d = decodeDescriptor(request.data() + at);
    log.requested.push_back(d);
    d.status = 1;
    d.address = 0;
    if (d.clientSends != 0) d.port = log.audioPort;
    const Bytes echoed = encodeDescriptor(d);
    reply.insert(reply.end(), echoed.begin(), echoed.end());
  }
  header.sessionId = kSession;
  zelkit::ZelOutputStream out(reply.data(), static_cast<int>(reply.size()));
  session->respond(header, out);
}

void record(std::vector<std::pair<uint32_t, Clock::time_point>>& list, const zelkit::ZelHeader& header) {
  std::lock_guard<std::mutex> guard(deviceLog().mutex);
  list.emplace_back(header.sessionId, Clock::now());
}

void onKeepAlive(zelkit::ZelSessionRef const&, zelkit::ZelHeader& header, zelkit::ZelInputStream&) {
  record(deviceLog().keepAlives, header);
}

void onDisconnect(zelkit::ZelSessionRef const&, zelkit::ZelHeader& header, zelkit::ZelInputStream&) {
  record(deviceLog().disconnects, header);
}

TEST(StreamServerDevice, UdpStreamsKeepAlivesAndDisconnect) {
  UdpPeer deviceAudio;
  deviceLog().audioPort = deviceAudio.port();
  servertest::TestServer server;
  server.registerCallback(kConnectPrimitive, onConnect);
  server.registerCallback(kKeepAlive, onKeepAlive);
  server.registerCallback(kDisconnectPrimitive, onDisconnect);
  const uint16_t port = zeltest::freeLoopbackPort();
  server.start(port);

  RtpStreamer streamer(("zelp://user:pw@127.0.0.1:" + std::to_string(port)).c_str(), 3);
  PacketLog packets;
  streamer.registerReceiverCallback(false, PacketLog::callback, &packets);
  enginetest::Recorder results;
  streamer.connectVideo(3000, 0, 0, 2, 1, enginetest::Recorder::callback, &results);
  const auto result = results.waitFor(kConnectResult, 5s);
  ASSERT_TRUE(result);
  const auto connected = Clock::now();
  ASSERT_EQ(result->payload.size(), 16u);
  EXPECT_EQ(zeltest::readU32(result->payload.data() + 8), 2u) << "audio sent";
  EXPECT_EQ(zeltest::readU32(result->payload.data() + 12), 1u) << "video received";
  EXPECT_EQ(streamer.getSessionId(), kSession);

  uint16_t videoPort;
  {
    std::lock_guard<std::mutex> guard(deviceLog().mutex);
    ASSERT_EQ(deviceLog().requested.size(), 2u);
    EXPECT_EQ(deviceLog().requested[0].line, 3);
    videoPort = deviceLog().requested[0].port;
  }
  // Media both ways over UDP.
  UdpPeer deviceVideo;
  deviceVideo.sendTo(videoPort, rtpPacket(0x9A, 1, pattern(40)));
  ASSERT_TRUE(packets.waitForCount(1, 5s));
  EXPECT_EQ(packets.packets()[0].type, 26);
  EXPECT_EQ(packets.packets()[0].data, pattern(40));
  const Bytes audio = pattern(160);
  ASSERT_EQ(streamer.transmit(static_cast<zelkit::RtpPayloadType>(0), audio.data(), 160, 0), 172);
  const auto sent = deviceAudio.receive();
  ASSERT_TRUE(sent);
  EXPECT_EQ(Bytes(sent->begin() + 12, sent->end()), audio);

  // A keep-alive about every four seconds, with the media session's id.
  ASSERT_TRUE(servertest::waitUntil(
      [] {
        std::lock_guard<std::mutex> guard(deviceLog().mutex);
        return !deviceLog().keepAlives.empty();
      },
      7s));
  {
    std::lock_guard<std::mutex> guard(deviceLog().mutex);
    EXPECT_EQ(deviceLog().keepAlives[0].first, kSession);
    EXPECT_GE(deviceLog().keepAlives[0].second - connected, 3400ms);
  }

  streamer.disconnectVideo();
  ASSERT_TRUE(servertest::waitUntil([] {
    std::lock_guard<std::mutex> guard(deviceLog().mutex);
    return !deviceLog().disconnects.empty();
  }));
  std::this_thread::sleep_for(4500ms);
  std::lock_guard<std::mutex> guard(deviceLog().mutex);
  EXPECT_EQ(deviceLog().disconnects[0].first, kSession);
  for (const auto& keepAlive : deviceLog().keepAlives) EXPECT_LT(keepAlive.second, deviceLog().disconnects[0].second);
}

}  // namespace
