#include <gtest/gtest.h>

#include <stdlib.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include "core/engine/core.h"
#include "server/server_test_util.h"
#include "support/background_process.h"
#include "support/certificate_checking_reset.h"
#include "support/external_tool.h"
#include "support/log_lines.h"
#include "support/tls_credentials.h"
#include "zelkit/client.h"

namespace {

using namespace servertest;
using zeltest::BackgroundProcess;

constexpr uint32_t kEcho = 0x0A010C31;
const std::string kCipher = "AES128-SHA:@SECLEVEL=0";

int installKeys(const zeltest::TlsCredentials& credentials) {
  const std::string& certificate = credentials.certificatePem;
  const std::string& key = credentials.traditionalKeyPem;
  return zelkit::ZelServer::setSslKeys(zelkit::SslCertificate, certificate.c_str(), static_cast<int>(certificate.size())) |
         zelkit::ZelServer::setSslKeys(zelkit::SslPrivateKey, key.c_str(), static_cast<int>(key.size()));
}

std::string run(const std::string& command, const std::string& input = "") {
  const auto output = zelkit::test::runTool(command, zelkit::test::Bytes(input.begin(), input.end()));
  return output ? std::string(output->begin(), output->end()) : "";
}

std::string sha1Fingerprint(const std::string& pem) { return run("openssl x509 -noout -fingerprint -sha1", pem); }

// What openssl s_client sees of the server's certificate.
std::string servedFingerprint(uint16_t port) {
  BackgroundProcess client({"openssl", "s_client", "-connect", "127.0.0.1:" + std::to_string(port), "-tls1",
                            "-cipher", kCipher});
  client.closeInput();
  if (!client.waitForExit(20s)) return "s_client did not end";
  if (client.output().find("Protocol  : TLSv1\n") == std::string::npos) return client.output();
  return sha1Fingerprint(client.output());
}

// What the HTTP handler of the TLS port was given, and read and wrote itself.
struct Exchange {
  std::mutex mutex;
  std::string body;
  std::string readAfter;
  int sent = 0;
};
Exchange& exchange() {
  static Exchange* const recorded = new Exchange();
  return *recorded;
}

// Reads the body from its stream and six more bytes from the connection,
// then answers with both.
void onPost(zelkit::ZelSessionRef const& session, zelkit::ZelHeader&, zelkit::ZelInputStream& request) {
  const int length = request.available();
  const std::string body(reinterpret_cast<const char*>(request.skip(length)), static_cast<size_t>(length));
  std::string more;
  char buffer[6];
  while (more.size() < sizeof buffer) {
    const int got = session->recv(buffer, static_cast<int>(sizeof buffer - more.size()), 0);
    if (got <= 0) break;
    more.append(buffer, static_cast<size_t>(got));
  }
  const std::string answer = "[" + body + "|" + more + "]";
  const int sent = session->send(answer.data(), static_cast<int>(answer.size()), 0);
  Exchange& recorded = exchange();
  std::lock_guard<std::mutex> guard(recorded.mutex);
  recorded.body = body;
  recorded.readAfter = more;
  recorded.sent = sent;
}

class HttpsPort : public ::testing::Test {
 protected:
  void startServer() {
    server.registerCallback(kEcho, echoPayload);
    server.bindHttpPort(httpsPort, true, nullptr);
    server.start(zelPort);
  }

