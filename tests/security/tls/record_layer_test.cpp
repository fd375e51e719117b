#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/tls_memory_link.h"
#include "security/tls/ssl_context.h"
#include "security/tls/ssl_record.h"

namespace zelkit::detail {
namespace {

using test::Bytes;
using test::MemoryEnd;
using test::MemoryPair;

constexpr uint8_t kHandshake = 22;
constexpr uint8_t kApplicationData = 23;

Bytes clientHelloRecord(uint16_t version, const Bytes& tail = {}) {
  return test::tlsRecord(kHandshake, version, test::handshakeMessage(1, test::clientHelloBody({0x002F}, {}, tail)));
}

// A ClientHello record whose body has the given length: zeros after the
// compression methods (an empty extension block and its padding).
Bytes clientHelloRecordOfLength(size_t bodyLength) {
  constexpr size_t kPlainHello = 45;
  return clientHelloRecord(0x0301, Bytes(bodyLength - kPlainHello, 0));
}

// An SSLv2-framed ClientHello with a 2-byte header.
Bytes sslV2Hello(uint16_t version) {
  // Type, version, the lengths of the cipher list, session id and challenge, one cipher, the challenge.
  Bytes record = {0x80, 9 + 3 + 16, 1, static_cast<uint8_t>(version >> 8), static_cast<uint8_t>(version),
                  0, 3, 0, 0, 0, 16, 0x00, 0x00, 0x2F};
  record.resize(record.size() + 16, 0x33);
  return record;
}

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// What a server makes of the first bytes a client sends.
TEST(TlsRecordLayer, FirstRecordOfAServer) {
  struct Case {
    const char* what;
    Bytes bytes;
    int result;
    SslState state;
  };
  const Case cases[] = {
      {"TLS 1.0 hello", clientHelloRecord(0x0301), 0, SslState::ServerHelloSent},
      {"record version 3.3 read as 3.1", clientHelloRecord(0x0303), 0, SslState::ServerHelloSent},
      {"record length ending in 03 is TLS", clientHelloRecordOfLength(0x0103), 0, SslState::ServerHelloSent},
      {"SSLv2 hello for 3.1", sslV2Hello(0x0301), 0, SslState::ServerHelloSent},
      {"SSLv2 hello for 3.0", sslV2Hello(0x0300), SslError::Protocol, SslState::ServerWaitClientHello},
      {"SSLv2 hello for 2.0", sslV2Hello(0x0200), SslError::Protocol, SslState::ServerWaitClientHello},
      {"record version 3.0", clientHelloRecord(0x0300), SslError::Protocol, SslState::ServerWaitClientHello},
      {"media tunnel request", text("GET /media_tunnel HTTP/1.0\r\n\r\n"), SslError::MediaTunnelRequest,
       SslState::ServerWaitClientHello},
      {"media tunnel request, 16 bytes so far", text("GET /media_tunne"), SslError::Protocol,
       SslState::ServerWaitClientHello},
      {"other HTTP request", text("GET /zel_tunnel HTTP/1.0\r\n\r\n"), SslError::Protocol,
       SslState::ServerWaitClientHello},
      {"body of 16639 bytes", clientHelloRecordOfLength(16639), 0, SslState::ServerHelloSent},
      {"body of 16640 bytes", clientHelloRecordOfLength(16640), SslError::RecordFormat,
       SslState::ServerWaitClientHello},
      {"empty record", [] {
         Bytes bytes = test::tlsRecord(kHandshake, 0x0301, {});
         const Bytes hello = clientHelloRecord(0x0301);
         bytes.insert(bytes.end(), hello.begin(), hello.end());
         return bytes;
       }(),
       SslError::RecordFormat, SslState::ServerWaitClientHello},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MemoryEnd server;
    server.feed(c.bytes);
    int result = 0;
    while (result == 0 && !server.incoming.empty()) result = sslHandshakeStep(server.ctx);
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(server.ctx->state, c.state);
  }
}

TEST(TlsRecordLayer, VersionChangeAfterTheFirstRecord) {
  MemoryPair pair;
  ASSERT_EQ(pair.result, 1);
  pair.server.feed(test::tlsRecord(kApplicationData, 0x0302, Bytes(32, 0)));
  char buffer[16];
  EXPECT_EQ(sslRead(pair.server.ctx, buffer, sizeof buffer, 0), SslError::RecordFormat);
}

TEST(TlsRecordLayer, CloseNotifyIsAnsweredAndEndsBothSides) {
  MemoryPair pair;
  ASSERT_EQ(pair.result, 1);
  ASSERT_EQ(sslSendAlert(pair.client.ctx, 1, 0), 1);
  char buffer[16];
  EXPECT_EQ(sslRead(pair.server.ctx, buffer, sizeof buffer, 0), SslError::AlertBase);
  EXPECT_EQ(pair.server.ctx->state, SslState::Closed);
  EXPECT_EQ(sslWrite(pair.server.ctx, "x", 1, 0), SslError::AlertBase);
  // The answer is a warning close_notify too.
  EXPECT_EQ(sslRead(pair.client.ctx, buffer, sizeof buffer, 0), SslError::AlertBase);
}

TEST(TlsRecordLayer, LargeWriteIsCutIntoRecordsOf16384Bytes) {
  MemoryPair pair;
  ASSERT_EQ(pair.result, 1);
  Bytes data(2 * 16384 + 777);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
  const size_t before = pair.client.sent.size();
  ASSERT_EQ(sslWrite(pair.client.ctx, reinterpret_cast<const char*>(data.data()), static_cast<int>(data.size()), 0),
            static_cast<int>(data.size()));
  const auto records = test::splitRecords(Bytes(pair.client.sent.begin() + static_cast<long>(before),
                                                pair.client.sent.end()));
  ASSERT_EQ(records.size(), 3u);
  std::vector<char> buffer(40000);
  Bytes received;
  for (int expected : {16384, 16384, 777}) {
    const int got = sslRead(pair.server.ctx, buffer.data(), static_cast<int>(buffer.size()), 0);
    ASSERT_EQ(got, expected) << "one record per read";
    received.insert(received.end(), buffer.begin(), buffer.begin() + got);
  }
  EXPECT_EQ(received, data);
}

// Transports that move one byte per call in both directions.
TEST(TlsRecordLayer, OneByteTransport) {
  MemoryEnd client;
  MemoryEnd server;
  test::join(client, server);
  client.readLimit = client.writeLimit = server.readLimit = server.writeLimit = 1;
  int clientResult = sslConnect(client.ctx, 0, 0);
  int serverResult = 0;
  for (int i = 0; i < 100000 && clientResult >= 0 && serverResult >= 0 && (clientResult != 1 || serverResult != 1);
       ++i) {
    serverResult = sslHandshakeStep(server.ctx);
    clientResult = sslHandshakeStep(client.ctx);
    // Output the transport did not take is offered again by a write.
    if (clientResult == 1) sslWrite(client.ctx, nullptr, 0, 0);
    if (serverResult == 1) sslWrite(server.ctx, nullptr, 0, 0);
  }
  ASSERT_EQ(clientResult, 1);
  ASSERT_EQ(serverResult, 1);

  const std::string message = "one byte at a time";
  size_t written = 0;
  std::string received;
  char buffer[64];
  for (int i = 0; i < 100000 && received.size() < message.size(); ++i) {
    if (written < message.size()) {
      const int n = sslWrite(client.ctx, message.data() + written, static_cast<int>(message.size() - written), 0);
      ASSERT_GE(n, 0);
      written += static_cast<size_t>(n);
    } else {
      ASSERT_GE(sslWrite(client.ctx, nullptr, 0, 0), 0);
    }
    const int got = sslRead(server.ctx, buffer, sizeof buffer, 0);
    ASSERT_GE(got, 0);
    received.append(buffer, static_cast<size_t>(got));
  }
  EXPECT_EQ(received, message);
}

// Bytes a read has copied are returned even when the next record is
// broken, and the broken record is not even asked for in that call.
TEST(TlsRecordLayer, DeliveredBytesAreNeverLost) {
  MemoryPair pair;
  ASSERT_EQ(pair.result, 1);
  ASSERT_EQ(sslWrite(pair.client.ctx, "abc", 3, 0), 3);
  const Bytes broken = test::tlsRecord(kApplicationData, 0x0301, Bytes(32, 0x55));
  pair.server.feed(broken);
  char buffer[64];
  EXPECT_EQ(sslRead(pair.server.ctx, buffer, sizeof buffer, 0), 3);
  EXPECT_EQ(std::string(buffer, 3), "abc");
  EXPECT_EQ(pair.server.incoming.size(), broken.size());
  EXPECT_EQ(sslRead(pair.server.ctx, buffer, sizeof buffer, 0), SslError::Protocol);
}

TEST(TlsRecordLayer, PeekLeavesThePlaintextAndNeverReachesTheTransport) {
  MemoryPair pair;
  ASSERT_EQ(pair.result, 1);
  ASSERT_EQ(sslWrite(pair.client.ctx, "peek", 4, 0), 4);
  pair.server.readFlags.clear();
  constexpr int kOtherFlag = 0x40;
  char buffer[16];
  EXPECT_EQ(sslRead(pair.server.ctx, buffer, sizeof buffer, SslReadPeek | kOtherFlag), 4);
  EXPECT_EQ(sslPending(pair.server.ctx), 4);
  EXPECT_EQ(sslRead(pair.server.ctx, buffer, 2, 0), 2);
  EXPECT_EQ(sslPending(pair.server.ctx), 2);
  EXPECT_EQ(sslRead(pair.server.ctx, buffer, sizeof buffer, 0), 2);
  EXPECT_EQ(std::string(buffer, 2), "ek");
  ASSERT_FALSE(pair.server.readFlags.empty());
  for (int flags : pair.server.readFlags) EXPECT_EQ(flags, kOtherFlag);
}

TEST(TlsRecordLayer, ConnectWithoutTimeoutAndTwice) {
  MemoryEnd client;
  EXPECT_EQ(sslConnect(client.ctx, 0, 0), 0);
  const auto records = test::splitRecords(client.sent);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].type, kHandshake);
  EXPECT_EQ(client.ctx->state, SslState::ClientHelloSent);
  EXPECT_EQ(sslConnect(client.ctx, 0, 0), SslError::General);

