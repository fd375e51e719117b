// A framed media stream under TLS against openssl s_server: the client
// handshake goes first, then frames travel as application data both ways.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/socket.h"
#include "server/media/media_socket.h"
#include "server/media/media_test_util.h"
#include "support/background_process.h"
#include "support/child_process.h"
#include "support/external_tool.h"

namespace {

using namespace std::chrono_literals;
using namespace zelkit::detail;
using mediatest::Bytes;
using zeltest::BackgroundProcess;
namespace fs = std::filesystem;

struct TempDirectory {
  fs::path path;
  TempDirectory() {
    char pattern[] = "/tmp/zelkit-media-tls-XXXXXX";
    path = ::mkdtemp(pattern);
  }
  ~TempDirectory() { fs::remove_all(path); }
};

// The port of s_server's "ACCEPT 127.0.0.1:PORT" line, 0 when none comes.
uint16_t acceptPort(BackgroundProcess& server) {
  const auto line = server.waitForLine("ACCEPT", 10s);
  if (!line) return 0;
  return static_cast<uint16_t>(std::stoi(line->substr(line->rfind(':') + 1)));
}

zelkit::platform::Socket connectTo(uint16_t port) {
  const zelkit::platform::Socket socket = zelkit::platform::openSocket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in to = mediatest::loopback(port);
  if (zelkit::platform::connectSocket(socket, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) return -1;
  return socket;
}

TEST(MediaTls, FramesTravelAsApplicationDataBothWays) {
  ZELKIT_REQUIRE_TOOL("openssl");
  TempDirectory directory;
  const std::string key = directory.path / "key.pem";
  const std::string certificate = directory.path / "cert.pem";
  ASSERT_EQ(zeltest::runProcess({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out",
                                 certificate, "-subj", "/CN=zelkit-media", "-days", "2"},
                                "", 60s)
                .exitStatus,
            0);
  BackgroundProcess server({"openssl", "s_server", "-accept", "127.0.0.1:0", "-tls1", "-cipher",
                            "AES128-SHA:@SECLEVEL=0", "-key", key, "-cert", certificate, "-ign_eof"});
  const uint16_t port = acceptPort(server);
  ASSERT_NE(port, 0) << server.output();

  MediaSocket media;
  media.reset(nullptr);
  media.socket = connectTo(port);
  ASSERT_TRUE(media.isOpen());
  media.framed = 1;
  media.setState(MediaSocketState::Ready);
  ASSERT_TRUE(media.startSsl());
  EXPECT_EQ(media.sslPending(), 0);

  // The first send runs the handshake. s_server prints what it received;
  // a payload of letters ending in a line feed makes it one line.
  Bytes letters;
  for (int i = 0; i < 39; ++i) letters.push_back(static_cast<uint8_t>('a' + i % 26));
  letters.push_back('\n');
  const Bytes packet = mediatest::rtpPacket(96, 0x4142, letters);
  ASSERT_EQ(media.send(packet.data(), static_cast<int>(packet.size())), static_cast<int>(packet.size()));
  ASSERT_TRUE(server.waitForLine("CIPHER is AES128-SHA", 10s)) << server.output();
  const Bytes frame = mediatest::mediaFrame(packet);
  EXPECT_TRUE(server.waitForLine(std::string(frame.begin(), frame.end() - 1), 10s)) << server.output();

  // Two frames from the server in one record: the second is read from what
  // TLS holds already.
  const Bytes back = mediatest::rtpPacket(97, 7, mediatest::pattern(30, 'b'));
  const Bytes twice = mediatest::join({mediatest::mediaFrame(back), mediatest::mediaFrame(back)});
  server.writeInput(std::string(twice.begin(), twice.end()));
  bool ready = false;
  const zelkit::platform::Socket handle = media.handle();
  ASSERT_EQ(zelkit::platform::selectReadable(&handle, 1, &ready, 5000), 1);
  int length = 0;
  for (int tries = 0; tries < 100 && length == 0; ++tries) length = media.receive();
  ASSERT_EQ(length, static_cast<int>(back.size()));
  EXPECT_EQ(Bytes(media.packetData(), media.packetData() + length), back);
  EXPECT_GT(media.sslPending(), 4);
  EXPECT_EQ(media.receive(), static_cast<int>(back.size()));
  EXPECT_EQ(media.sslPending(), 0);
}

}  // namespace
