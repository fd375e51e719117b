#include "security/tls/ssl_session_cache.h"

#include <gtest/gtest.h>
#include <netinet/in.h>

#include <mutex>
#include <set>
#include <vector>

#include "support/tls_memory_link.h"
#include "security/tls/ssl_process_lock.h"
#include "security/tls/ssl_record.h"

namespace zelkit::detail {
namespace {

using test::Bytes;
using test::MemoryPair;

constexpr uint64_t kPeerKey = 0xC0FFEE;

Bytes sessionIdOf(const SslContext* ctx) { return Bytes(ctx->sessionId, ctx->sessionId + 32); }
Bytes certificateOf(const SslContext* ctx) {
  return Bytes(ctx->peerCertificate.der, ctx->peerCertificate.der + ctx->peerCertificate.derLength);
}

bool serverCacheHolds(const Bytes& id) {
  std::lock_guard<std::mutex> guard(sslProcessLock());
  return sslFindServerSession(id.data()) != nullptr;
}

Bytes clientCacheId(uint64_t key) {
  std::lock_guard<std::mutex> guard(sslProcessLock());
  const SessionCacheEntry* entry = sslFindClientSession(key);
  return entry == nullptr ? Bytes{} : Bytes(entry->sessionId, entry->sessionId + 32);
}

TEST(TlsSessionCache, TheThirtyFirstSessionReplacesTheOldest) {
  std::vector<Bytes> ids;
  for (int i = 0; i < SESSION_CACHE_SIZE + 1; ++i) {
    MemoryPair pair;
    ASSERT_EQ(pair.result, 1);
    ids.push_back(sessionIdOf(pair.server.ctx));
  }
  EXPECT_FALSE(serverCacheHolds(ids[0]));
  for (size_t i = 1; i < ids.size(); ++i) EXPECT_TRUE(serverCacheHolds(ids[i])) << i;
}

TEST(TlsSessionCache, AResumedSessionIsStoredAgain) {
  MemoryPair first(kPeerKey);
  ASSERT_EQ(first.result, 1);
  MemoryPair resumed(kPeerKey);
  ASSERT_EQ(resumed.result, 1);
  ASSERT_EQ(resumed.server.ctx->resume, 1u);
  EXPECT_TRUE(serverCacheHolds(sessionIdOf(first.server.ctx)));
  EXPECT_EQ(clientCacheId(kPeerKey), sessionIdOf(first.server.ctx));
}

// The server no longer knows the offered session: a full handshake under a
// new id, which replaces the client's entry.
TEST(TlsSessionCache, ClientKeepsTheNewSessionWhenTheServerDoesNotResume) {
  MemoryPair first(kPeerKey);
  ASSERT_EQ(first.result, 1);
  const Bytes oldId = sessionIdOf(first.client.ctx);
  ASSERT_EQ(clientCacheId(kPeerKey), oldId);
  sslDropServerSession(first.server.ctx);

  MemoryPair second(kPeerKey);
  ASSERT_EQ(second.result, 1);
  EXPECT_EQ(second.client.ctx->resume, 0u);
  EXPECT_NE(sessionIdOf(second.client.ctx), oldId);
  EXPECT_EQ(clientCacheId(kPeerKey), sessionIdOf(second.client.ctx));
}

TEST(TlsSessionCache, FatalAlertForgetsTheSession) {
  MemoryPair first(kPeerKey);
  ASSERT_EQ(first.result, 1);
  MemoryPair resumed(kPeerKey);
  ASSERT_EQ(resumed.result, 1);
  ASSERT_EQ(resumed.client.ctx->resume, 1u);
  ASSERT_EQ(sslSendAlert(resumed.server.ctx, 2, 40), 1);
  char buffer[8];
  EXPECT_EQ(sslRead(resumed.client.ctx, buffer, sizeof buffer, 0), SslError::AlertBase - 40);
  EXPECT_EQ(clientCacheId(kPeerKey), Bytes{});

  MemoryPair third(kPeerKey);
  ASSERT_EQ(third.result, 1);
  EXPECT_EQ(third.client.ctx->resume, 0u);
}

// No Certificate comes on resumption: the connection gets the certificate
// the session was made with, so its approval cannot be skipped.
TEST(TlsSessionCache, ResumedConnectionsKnowTheServerCertificate) {
  MemoryPair first(kPeerKey);
  ASSERT_EQ(first.result, 1);
  const Bytes certificate = certificateOf(first.client.ctx);
  ASSERT_FALSE(certificate.empty());

  MemoryPair fresh(kPeerKey);
  ASSERT_EQ(fresh.result, 1);
  ASSERT_EQ(fresh.client.ctx->resume, 1u);
  EXPECT_EQ(certificateOf(fresh.client.ctx), certificate);
  EXPECT_EQ(fresh.client.ctx->certificateChanged, 1);
  EXPECT_EQ(fresh.client.ctx->certificateApproved, 0);

  // A reconnect of an approved context keeps its approval.
  first.client.ctx->certificateApproved = 1;
  ASSERT_EQ(sslReset(first.client.ctx), 0);
  ASSERT_EQ(sslReset(first.server.ctx), 0);
  first.client.incoming.clear();
  first.server.incoming.clear();
  ASSERT_EQ(test::handshake(first.client, first.server, kPeerKey), 1);
  ASSERT_EQ(first.client.ctx->resume, 1u);
  EXPECT_EQ(first.client.ctx->certificateChanged, 0);
  EXPECT_EQ(first.client.ctx->certificateApproved, 1);
}

TEST(TlsSessionCache, PeerKeysTellAddressesAndPortsApart) {
  const uint8_t v4[4] = {192, 168, 0, 10};
  const uint8_t v4Other[4] = {192, 168, 0, 11};
  uint8_t v6[16] = {0x20, 0x01, 0x0d, 0xb8};
  uint8_t v6Other[16] = {0x20, 0x01, 0x0d, 0xb8};
  v6[15] = 1;
  v6Other[15] = 2;
  const uint64_t keys[] = {
      sslPeerKey(AF_INET, v4, 4, 443),       sslPeerKey(AF_INET, v4, 4, 444),     sslPeerKey(AF_INET, v4Other, 4, 443),
      sslPeerKey(AF_INET6, v6, 16, 443),     sslPeerKey(AF_INET6, v6Other, 16, 443),
      sslPeerKey(AF_INET6, v4, 4, 443),  // same bytes, other family
  };
  std::set<uint64_t> distinct;
  for (uint64_t key : keys) {
    EXPECT_NE(key, 0u);
    distinct.insert(key);
  }
  EXPECT_EQ(distinct.size(), std::size(keys));
  EXPECT_EQ(sslPeerKey(AF_INET6, v6, 16, 443), keys[3]);
}

}  // namespace
}  // namespace zelkit::detail
