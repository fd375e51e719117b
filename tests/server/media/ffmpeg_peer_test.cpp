// ffmpeg as the real sender and receiver of RTP, tshark as the reader of
// what went over the wire.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/engine/engine_test_util.h"
#include "server/media/media_test_util.h"
#include "support/background_process.h"
#include "support/child_process.h"
#include "support/external_tool.h"
#include "support/test_device.h"
#include "zelkit/rtp_streamer.h"

namespace {

using namespace std::chrono_literals;
using namespace mediatest;
using zelkit::RtpStreamer;
using zeltest::BackgroundProcess;
namespace fs = std::filesystem;

const std::vector<std::string> kQuietFfmpeg = {"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error"};
const char* const kTone[] = {"-f", "lavfi", "-i", "sine=f=440:sample_rate=8000", "-t", "3", "-c:a", "pcm_mulaw"};

std::vector<std::string> ffmpeg(std::initializer_list<std::string> arguments, bool tone = false) {
  std::vector<std::string> argv = kQuietFfmpeg;
  if (tone) argv.insert(argv.end(), std::begin(kTone), std::end(kTone));
  argv.insert(argv.end(), arguments);
  return argv;
}

Bytes readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

// A directory of the test's own, removed afterwards.
struct TempDirectory {
  fs::path path;
  TempDirectory() {
    char pattern[] = "/tmp/zelkit-media-XXXXXX";
    path = ::mkdtemp(pattern);
  }
  ~TempDirectory() { fs::remove_all(path); }
};

bool udpPortBound(uint16_t port) {
  std::ifstream table("/proc/net/udp");
  std::string line;
  char local[16];
  std::snprintf(local, sizeof local, ":%04X ", port);
  while (std::getline(table, line))
    if (line.find(local) != std::string::npos && line.find(local) < 30) return true;
  return false;
}

void requireTools() {
  for (const char* tool : {"ffmpeg", "tshark"})
    ZELKIT_REQUIRE_TOOL(tool);
}

TEST(FfmpegPeer, ReceivesWhatFfmpegSends) {
  requireTools();
  TempDirectory directory;
  const fs::path reference = directory.path / "ref.ulaw";
  const auto made = zeltest::runProcess(ffmpeg({"-f", "mulaw", "-y", reference}, true), "", 30s);
  ASSERT_EQ(made.exitStatus, 0);
  const Bytes expected = readFile(reference);
  ASSERT_EQ(expected.size(), 24000u);

  for (bool raw : {false, true}) {
    SCOPED_TRACE(raw ? "raw" : "payloads");
    const uint16_t port = freeUdpPort();
    RtpStreamer streamer("zelp://127.0.0.1:9", 1);
    const unsigned long addresses[] = {htonl(INADDR_LOOPBACK)};
    const unsigned short ports[] = {htons(port)};
    streamer.connectStream(0, addresses, ports, 1);
    PacketLog log;
    streamer.registerReceiverCallback(raw, PacketLog::callback, &log);

    BackgroundProcess sender(ffmpeg({"-re", "-f", "lavfi", "-i", "sine=f=440:sample_rate=8000", "-t", "3", "-c:a",
                                     "pcm_mulaw", "-f", "rtp", "rtp://127.0.0.1:" + std::to_string(port)}));
    ASSERT_TRUE(log.waitForCount(1, 10s));
    streamer.setVideoTimeout(600);
    ASSERT_EQ(sender.waitForExit(30s), 0) << sender.output();
    std::this_thread::sleep_for(1500ms);

    Bytes payloads;
    int reports = 0;
    int lastSequence = -1;
    for (const Received& packet : log.packets()) {
      if (!packet.hasData) {
        ++reports;
        continue;
      }
      if (raw) {
        ASSERT_EQ(packet.type, zelkit::RtpPacketComplete);
        ASSERT_GT(packet.data.size(), 12u);
        EXPECT_EQ(packet.data[0], 0x80);
        EXPECT_EQ(packet.data[1] & 0x7F, 0);
        const int sequence = zeltest::readU16(packet.data.data() + 2);
        if (lastSequence >= 0) {
          EXPECT_EQ(sequence, (lastSequence + 1) & 0xFFFF) << "a gap in the sequence";
        }
        lastSequence = sequence;
        payloads.insert(payloads.end(), packet.data.begin() + 12, packet.data.end());
      } else {
        EXPECT_EQ(packet.type, 0);
        payloads.insert(payloads.end(), packet.data.begin(), packet.data.end());
      }
    }
    EXPECT_EQ(payloads, expected);
    EXPECT_EQ(reports, 1) << "one report once ffmpeg stopped";
    EXPECT_FALSE(log.packets().back().hasData);
  }
}

// tshark's reading of the RTP packets sent to a port: version, sequence,
// SSRC and payload, one line each.
std::vector<std::vector<std::string>> rtpFields(const fs::path& capture, uint16_t port) {
  const auto listed =
      zeltest::runProcess({"tshark", "-r", capture, "-d", "udp.port==" + std::to_string(port) + ",rtp", "-T", "fields",
                           "-e", "rtp.version", "-e", "rtp.seq", "-e", "rtp.ssrc", "-e", "rtp.payload"},
                          "", 60s);
  EXPECT_EQ(listed.exitStatus, 0);
  std::vector<std::vector<std::string>> rows;
  std::istringstream lines(listed.output);
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> fields;
    std::istringstream split(line);
    for (std::string field; std::getline(split, field, '\t');) fields.push_back(field);
    if (fields.size() == 4) rows.push_back(fields);
  }
  return rows;
}