  zeltest::TlsCredentials credentials;
  TestServer server;
  const uint16_t zelPort = zeltest::freeLoopbackPort();
  const uint16_t httpsPort = zeltest::freeLoopbackPort();
};

// Keys installed before the process's first TLS context serve the port;
// s_client connects without a legacy switch.
TEST_F(HttpsPort, SClientSeesTheInstalledCertificate) {
  ZELKIT_REQUIRE_TOOL("openssl");
  ASSERT_EQ(installKeys(credentials), 0);
  startServer();
  const std::string expected = sha1Fingerprint(credentials.certificatePem);
  ASSERT_NE(expected.find(" Fingerprint="), std::string::npos);
  EXPECT_EQ(servedFingerprint(httpsPort), expected);
}

// The keys are read once, by the first TLS context of the process: here a
// client's. Keys installed afterwards are not used.
TEST_F(HttpsPort, KeysAreReadAtTheFirstTlsContext) {
  ZELKIT_REQUIRE_TOOL("openssl");
  startServer();
  {
    zelkit::ZelClient client(("https://HookOn1@127.0.0.1:" + std::to_string(httpsPort)).c_str(), 0, 0);
    zelkit::ZelInputStream reply;
    client.sendRequest(5000, kEcho, reply);
    EXPECT_NO_THROW(reply.wait());
  }
  const std::string builtIn = servedFingerprint(httpsPort);
  ASSERT_NE(builtIn.find(" Fingerprint="), std::string::npos) << builtIn;
  ASSERT_EQ(installKeys(credentials), 0);
  EXPECT_EQ(servedFingerprint(httpsPort), builtIn);
  EXPECT_NE(builtIn, sha1Fingerprint(credentials.certificatePem));
}

// An outside TLS client logs in through the tunnel inside TLS; its two
// requests, written at once, share one record and are both answered.
TEST_F(HttpsPort, PythonClientLogsInThroughTheTunnel) {
  ZELKIT_REQUIRE_TOOL("python3");
  ASSERT_EQ(installKeys(credentials), 0);
  {
    LoginScript& script = loginScript();
    std::lock_guard<std::mutex> guard(script.mutex);
    script.password = "pw";
  }
  startServer();
  BackgroundProcess client({"python3", zeltest::tlsPeerScript(), "login", "--port", std::to_string(httpsPort),
                            "--user", "u", "--password", "pw"});
  ASSERT_EQ(client.waitForExit(20s), 0) << client.output();
  const std::string& output = client.output();
  EXPECT_NE(output.find("LEVEL 2\n"), std::string::npos) << output;
  EXPECT_NE(output.find("REPLY 0a010c31 1 3 6669727374\n"), std::string::npos) << output;  // "first"
  EXPECT_NE(output.find("REPLY 0a010c31 1 4 7365636f6e64\n"), std::string::npos) << output;  // "second"
  const std::vector<LoginCall> calls = loginScript().recorded();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].user, "u");
}

void recordQuestion(void* context, zelkit::ZelHeader& header, zelkit::ZelInputStream&) {
  auto* asked = static_cast<std::vector<std::string>*>(context);
  asked->push_back(header.sourceUrl);
}

// Only the client side of a connection looks at certificates: in a process
// that serves and connects, an accepted TLS connection never waits for an
// approval, whatever the checking mode.
TEST_F(HttpsPort, AcceptedConnectionsNeverWaitForApproval) {
  startServer();
  std::vector<std::string> asked;  // written on the worker with the lock held
  const zeltest::CertificateCheckingReset reset;
  ASSERT_EQ(zelkit::ZelClient::setCertificateCheckingMode(zelkit::ZelClient::CertificateCheckAlways, false,
                                                          recordQuestion, &asked),
            0);
  const std::string url = "https://u:pw@127.0.0.1:" + std::to_string(httpsPort);
  zelkit::ZelClient client(url.c_str(), 0, 0);
  client.connect();
  ASSERT_TRUE(waitUntil([&] {
    zelkit::detail::GlobalLock lock;
    return !asked.empty();
  }));
  client.approved();
  zelkit::ZelOutputStream payload;
  payload.writeOctet(7);
  zelkit::ZelInputStream reply;
  client.sendRequest(5000, kEcho, payload, reply);
  EXPECT_EQ(reply.readOctet(), 7);
  zelkit::detail::GlobalLock lock;
  EXPECT_EQ(asked, std::vector<std::string>{url});
}

void approveAtOnce(void* context, zelkit::ZelHeader&, zelkit::ZelInputStream&) {
  static_cast<zelkit::ZelClient*>(context)->approved();
}

