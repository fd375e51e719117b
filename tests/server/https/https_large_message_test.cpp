// Messages of many records between the server's TLS port and clients with
// Python's TLS: every size arrives whole both ways, also in records cut
// into small pieces; a client that stops reading a large reply holds up
// no one else and gets all of it, or closes and the server goes on; an
// HTTP handler reads and writes large amounts through TLS.

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "server/server_test_util.h"
#include "support/background_process.h"
#include "support/external_tool.h"
#include "support/tls_credentials.h"

namespace {

using namespace servertest;
using zeltest::BackgroundProcess;

constexpr uint32_t kEcho = 0x0A010C31;

class HttpsLargeMessages : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string& certificate = credentials.certificatePem;
    const std::string& key = credentials.traditionalKeyPem;
    ASSERT_EQ(zelkit::ZelServer::setSslKeys(zelkit::SslCertificate, certificate.c_str(),
                                            static_cast<int>(certificate.size())),
              0);
    ASSERT_EQ(zelkit::ZelServer::setSslKeys(zelkit::SslPrivateKey, key.c_str(), static_cast<int>(key.size())), 0);
    {
      LoginScript& script = loginScript();
      std::lock_guard<std::mutex> guard(script.mutex);
      script.password = "pw";
    }
    server.registerCallback(kEcho, echoPayload);
    server.bindHttpPort(httpsPort, true, nullptr);
    server.start(0);
  }

  // tls_peer.py's echo client with the sizes given and more options.
  std::unique_ptr<BackgroundProcess> echoClient(const std::vector<size_t>& sizes,
                                                const std::vector<std::string>& options = {}) {
    std::ostringstream list;
    for (size_t i = 0; i < sizes.size(); ++i) list << (i > 0 ? "," : "") << sizes[i];
    std::vector<std::string> argv{"python3", zeltest::tlsPeerScript(), "echo", "--port", std::to_string(httpsPort),
                                  "--user", "u", "--password", "pw", "--sizes", list.str()};
    argv.insert(argv.end(), options.begin(), options.end());
    return std::make_unique<BackgroundProcess>(argv);
  }

  // The lines the client prints for its echoes, as expected when each came back whole.
  static std::string echoedWhole(const std::vector<size_t>& sizes) {
    std::string lines;
    for (const size_t size : sizes) lines += "ECHO " + std::to_string(size) + " ok " + std::to_string(size) + "\n";
    return lines;
  }

  static std::string echoLines(const std::string& output) {
    std::string lines;
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);)
      if (line.rfind("ECHO ", 0) == 0) lines += line + "\n";
    return lines;
  }

  zeltest::TlsCredentials credentials;
  // Never destroyed: the worker may still call into it as the test ends.
  TestServer& server = *new TestServer();
  const uint16_t httpsPort = zeltest::freeLoopbackPort();
};

// Frame sizes (payload + 20) around the 16384-byte records, around one
// fragment (65504 payload bytes), and a message of many fragments; the
// client's records whole or written in pieces of 1 to 97 bytes.
TEST_F(HttpsLargeMessages, EverySizeArrivesExactlyBothWays) {
  ZELKIT_REQUIRE_TOOL("python3");
  const std::vector<size_t> sizes = {1, 16363, 16364, 16365, 32748, 65503, 65504, 65505, 3 * 65504 + 1, 1 << 20};
  for (const char* option : {"", "--trickle"}) {
    SCOPED_TRACE(option);
    auto client = echoClient(sizes, *option != 0 ? std::vector<std::string>{option} : std::vector<std::string>{});
    ASSERT_EQ(client->waitForExit(60s), 0) << client->output();
    EXPECT_EQ(echoLines(client->output()), echoedWhole(sizes));
  }
}

// The client sends 8 MiB and does not read the echo (its receive buffer
// holds 64 KiB), so the server's send of it waits on a full socket.
// Meanwhile another client is served; then the first reads the whole
// echo, or closes unread and the server goes on serving.
TEST_F(HttpsLargeMessages, ClientThatStopsReadingHoldsUpNoOneElse) {
  ZELKIT_REQUIRE_TOOL("python3");
  const size_t big = 8 << 20;
  struct StallCase {
    const char* option;
    std::string expected;  // the stalled client's echo lines
  };
  const StallCase cases[] = {{"--stall", echoedWhole({big})}, {"--stall-then-close", ""}};
  for (const StallCase& c : cases) {
    SCOPED_TRACE(c.option);
    auto stalled = echoClient({big}, {"--rcvbuf", "65536", c.option});
    ASSERT_TRUE(stalled->waitForLine("SENT", 30s)) << stalled->output();
    auto other = echoClient({5, 70000});
    EXPECT_EQ(other->waitForExit(30s), 0) << other->output();
    EXPECT_EQ(echoLines(other->output()), echoedWhole({5, 70000}));
    stalled->writeInput("go\n");
    ASSERT_EQ(stalled->waitForExit(60s), 0) << stalled->output();
    EXPECT_EQ(echoLines(stalled->output()), c.expected);
  }
  auto after = echoClient({3});
  EXPECT_EQ(after->waitForExit(30s), 0) << after->output();
  EXPECT_EQ(echoLines(after->output()), echoedWhole({3}));
}

constexpr int kHandlerBytes = 1 << 20;

// Reads 1 MiB behind the body from the connection and writes it back in one send.
void echoWhatFollows(zelkit::ZelSessionRef const& session, zelkit::ZelHeader&, zelkit::ZelInputStream&) {
  std::vector<char> bytes(kHandlerBytes);
  int read = 0;
  while (read < kHandlerBytes) {
    const int got = session->recv(bytes.data() + read, kHandlerBytes - read, 0);
    if (got <= 0) return;
    read += got;
  }
  session->send(bytes.data(), kHandlerBytes, 0);
}

// A handler's blocking reads and writes through TLS, of many records each.
TEST(HttpsLargePost, HandlerReadsAndWritesManyRecords) {
  ZELKIT_REQUIRE_TOOL("python3");
  // Never destroyed: the worker may still call into it as the test ends.
  HttpPostServer& server = *new HttpPostServer();
  const uint16_t port = zeltest::freeLoopbackPort();
  server.bindHttpPort(port, true, echoWhatFollows);
  server.start(0);
  BackgroundProcess client({"python3", zeltest::tlsPeerScript(), "post", "--port", std::to_string(port), "--body",
                            "body", "--extra-size", std::to_string(kHandlerBytes)});
  ASSERT_EQ(client.waitForExit(30s), 0) << client.output();
  EXPECT_NE(client.output().find("RECEIVED b'200 OK' + " + std::to_string(kHandlerBytes) + " pattern bytes"),
            std::string::npos)
      << client.output();
}

}  // namespace
