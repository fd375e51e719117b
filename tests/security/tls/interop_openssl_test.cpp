#include <gtest/gtest.h>

#include <netinet/in.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "security/key_fixtures.h"
#include "security/tls/interop_support.h"
#include "security/tls/server_files.h"
#include "support/tls_socket_link.h"
#include "security/tls/ssl_session_cache.h"
#include "support/background_process.h"

namespace zelkit::detail {
namespace {

using namespace std::chrono_literals;
using test::ServerFiles;
using test::SocketEnd;
using zeltest::BackgroundProcess;

const std::string kOpensslCipher = "AES128-SHA:@SECLEVEL=0";

TEST(TlsOpenssl, ClientFullThenResumedAgainstSServer) {
  ZELKIT_REQUIRE_TOOL("openssl");
  const ServerFiles files(2048);
  const std::string keylog = files.directory + "/keys.log";
  BackgroundProcess server({"openssl", "s_server", "-accept", "127.0.0.1:0", "-tls1", "-cipher", kOpensslCipher,
                            "-key", files.keyPem, "-cert", files.certPem, "-www", "-keylogfile", keylog});
  const uint16_t port = test::acceptPort(server);
  ASSERT_NE(port, 0) << server.output();
  const uint64_t peerKey = test::loopbackPeerKey(port);

  for (const char* expected : {"New, ", "Reused, "}) {
    SCOPED_TRACE(expected);
    SocketEnd end(test::connectLoopback(port));
    ASSERT_EQ(test::clientHandshake(end, peerKey), 0);
    ASSERT_TRUE(test::writeAll(end, "GET / HTTP/1.0\r\n\r\n"));
    const std::string page = test::readUntilClosed(end);
    EXPECT_NE(page.find(expected), std::string::npos) << page;
    EXPECT_NE(page.find("Cipher is AES128-SHA"), std::string::npos);
    EXPECT_NE(page.find("</HTML>"), std::string::npos) << "page not read whole";
    EXPECT_EQ(test::keylogMasterSecret(keylog, end.ctx->clientRandom), test::masterSecretHex(end.ctx));
  }
}

// s_client needs the renegotiation_info answer to connect without a
// legacy switch; -reconnect then resumes the session five times.
TEST(TlsOpenssl, ServerNewThenReusedForSClient) {
  ZELKIT_REQUIRE_TOOL("openssl");
  const ServerFiles files(2048);
  files.configure();
  const std::string keylog = files.directory + "/keys.log";
  test::LoopbackListener listener;
  test::ServedConnections served(listener, 6, "");

  BackgroundProcess client({"openssl", "s_client", "-connect", "127.0.0.1:" + std::to_string(listener.port()),
                            "-tls1", "-cipher", kOpensslCipher, "-reconnect", "-keylogfile", keylog});
  client.closeInput();
  ASSERT_TRUE(client.waitForExit(30s).has_value());
  const std::vector<test::ServedConnection> connections = served.finish();
  const std::string& output = client.output();
  EXPECT_EQ(test::countOf(output, "New, "), 1u) << output;
  EXPECT_EQ(test::countOf(output, "Reused, "), 5u) << output;
  EXPECT_NE(output.find("Protocol  : TLSv1\n"), std::string::npos);
  ASSERT_EQ(connections.size(), 6u);
  for (const test::ServedConnection& connection : connections) {
    EXPECT_EQ(connection.handshake, 1);
    EXPECT_EQ(test::keylogMasterSecret(keylog, connection.clientRandom.data()), connection.masterSecret);
  }
  EXPECT_EQ(connections[0].resumed, false);
  EXPECT_EQ(connections[5].resumed, true);
}

}  // namespace
}  // namespace zelkit::detail