  MemoryEnd silent;
  EXPECT_EQ(sslConnect(silent.ctx, 0, 2000), SslError::Timeout);
}

TEST(TlsRecordLayer, TransportFailureSticks) {
  MemoryPair pair;
  ASSERT_EQ(pair.result, 1);
  pair.client.writeFailure = -7;
  EXPECT_EQ(sslWrite(pair.client.ctx, "x", 1, 0), -7);
  char buffer[4];
  EXPECT_EQ(sslRead(pair.client.ctx, buffer, sizeof buffer, 0), -7);
  EXPECT_EQ(sslReset(pair.client.ctx), 0);
  EXPECT_EQ(pair.client.ctx->stickyError, 0);
}

TEST(TlsRecordLayer, ResetKeepsThePeerCertificateAndItsApproval) {
  MemoryPair pair;
  ASSERT_EQ(pair.result, 1);
  SslContext* ctx = pair.client.ctx;
  ASSERT_NE(ctx->peerCertificate.der, nullptr);
  EXPECT_EQ(ctx->certificateChanged, 1);
  ctx->certificateApproved = 1;
  const Bytes certificate(ctx->peerCertificate.der, ctx->peerCertificate.der + ctx->peerCertificate.derLength);
  ASSERT_EQ(sslReset(ctx), 0);
  EXPECT_EQ(Bytes(ctx->peerCertificate.der, ctx->peerCertificate.der + ctx->peerCertificate.derLength), certificate);
  EXPECT_EQ(ctx->certificateApproved, 1);
  EXPECT_EQ(ctx->certificateChanged, 0);
  EXPECT_EQ(ctx->role, SslRole::Server);
  EXPECT_EQ(ctx->state, SslState::ServerWaitClientHello);

  // The same certificate again: still approved, not changed.
  pair.client.incoming.clear();
  pair.server.incoming.clear();
  ASSERT_EQ(sslReset(pair.server.ctx), 0);
  ASSERT_EQ(test::handshake(pair.client, pair.server), 1);
  EXPECT_EQ(ctx->certificateApproved, 1);
  EXPECT_EQ(ctx->certificateChanged, 0);
}

TEST(TlsRecordLayer, BadContexts) {
  char buffer[4];
  SslContext stale{};
  EXPECT_EQ(sslRead(&stale, buffer, sizeof buffer, 0), SslError::General);
  EXPECT_EQ(sslWrite(&stale, buffer, sizeof buffer, 0), SslError::General);
  EXPECT_EQ(sslReset(&stale), SslError::General);
  EXPECT_EQ(sslConnect(nullptr, 0, 0), SslError::General);
  EXPECT_EQ(sslCreate(nullptr, nullptr, nullptr), nullptr);
  sslFree(nullptr);
}

}  // namespace
}  // namespace zelkit::detail