// The checking settings are changed under the library lock: threads switch
// them while a client's handshakes complete (a race shows under
// ThreadSanitizer).
TEST_F(HttpsPort, CheckingModeChangesWhileHandshakesComplete) {
  ASSERT_EQ(::setenv("XDG_DATA_HOME", zeltest::temporaryDirectory("cert-data").c_str(), 1), 0);
  startServer();
  zelkit::ZelClient client(("https://HookOn1@127.0.0.1:" + std::to_string(httpsPort)).c_str(), 0, 0);
  const zeltest::CertificateCheckingReset reset;
  std::atomic<bool> stop{false};
  std::vector<std::thread> switchers;
  for (int i = 0; i < 3; ++i) {
    switchers.emplace_back([&, raw = i == 1] {
      const zelkit::ZelClient::CertificateCheckingMode modes[] = {zelkit::ZelClient::CertificateCheckCached,
                                                                  zelkit::ZelClient::CertificateCheckAlways,
                                                                  zelkit::ZelClient::CertificateCheckNone};
      while (!stop)
        for (const auto mode : modes) zelkit::ZelClient::setCertificateCheckingMode(mode, raw, approveAtOnce, &client);
    });
  }
  for (int round = 0; round < 5; ++round) {
    zelkit::ZelInputStream reply;
    client.sendRequest(5000, kEcho, reply);
    EXPECT_NO_THROW(reply.wait());
    client.disconnect();
  }
  stop = true;
  for (std::thread& switcher : switchers) switcher.join();
}

// HTTP inside TLS: the head and the body reach the parser through the TLS
// layer, the status goes out as a record, and the handler reads and writes
// the connection through TLS.
TEST(HttpsPost, HandlerReadsAndWritesThroughTls) {
  ZELKIT_REQUIRE_TOOL("python3");
  HttpPostServer server;
  const uint16_t port = zeltest::freeLoopbackPort();
  server.bindHttpPort(port, true, onPost);
  server.start(0);
  BackgroundProcess client({"python3", zeltest::tlsPeerScript(), "post", "--port", std::to_string(port), "--body",
                            "hello body", "--extra", "extra!"});
  ASSERT_EQ(client.waitForExit(20s), 0) << client.output();
  EXPECT_NE(client.output().find("RECEIVED b'200 OK[hello body|extra!]'"), std::string::npos) << client.output();
  Exchange& recorded = exchange();
  std::lock_guard<std::mutex> guard(recorded.mutex);
  EXPECT_EQ(recorded.body, "hello body");
  EXPECT_EQ(recorded.readAfter, "extra!");
  EXPECT_EQ(recorded.sent, 19);
}

// A plain HTTP request for a media tunnel on the TLS port turns the
// connection into a plain HTTP one instead of failing the handshake.
TEST_F(HttpsPort, PlainMediaTunnelRequestFallsBackToHttp) {
  const auto logs = zeltest::temporaryDirectory("https-media");
  zelkit::detail::core().setLoggingDirectory(logs.c_str());
  startServer();
  zeltest::RawClient client(httpsPort);
  ASSERT_TRUE(client.write("GET /media_tunnel/stream1 HTTP/1.0\r\nHost: 127.0.0.1\r\nX-Pad: 0123456789\r\n\r\n"));
  // Until media sessions exist the attach fails and the request goes on as
  // an ordinary one, for which no handler is bound: the connection ends.
  EXPECT_TRUE(client.readToEnd(5s));
  EXPECT_TRUE(waitUntil([&] { return !zeltest::logLines(logs, "mdia").empty(); }));
  EXPECT_EQ(zeltest::logLines(logs, "mdia"), std::vector<std::string>{"setMediaTunnel failed -3"});
  for (const std::string& line : zeltest::logLines(logs, "fin ")) EXPECT_EQ(line.find("SSL error"), std::string::npos);
}

}  // namespace
