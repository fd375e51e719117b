#pragma once

#include <cstdint>

#include "security/tls/ssl_context.h"
#include "security/tls/ssl_reader.h"

// The two process-wide session caches of the engine: the server's, searched
// by session id, and the client's, searched by the peer key the owner
// passes to sslConnect. Fixed arrays of SESSION_CACHE_SIZE entries with a
// ring index; once full, entries are overwritten in ring order.
namespace zelkit::detail {

constexpr int SESSION_CACHE_SIZE = 30;

struct SessionCacheEntry {
  uint8_t sessionId[32];
  uint32_t cipherSuite;
  uint8_t masterSecret[48];
  // The context that stored the entry, null for a free slot; only compared
  // with null, never followed (the context may be gone).
  const SslContext* owner;
  uint64_t peerKey;  // client cache only
  // Client cache only: owned copy of the server's leaf certificate, so a
  // resumed connection knows the certificate it trusts.
  uint8_t* certificate;
  uint32_t certificateLength;
};

// A non-zero key for the client cache from the server's address family,
// address bytes (4 for IPv4, 16 for IPv6) and port.
uint64_t sslPeerKey(uint16_t family, const uint8_t* address, uint32_t addressLength, uint16_t port);

// Server cache. The find functions need the caller to hold sslProcessLock;
// the entry stays valid only while it is held.
void sslStoreServerSession(SslContext* ctx);
const SessionCacheEntry* sslFindServerSession(const uint8_t sessionId[32]);
void sslDropServerSession(SslContext* ctx);

// Client cache. A session is stored only with the server's certificate.
void sslStoreClientSession(SslContext* ctx);
const SessionCacheEntry* sslFindClientSession(uint64_t peerKey);
void sslDropClientSession(SslContext* ctx);

// A ClientHello offers sessionId with its list of 16-bit suite ids: when
// the server cache holds the session and the list offers its suite, the
// suite and master secret go into the context, the key block is made and
// the resume flag set. True when resuming.
bool sslResumeServerSession(SslContext* ctx, const uint8_t sessionId[32], SslReader offeredSuites);
// Before the ClientHello: the session cached under the peer key, with its
// certificate, goes into the context to be offered. True when one is
// offered.
bool sslResumeClientSession(SslContext* ctx, uint64_t peerKey);

}  // namespace zelkit::detail