TEST(FfmpegPeer, FfmpegReceivesWhatTheStreamerSends) {
  requireTools();
  TempDirectory directory;
  const uint16_t port = freeUdpPort();
  zeltest::TestDevice device;
  device.addAccount("user", "pw");
  device.setRule(kConnectPrimitive, zeltest::Rule::silent());
  device.start();
  RtpStreamer streamer(("zelp://user:pw@" + device.endpoint()).c_str(), 1);
  enginetest::Recorder results;
  const Bytes sendAudio = encodeDescriptor({.clientSends = 1, .media = 2, .port = port});
  auto connect = [&](const Bytes& reply) {
    const size_t seen = device.frames().size();
    const size_t answered = results.count();
    streamer.connectVideo(3000, 0, 0, 2, 0, enginetest::Recorder::callback, &results);
    const auto request = device.waitForTag(kConnectPrimitive, 5s, seen);
    ASSERT_TRUE(request);
    ASSERT_TRUE(device.reply(*request, reply, zeltest::kModeReply, 0x00080001));
    ASSERT_TRUE(results.waitForCount(answered + 1, 5s));
  };
  connect(sendAudio);

  const fs::path capture = directory.path / "cap.pcapng";
  Bytes sent;
  constexpr int kPackets = 50;
  constexpr int kEncrypted = 5;
  {
    // It ends by itself, its capture file complete, once every packet is in.
    BackgroundProcess tshark({"tshark", "-i", "lo", "-w", capture, "-f", "udp dst port " + std::to_string(port), "-c",
                              std::to_string(kPackets + kEncrypted)});
    ASSERT_TRUE(tshark.waitForLine("Capturing on", 10s)) << tshark.output();

    const fs::path sdp = directory.path / "s.sdp";
    std::ofstream(sdp) << "v=0\r\no=- 0 0 IN IP4 127.0.0.1\r\ns=zelkit\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\nm=audio "
                       << port << " RTP/AVP 0\r\n";
    const fs::path received = directory.path / "out.ulaw";
    // ffmpeg ends about 10 s after the last packet.
    BackgroundProcess receiver(
        ffmpeg({"-protocol_whitelist", "file,udp,rtp", "-i", sdp, "-c:a", "copy", "-f", "mulaw", "-y", received}));
    ASSERT_TRUE(enginetest::waitUntil([&] { return udpPortBound(port); }, 10s));

    for (int i = 0; i < kPackets; ++i) {
      const Bytes payload = pattern(160, static_cast<uint8_t>(i));
      ASSERT_EQ(streamer.transmit(static_cast<zelkit::RtpPayloadType>(0), payload.data(), 160, i * 160ul), 172);
      sent.insert(sent.end(), payload.begin(), payload.end());
      std::this_thread::sleep_for(2ms);
    }
    ASSERT_EQ(receiver.waitForExit(40s), 0) << receiver.output();
    EXPECT_EQ(readFile(received), sent);

    // Encrypted with the key the device gives: the header stays readable.
    const Bytes key = pattern(16, 0x33);
    connect(join({sendAudio, keyItems(key)}));
    for (int i = 0; i < kEncrypted; ++i) {
      const Bytes payload = pattern(160, static_cast<uint8_t>(kPackets + i));
      ASSERT_EQ(streamer.transmit(static_cast<zelkit::RtpPayloadType>(0), payload.data(), 160, i * 160ul), 172);
    }
    ASSERT_EQ(tshark.waitForExit(30s), 0) << tshark.output();
  }

  const auto rows = rtpFields(capture, port);
  ASSERT_EQ(rows.size(), static_cast<size_t>(kPackets + kEncrypted));
  const int first = std::stoi(rows[0][1]);
  for (size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(rows[i][0], "2");
    EXPECT_EQ(std::stoi(rows[i][1]), (first + static_cast<int>(i)) & 0xFFFF);
    EXPECT_EQ(rows[i][2], "0xffffffff");
    const std::string plain = zelkit::test::toHex(pattern(160, static_cast<uint8_t>(i)));
    if (i < kPackets) {
      EXPECT_EQ(rows[i][3], plain);
    } else {
      EXPECT_NE(rows[i][3].substr(0, 64), plain.substr(0, 64)) << "the payload went out readable";
    }
  }
}

}  // namespace
