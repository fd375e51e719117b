#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <memory>

#include "security/cert_cache/certificate_cache.h"
#include "security/key_fixtures.h"
#include "security/tls_connection/certificate_checking.h"
#include "security/tls_connection/tls_device_util.h"
#include "support/log_lines.h"
#include "support/tls_socket_link.h"
#include "zelkit/client.h"

namespace zelkit::detail {
namespace {

using tlstest::QuietServer;
using test::SocketEnd;

// A TLS context that completed a handshake with the server and keeps its
// certificate; the connection itself is gone.
std::unique_ptr<SocketEnd> handshakeWith(uint16_t port) {
  auto end = std::make_unique<SocketEnd>(test::connectLoopback(port));
  if (test::clientHandshake(*end, 0) != 0) return nullptr;
  ::close(end->socket);
  end->socket = -1;
  return end;
}

// The check left for the firmware upload and media over TLS, which make
// TLS connections of their own beside a client's.
TEST(ServerCertificateCheck, FollowsTheCheckingMode) {
  ZELKIT_REQUIRE_TOOL("openssl");
  ASSERT_EQ(::setenv("XDG_DATA_HOME", zeltest::temporaryDirectory("cert-data").c_str(), 1), 0);
  const zeltest::TlsCredentials credentialsA("a.test");
  const zeltest::TlsCredentials credentialsB("b.test");
  QuietServer serverA(credentialsA);
  QuietServer serverB(credentialsB);
  const auto firstA = handshakeWith(serverA.port());
  const auto secondA = handshakeWith(serverA.port());
  const auto fromB = handshakeWith(serverB.port());
  ASSERT_TRUE(firstA && secondA && fromB);
  const char* host = "127.0.0.1";

  ZelClient::setCertificateCheckingMode(ZelClient::CertificateCheckNone, false, nullptr, nullptr);
  EXPECT_TRUE(checkServerCertificate(fromB->ctx, host, serverA.port(), nullptr));

  // Mode 1: the cache must hold this certificate for this host and port.
  ZelClient::setCertificateCheckingMode(ZelClient::CertificateCheckCached, false, nullptr, nullptr);
  uint8_t digest[CERTIFICATE_DIGEST_SIZE];
  certificateDigest(firstA->ctx, digest);
  certificateChecking().cache->store(host, serverA.port(), "md5", digest);
  EXPECT_TRUE(checkServerCertificate(secondA->ctx, host, serverA.port(), nullptr));
  EXPECT_FALSE(checkServerCertificate(fromB->ctx, host, serverA.port(), nullptr));
  EXPECT_FALSE(checkServerCertificate(secondA->ctx, host, serverB.port(), nullptr));
  EXPECT_FALSE(checkServerCertificate(secondA->ctx, "localhost", serverA.port(), nullptr));

  // Mode 2: it must be the certificate approved on the client's connection.
  ZelClient::setCertificateCheckingMode(ZelClient::CertificateCheckAlways, false, nullptr, nullptr);
  EXPECT_FALSE(checkServerCertificate(secondA->ctx, host, serverA.port(), firstA->ctx));  // not approved yet
  firstA->ctx->certificateApproved = 1;
  EXPECT_TRUE(checkServerCertificate(secondA->ctx, host, serverA.port(), firstA->ctx));
  EXPECT_FALSE(checkServerCertificate(fromB->ctx, host, serverB.port(), firstA->ctx));
  EXPECT_FALSE(checkServerCertificate(secondA->ctx, host, serverA.port(), nullptr));
}

}  // namespace
}  // namespace zelkit::detail
