#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "security/key_fixtures.h"
#include "security/tls/interop_support.h"
#include "security/tls/server_files.h"
#include "support/tls_socket_link.h"
#include "support/background_process.h"

namespace zelkit::detail {
namespace {

using namespace std::chrono_literals;
using test::ServerFiles;
using test::SocketEnd;
using zeltest::BackgroundProcess;

const std::string kPriority = "NONE:+VERS-TLS1.0:+RSA:+AES-128-CBC:+SHA1:+COMP-NULL:+SIGN-ALL:%COMPAT";

TEST(TlsGnutls, ServerFullThenResumedForGnutlsCli) {
  ZELKIT_REQUIRE_TOOL("gnutls-cli");
  const ServerFiles files(2048);
  files.configure();
  const std::string keylog = files.directory + "/keys.log";
  test::LoopbackListener listener;
  test::ServedConnections served(listener, 2, "hello from zelkit\n");

  BackgroundProcess client({"gnutls-cli", "--insecure", "--priority", kPriority, "-p",
                            std::to_string(listener.port()), "-r", "127.0.0.1"},
                           {"SSLKEYLOGFILE=" + keylog});
  client.writeInput("hello from gnutls\n");
  client.closeInput();
  ASSERT_TRUE(client.waitForExit(30s).has_value());
  const std::vector<test::ServedConnection> connections = served.finish();
  EXPECT_NE(client.output().find("*** This is a resumed session"), std::string::npos) << client.output();
  EXPECT_NE(client.output().find("hello from zelkit"), std::string::npos);
  ASSERT_EQ(connections.size(), 2u);
  EXPECT_EQ(connections[0].handshake, 1);
  EXPECT_EQ(connections[1].handshake, 1);
  EXPECT_FALSE(connections[0].resumed);
  EXPECT_TRUE(connections[1].resumed);
  // GnuTLS logs the secret when it is made, not when a session resumes.
  EXPECT_EQ(test::keylogMasterSecret(keylog, connections[0].clientRandom.data()), connections[0].masterSecret);
  EXPECT_EQ(connections[1].masterSecret, connections[0].masterSecret);
  EXPECT_NE(connections[1].received.find("hello from gnutls"), std::string::npos);
}

// gnutls-serv binds every address and cannot pick its own port: a free
// one is chosen first, and only 127.0.0.1 is ever connected to.
TEST(TlsGnutls, ClientFullThenResumedAgainstGnutlsServ) {
  ZELKIT_REQUIRE_TOOL("gnutls-serv");
  const ServerFiles files(2048);
  const std::string keylog = files.directory + "/keys.log";
  const uint16_t port = test::freeLoopbackPort();
  BackgroundProcess server({"gnutls-serv", "-p", std::to_string(port), "--echo", "-a", "--priority", kPriority,
                            "--x509keyfile", files.keyPem, "--x509certfile", files.certPem},
                           {"SSLKEYLOGFILE=" + keylog});
  ASSERT_TRUE(server.waitForLine("Echo Server listening on IPv4", 10s)) << server.output();
  const uint64_t peerKey = test::loopbackPeerKey(port);

  std::string firstMasterSecret;
  for (uint32_t round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    SocketEnd end(test::connectLoopback(port));
    ASSERT_EQ(test::clientHandshake(end, peerKey), 0);
    EXPECT_EQ(end.ctx->resume, round);
    const std::string line = "ping " + std::to_string(round) + "\n";
    ASSERT_TRUE(test::writeAll(end, line));
    std::string echoed;
    char buffer[256];
    while (echoed.size() < line.size()) {
      const int got = sslRead(end.ctx, buffer, sizeof buffer, 0);
      ASSERT_GE(got, 0);
      echoed.append(buffer, static_cast<size_t>(got));
    }
    EXPECT_EQ(echoed, line);
    // GnuTLS logs the secret when it is made, not when a session resumes.
    if (round == 0) {
      firstMasterSecret = test::masterSecretHex(end.ctx);
      EXPECT_EQ(test::keylogMasterSecret(keylog, end.ctx->clientRandom), firstMasterSecret);
    } else {
      EXPECT_EQ(test::masterSecretHex(end.ctx), firstMasterSecret);
    }
  }
}

}  // namespace
}  // namespace zelkit::detail
