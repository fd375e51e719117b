#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "security/key_fixtures.h"
#include "security/tls/server_files.h"
#include "support/tls_memory_link.h"
#include "security/tls/ssl_cipher_suites.h"
#include "security/tls/ssl_context.h"
#include "security/tls/ssl_handshake.h"
#include "security/tls/ssl_key_derivation.h"
#include "security/tls/ssl_record.h"
#include "security/tls/ssl_server_credentials.h"

namespace zelkit::detail {
namespace {

using test::Bytes;
using test::MemoryEnd;

constexpr uint8_t kHandshake = 22;
constexpr uint64_t kPeerKey = 0x1234;

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

Bytes u24(size_t value) {
  return {static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
}

// A client that offers exactly these suites (our own hello always offers
// both, AES first).
void startClientOffering(SslContext* ctx, const std::vector<uint16_t>& suites, uint64_t peerKey) {
  ctx->role = SslRole::Client;
  ctx->peerKey = peerKey;
  const Bytes hello = test::handshakeMessage(SslClientHello, test::clientHelloBody(suites));
  std::memcpy(ctx->clientRandom, hello.data() + 6, 32);
  ASSERT_EQ(sslSendHandshakeMessage(ctx, hello.data(), static_cast<uint32_t>(hello.size())), 0);
  ctx->state = SslState::ClientHelloSent;
  sslFlush(ctx);
}

void expectDataFlows(MemoryEnd& from, MemoryEnd& to) {
  ASSERT_EQ(sslWrite(from.ctx, "ping", 4, 0), 4);
  char buffer[8];
  ASSERT_EQ(sslRead(to.ctx, buffer, sizeof buffer, 0), 4);
  EXPECT_EQ(std::string(buffer, 4), "ping");
}

// The first handshake message the server sent.
Bytes serverHello(const MemoryEnd& server) {
  const uint8_t* message = server.sent.data() + 5;
  return Bytes(message, message + 4 + (message[2] << 8 | message[3]));
}

class TlsSuites : public ::testing::TestWithParam<uint32_t> {};

TEST_P(TlsSuites, NewSessionThenResumed) {
  const uint32_t suite = GetParam();
  std::string masterSecret;
  {
    MemoryEnd client;
    MemoryEnd server;
    test::join(client, server);
    startClientOffering(client.ctx, {static_cast<uint16_t>(suite)}, kPeerKey);
    ASSERT_EQ(test::driveHandshake(client, server), 1);
    EXPECT_EQ(client.ctx->cipherSuite, suite);
    EXPECT_EQ(server.ctx->resume, 0u);
    expectDataFlows(client, server);
    expectDataFlows(server, client);
    masterSecret.assign(client.ctx->masterSecret, client.ctx->masterSecret + 48);
  }
  MemoryEnd client;
  MemoryEnd server;
  test::join(client, server);
  ASSERT_EQ(test::handshake(client, server, kPeerKey), 1);
  EXPECT_EQ(client.ctx->resume, 1u);
  EXPECT_EQ(server.ctx->resume, 1u);
  EXPECT_EQ(server.ctx->cipherSuite, suite);
  EXPECT_EQ(std::string(server.ctx->masterSecret, server.ctx->masterSecret + 48), masterSecret);
  expectDataFlows(client, server);
  expectDataFlows(server, client);
}

INSTANTIATE_TEST_SUITE_P(Both, TlsSuites, ::testing::Values(kSuiteAes128CbcSha, kSuiteDesCbcSha));

TEST(TlsHandshake, ServerTakesTheClientsFirstKnownSuite) {
  MemoryEnd server;
  server.feed(test::tlsRecord(kHandshake, 0x0301,
                              test::handshakeMessage(SslClientHello, test::clientHelloBody({0x0035, 0x0009, 0x002F}))));
  ASSERT_EQ(sslHandshakeStep(server.ctx), 0);
  const Bytes hello = serverHello(server);
  EXPECT_EQ(hello[4 + 2 + 32 + 1 + 32], 0x00);
  EXPECT_EQ(hello[4 + 2 + 32 + 1 + 32 + 1], 0x09);
}

// An empty renegotiation_info answers a client that signals secure
// renegotiation, by suite or by extension.
TEST(TlsHandshake, RenegotiationInfoAnswer) {
  const Bytes extension = {0x00, 0x05, 0xFF, 0x01, 0x00, 0x01, 0x00};
  const Bytes otherExtension = {0x00, 0x04, 0x00, 0x0B, 0x00, 0x00};
  const Bytes sslV2WithSignal = {0x80, 9 + 6 + 16, 1, 3, 1, 0, 6, 0, 0, 0, 16, 0x00, 0x00, 0x2F, 0x00, 0x00, 0xFF,
                                 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  struct Case {
    const char* what;
    Bytes record;
    bool answered;
  };
  auto hello = [](const std::vector<uint16_t>& suites, const Bytes& tail) {
    return test::tlsRecord(kHandshake, 0x0301,
                           test::handshakeMessage(SslClientHello, test::clientHelloBody(suites, {}, tail)));
  };
  const Case cases[] = {
      {"no signal", hello({0x002F}, {}), false},
      {"another extension", hello({0x002F}, otherExtension), false},
      {"signalling suite", hello({0x002F, 0x00FF}, {}), true},
      {"extension", hello({0x002F}, extension), true},
      {"SSLv2 hello with the signalling suite", sslV2WithSignal, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MemoryEnd server;
    server.feed(c.record);
    ASSERT_EQ(sslHandshakeStep(server.ctx), 0);
    const Bytes sent = serverHello(server);
    ASSERT_EQ(sent.size(), c.answered ? 81u : 74u);
    if (c.answered) {
      EXPECT_EQ(Bytes(sent.end() - 7, sent.end()), extension);
    }
  }
}

TEST(TlsHandshake, MalformedClientHellosFail) {
  auto record = [](const Bytes& message) { return test::tlsRecord(kHandshake, 0x0301, message); };
  auto hello = [](const Bytes& body) { return test::handshakeMessage(SslClientHello, body); };
  const Bytes plain = test::clientHelloBody({0x002F});
  Bytes longId = test::clientHelloBody({0x002F}, Bytes(33, 1));
  Bytes suitesPastEnd = plain;
  suitesPastEnd[35 + 1] = 40;  // suite list length
  Bytes oddSuites = plain;
  oddSuites[35 + 1] = 3;
  Bytes messageLongerThanRecord = hello(plain);
  messageLongerThanRecord[3] += 1;
  const Bytes truncated(plain.begin(), plain.begin() + 30);
  auto sslV2 = [](uint8_t specLength, uint8_t challengeLength, size_t challengeBytes) {
    Bytes record = {0x80, 0, 1, 3, 1, 0, specLength, 0, 0, 0, challengeLength};
    for (int i = 0; i < specLength; ++i) record.push_back(i % 3 == 2 ? 0x2F : 0);
    record.resize(record.size() + challengeBytes, 0x33);
    record[1] = static_cast<uint8_t>(record.size() - 2);
    return record;
  };
  struct Case {
    const char* what;
    Bytes record;
  };
  const Case cases[] = {
      {"session id of 33 bytes", record(hello(longId))},
      {"suite list past the message", record(hello(suitesPastEnd))},
      {"odd suite list", record(hello(oddSuites))},
      {"message longer than its record", record(messageLongerThanRecord)},
      {"truncated hello", record(hello(truncated))},
      {"SSLv2 challenge past the body", sslV2(3, 16, 15)},
      {"SSLv2 challenge of 15 bytes", sslV2(3, 15, 15)},
      {"SSLv2 challenge of 33 bytes", sslV2(3, 33, 33)},
      {"SSLv2 specs not in threes", sslV2(4, 16, 16)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MemoryEnd server;
    server.feed(c.record);
    EXPECT_EQ(sslHandshakeStep(server.ctx), SslError::General);
    EXPECT_TRUE(server.sent.empty());
  }
}

// A hello that offers no suite of ours is answered with a fatal
// handshake_failure alert, in either framing.
TEST(TlsHandshake, NoSharedSuiteGetsAHandshakeFailureAlert) {
  const Bytes alert = {21, 3, 1, 0, 2, 2, 40};
  Bytes sslV2 = {0x80, 0, 1, 3, 1, 0, 3, 0, 0, 0, 16, 0x00, 0x00, 0x35};
  sslV2.resize(sslV2.size() + 16, 0x33);
  sslV2[1] = static_cast<uint8_t>(sslV2.size() - 2);
  struct Case {
    const char* what;
    Bytes record;
  };
  const Case cases[] = {
      {"TLS hello", test::tlsRecord(kHandshake, 0x0301,
                                    test::handshakeMessage(SslClientHello, test::clientHelloBody({0x0035, 0x000A})))},
      {"TLS hello without suites", test::tlsRecord(kHandshake, 0x0301,
                                                   test::handshakeMessage(SslClientHello, test::clientHelloBody({})))},
      {"SSLv2 hello", sslV2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MemoryEnd server;
    server.feed(c.record);
    EXPECT_EQ(sslHandshakeStep(server.ctx), SslError::General);
    EXPECT_EQ(server.sent, alert);
  }
}

// A session resumes only when the hello offers its suite and the null
// compression; otherwise the hello gets a new session with a suite it
// offers, or fails.
TEST(TlsHandshake, CachedSessionResumesOnlyWithItsSuiteAndNoCompression) {
  test::MemoryPair first;
  ASSERT_EQ(first.result, 1);
  ASSERT_EQ(first.server.ctx->cipherSuite, kSuiteAes128CbcSha);
  const Bytes id(first.server.ctx->sessionId, first.server.ctx->sessionId + 32);
  Bytes brokenSuites = test::clientHelloBody({0x002F}, id);
  brokenSuites[2 + 32 + 1 + 32 + 1] = 99;  // suite list length past the message
  Bytes deflateOnly = test::clientHelloBody({0x002F}, id);
  deflateOnly.back() = 1;
  Bytes deflateThenNull = test::clientHelloBody({0x002F}, id);
  deflateThenNull.back() = 1;
  deflateThenNull.push_back(0);
  deflateThenNull[deflateThenNull.size() - 3] = 2;  // two methods
  struct Case {
    const char* what;
    Bytes body;
    int result;
    bool resumed;
    uint32_t suite;
  };
  const Case cases[] = {
      {"its suite", test::clientHelloBody({0x0009, 0x002F}, id), 0, true, kSuiteAes128CbcSha},
      {"its suite after deflate", deflateThenNull, 0, true, kSuiteAes128CbcSha},
      {"another suite", test::clientHelloBody({0x0009}, id), 0, false, kSuiteDesCbcSha},
      {"deflate only", deflateOnly, 0, false, kSuiteAes128CbcSha},
      {"no suite of ours", test::clientHelloBody({0x0035}, id), SslError::General, false, 0},
      {"a broken suite list", brokenSuites, SslError::General, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MemoryEnd server;
    server.feed(test::tlsRecord(kHandshake, 0x0301, test::handshakeMessage(SslClientHello, c.body)));
    ASSERT_EQ(sslHandshakeStep(server.ctx), c.result);
    if (c.result != 0) continue;
    EXPECT_EQ(server.ctx->state, c.resumed ? SslState::ServerResumed : SslState::ServerHelloSent);
    EXPECT_EQ(server.ctx->resume, c.resumed ? 1u : 0u);
    const Bytes hello = serverHello(server);
    const Bytes sentId(hello.begin() + 4 + 2 + 32 + 1, hello.begin() + 4 + 2 + 32 + 1 + 32);
    EXPECT_EQ(sentId == id, c.resumed);
    EXPECT_EQ(hello[4 + 2 + 32 + 1 + 32] << 8 | hello[4 + 2 + 32 + 1 + 32 + 1], static_cast<int>(c.suite));
  }
  // The refused offers left the session in the cache.
  MemoryEnd server;
  server.feed(test::tlsRecord(kHandshake, 0x0301, test::handshakeMessage(SslClientHello, test::clientHelloBody({0x002F}, id))));
  ASSERT_EQ(sslHandshakeStep(server.ctx), 0);
  EXPECT_EQ(server.ctx->state, SslState::ServerResumed);
}

Bytes serverHelloBody(size_t idLength, uint16_t suite) {
  Bytes body = {3, 1};
  body.resize(body.size() + 32, 0x77);
  body.push_back(static_cast<uint8_t>(idLength));
  body.resize(body.size() + idLength, 0x11);
  body.insert(body.end(), {static_cast<uint8_t>(suite >> 8), static_cast<uint8_t>(suite), 0});
  return body;
}

TEST(TlsHandshake, MalformedServerHellosFail) {
  Bytes shortHello = serverHelloBody(32, 0x002F);
  shortHello.pop_back();  // no compression method
  Bytes longerThanRecord = test::handshakeMessage(SslServerHello, serverHelloBody(32, 0x002F));
  longerThanRecord[3] += 1;
  struct Case {
    const char* what;
    Bytes message;
  };
  const Case cases[] = {
      {"one byte short", test::handshakeMessage(SslServerHello, shortHello)},
      {"session id of 33 bytes", test::handshakeMessage(SslServerHello, serverHelloBody(33, 0x002F))},
      {"unknown suite", test::handshakeMessage(SslServerHello, serverHelloBody(32, 0x0035))},
      {"message longer than its record", longerThanRecord},
      {"hello request", test::handshakeMessage(0, {})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MemoryEnd client;
    ASSERT_EQ(sslConnect(client.ctx, 0, 0), 0);
    client.feed(test::tlsRecord(kHandshake, 0x0301, c.message));
    EXPECT_EQ(sslHandshakeStep(client.ctx), SslError::General);
  }
}

// A ServerHello with a short session id still works and ends resumption.
TEST(TlsHandshake, ShortServerSessionIdClearsTheStoredOne) {
  MemoryEnd client;
  ASSERT_EQ(sslConnect(client.ctx, 0, 0), 0);
  client.ctx->resume = 1;
  client.feed(test::tlsRecord(kHandshake, 0x0301, test::handshakeMessage(SslServerHello, serverHelloBody(16, 0x002F))));
  EXPECT_EQ(sslHandshakeStep(client.ctx), 0);
  EXPECT_EQ(client.ctx->resume, 0u);
  EXPECT_EQ(client.ctx->state, SslState::ServerHelloRead);
  EXPECT_EQ(Bytes(client.ctx->sessionId, client.ctx->sessionId + 32), Bytes(32, 0));
}

// A ServerHello that echoes the offered session id resumes it, so it must
// keep the session's suite and the null compression; otherwise the client
// fails with an illegal_parameter alert.
TEST(TlsHandshake, ResumingServerHelloKeepsTheSessionsSuiteAndNoCompression) {
  struct Case {
    const char* what;
    uint16_t suite;
    uint8_t compression;
    bool accepted;
  };
  const Case cases[] = {
      {"the session's suite", 0x002F, 0, true},
      {"another suite of ours", 0x0009, 0, false},
      {"deflate compression", 0x002F, 1, false},
  };
  uint64_t peerKey = kPeerKey;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // A fatal alert drops the session, so each case makes its own.
    ++peerKey;
    {
      MemoryEnd client;
      MemoryEnd server;
      test::join(client, server);
      ASSERT_EQ(test::handshake(client, server, peerKey), 1);
      ASSERT_EQ(client.ctx->cipherSuite, kSuiteAes128CbcSha);
    }
    MemoryEnd client;
    ASSERT_EQ(sslConnect(client.ctx, peerKey, 0), 0);
    ASSERT_EQ(client.ctx->resume, 1u);
    Bytes body = serverHelloBody(32, c.suite);
    std::memcpy(body.data() + 2 + 32 + 1, client.ctx->sessionId, 32);
    body.back() = c.compression;
    const size_t offered = client.sent.size();
    client.feed(test::tlsRecord(kHandshake, 0x0301, test::handshakeMessage(SslServerHello, body)));
    if (c.accepted) {
      EXPECT_EQ(sslHandshakeStep(client.ctx), 0);
      EXPECT_EQ(client.ctx->state, SslState::ClientResumed);
      continue;
    }
    EXPECT_EQ(sslHandshakeStep(client.ctx), SslError::General);
    EXPECT_EQ(Bytes(client.sent.begin() + static_cast<std::ptrdiff_t>(offered), client.sent.end()),
              (Bytes{21, 3, 1, 0, 2, 2, 47}));
  }
}

// DER of something that holds an RSA key where a certificate does.
Bytes der(uint8_t tag, const Bytes& content) {
  Bytes out = {tag};
  if (content.size() < 128) {
    out.push_back(static_cast<uint8_t>(content.size()));
  } else {
    out.insert(out.end(), {0x82, static_cast<uint8_t>(content.size() >> 8), static_cast<uint8_t>(content.size())});
  }
  out.insert(out.end(), content.begin(), content.end());
  return out;
}
Bytes keyHolder(const Bytes& keyFields) {
  const Bytes algorithm =
      der(0x30, concat({{0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01}, {0x05, 0x00}}));
  const Bytes key = der(0x03, concat({{0x00}, der(0x30, keyFields)}));
  return der(0x30, concat({der(0x02, {1}), der(0x30, concat({algorithm, key}))}));
}
Bytes integer(size_t bytes, uint8_t first) {
  Bytes value(bytes, 0x5B);
  value[0] = 0;
  value[1] = first;
  return der(0x02, value);
}

Bytes certificateMessage(const std::vector<Bytes>& certificates) {
  Bytes list;
  for (const Bytes& c : certificates) list = concat({list, u24(c.size()), c});
  return test::handshakeMessage(SslCertificate, concat({u24(list.size()), list}));
}

TEST(TlsHandshake, ServerCertificates) {
  MemoryEnd probe;  // loads the built-in credentials
  const KeyRecord& builtin = sslServerCredentials().certificate;
  const Bytes leaf(builtin.der, builtin.der + builtin.derLength);
  Bytes pastEnd = certificateMessage({leaf});
  pastEnd[4 + 3 + 2] += 1;  // the leaf's length
  struct Case {
    const char* what;
    Bytes message;
    int result;
  };
  const Case cases[] = {
      {"five certificates", certificateMessage({leaf, leaf, leaf, leaf, leaf}), 0},
      {"six certificates", certificateMessage({leaf, leaf, leaf, leaf, leaf, leaf}), -1},
      {"empty list", certificateMessage({}), -1},
      {"empty certificate", certificateMessage({Bytes{}}), -1},
      {"length past the message", pastEnd, -1},
      {"key that is not RSA", certificateMessage({test::readFile(test::dataPath("ec.der"))}), -1},
      {"exponent 1", certificateMessage({keyHolder(concat({integer(65, 0xC1), der(0x02, {1})}))}), -1},
      {"exponent 2", certificateMessage({keyHolder(concat({integer(65, 0xC1), der(0x02, {2})}))}), -1},
      {"no exponent", certificateMessage({keyHolder(integer(65, 0xC1))}), -1},
      {"modulus of 4104 bits", certificateMessage({keyHolder(concat({integer(514, 0x80), der(0x02, {1, 0, 1})}))}),
       -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MemoryEnd client;
    ASSERT_EQ(sslConnect(client.ctx, 0, 0), 0);
    client.feed(test::tlsRecord(kHandshake, 0x0301,
                                concat({test::handshakeMessage(SslServerHello, serverHelloBody(32, 0x002F)), c.message,
                                        test::handshakeMessage(SslServerHelloDone, {})})));
    EXPECT_EQ(sslHandshakeStep(client.ctx), c.result);
    if (c.result == 0) {
      EXPECT_EQ(client.ctx->state, SslState::ServerHelloDoneRead);
    }
  }
}

TEST(TlsHandshake, FinishedMustHoldTwelveBytes) {
  test::MemoryPair pair;
  ASSERT_EQ(pair.result, 1);
  uint8_t verify[kVerifyDataLength];
  sslFinishedData(pair.server.ctx, SslFinishedLabel::Client, verify);
  const Bytes good = test::handshakeMessage(SslFinished, Bytes(verify, verify + 12));
  Bytes thirteen = test::handshakeMessage(SslFinished, concat({Bytes(verify, verify + 12), {0}}));
  Bytes changed = good;
  changed[15] ^= 1;
  EXPECT_EQ(sslCheckFinished(pair.server.ctx, good.data(), static_cast<uint32_t>(good.size())), 0);
  EXPECT_EQ(sslCheckFinished(pair.server.ctx, thirteen.data(), static_cast<uint32_t>(thirteen.size())), -1);
  EXPECT_EQ(sslCheckFinished(pair.server.ctx, changed.data(), static_cast<uint32_t>(changed.size())), -1);
  EXPECT_EQ(sslCheckFinished(pair.server.ctx, good.data(), 15), -1);
}

// A ClientKeyExchange that does not decrypt to a 48-byte secret shows only
// at the Finished, so a padding oracle learns nothing; a broken length
// field still fails at once.
TEST(TlsHandshake, BrokenKeyExchangeFailsAtTheFinished) {
  for (const bool framing : {false, true}) {
    SCOPED_TRACE(framing ? "length field" : "cipher text");
    MemoryEnd client;
    MemoryEnd server;
    test::join(client, server);
    ASSERT_EQ(sslConnect(client.ctx, 0, 0), 0);
    ASSERT_EQ(sslHandshakeStep(server.ctx), 0);
    while (client.ctx->state != SslState::ServerHelloDoneRead) ASSERT_EQ(sslHandshakeStep(client.ctx), 0);
    ASSERT_EQ(server.incoming[0], kHandshake);
    ASSERT_EQ(server.incoming[5], SslClientKeyExchange);
    server.incoming[framing ? 10 : 20] ^= 0x40;
    if (framing) {
      EXPECT_EQ(sslHandshakeStep(server.ctx), SslError::General);
      EXPECT_EQ(server.ctx->state, SslState::ServerHelloSent);
      continue;
    }
    EXPECT_EQ(sslHandshakeStep(server.ctx), 0);
    EXPECT_EQ(server.ctx->state, SslState::ServerKeyExchangeRead);
    EXPECT_EQ(sslHandshakeStep(server.ctx), 0);
    EXPECT_EQ(server.ctx->state, SslState::ChangeCipherSpecRead);
    // The keys differ, so the record of the Finished does not even open.
    EXPECT_EQ(sslHandshakeStep(server.ctx), SslError::Protocol);
  }
}

// A configured key that does not belong to the certificate serves
// nothing: the public built-in pair must not stand in for it.
TEST(TlsHandshake, UnusableConfiguredKeysServeNoHandshake) {
  ZELKIT_REQUIRE_TOOL("openssl");
  const test::ServerFiles small(1024);
  const test::ServerFiles large(2048);
  large.configure();
  test::storeServerKeyEntry(zelkit::SslPrivateKey, small.keyDer);
  MemoryEnd client;
  MemoryEnd server;
  test::join(client, server);
  EXPECT_EQ(test::handshake(client, server), SslError::General);
  EXPECT_TRUE(server.sent.empty());
}

TEST(TlsHandshake, ServerSessionIdsCountUp) {
  std::vector<Bytes> ids;
  for (int i = 0; i < 2; ++i) {
    test::MemoryPair pair;
    ASSERT_EQ(pair.result, 1);
    ids.emplace_back(pair.server.ctx->sessionId, pair.server.ctx->sessionId + 32);
  }
  for (const Bytes& id : ids) EXPECT_EQ(std::string(id.begin(), id.begin() + 10), std::string("WMX-SES: \0", 10));
  const auto counter = [](const Bytes& id) { return id[10] | id[11] << 8 | id[12] << 16 | id[13] << 24; };
  EXPECT_EQ(counter(ids[1]), counter(ids[0]) + 1);
  EXPECT_NE(Bytes(ids[0].begin() + 14, ids[0].end()), Bytes(ids[1].begin() + 14, ids[1].end()));
}

}  // namespace
}  // namespace zelkit::detail
