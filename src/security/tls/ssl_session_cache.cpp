#include "security/tls/ssl_session_cache.h"

#include <cstring>
#include <mutex>

#include "security/tls/ssl_key_derivation.h"
#include "security/tls/ssl_process_lock.h"
#include "security/tls/ssl_record.h"

namespace zelkit::detail {

namespace {

struct SessionCache {
  SessionCacheEntry entries[SESSION_CACHE_SIZE];
  int ring;  // the slot of the last insertion
};

SessionCache serverCache = {};
SessionCache clientCache = {};

void freeEntry(SessionCacheEntry& entry) {
  delete[] entry.certificate;
  entry = SessionCacheEntry{};
}

bool sameId(const SessionCacheEntry& entry, const uint8_t sessionId[32]) {
  return entry.owner != nullptr && std::memcmp(entry.sessionId, sessionId, 32) == 0;
}

// The first free slot after the ring index, else the one right after it.
SessionCacheEntry& takeSlot(SessionCache& cache, const SslContext* ctx) {
  int slot = cache.ring;
  do {
    slot = (slot + 1) % SESSION_CACHE_SIZE;
    if (cache.entries[slot].owner == nullptr) break;
  } while (slot != cache.ring);
  if (cache.entries[slot].owner != nullptr) slot = (cache.ring + 1) % SESSION_CACHE_SIZE;
  SessionCacheEntry& entry = cache.entries[slot];
  freeEntry(entry);
  cache.ring = slot;
  entry.owner = ctx;
  std::memcpy(entry.sessionId, ctx->sessionId, sizeof entry.sessionId);
  std::memcpy(entry.masterSecret, ctx->masterSecret, sizeof entry.masterSecret);
  entry.cipherSuite = ctx->cipherSuite;
  return entry;
}

bool offersSuite(SslReader suites, uint32_t suite) {
  while (suites.remaining() >= 2) {
    if (suites.u16() == suite) return true;
  }
  return false;
}

void dropById(SessionCache& cache, const SslContext* ctx) {
  std::lock_guard<std::mutex> guard(sslProcessLock());
  for (SessionCacheEntry& entry : cache.entries) {
    if (sameId(entry, ctx->sessionId)) freeEntry(entry);
  }
}

}  // namespace

uint64_t sslPeerKey(uint16_t family, const uint8_t* address, uint32_t addressLength, uint16_t port) {
  // FNV-1a over family, port and address.
  uint64_t hash = 0xCBF29CE484222325u;
  auto mix = [&hash](uint8_t byte) { hash = (hash ^ byte) * 0x100000001B3u; };
  mix(static_cast<uint8_t>(family >> 8));
  mix(static_cast<uint8_t>(family));
  mix(static_cast<uint8_t>(port >> 8));
  mix(static_cast<uint8_t>(port));
  for (uint32_t i = 0; i < addressLength; ++i) mix(address[i]);
  return hash != 0 ? hash : 1;
}

void sslStoreServerSession(SslContext* ctx) {
  std::lock_guard<std::mutex> guard(sslProcessLock());
  for (SessionCacheEntry& entry : serverCache.entries) {
    if (sameId(entry, ctx->sessionId)) {
      freeEntry(entry);
      break;
    }
  }
  takeSlot(serverCache, ctx);
}

const SessionCacheEntry* sslFindServerSession(const uint8_t sessionId[32]) {
  for (const SessionCacheEntry& entry : serverCache.entries) {
    if (sameId(entry, sessionId)) return &entry;
  }
  return nullptr;
}

void sslDropServerSession(SslContext* ctx) { dropById(serverCache, ctx); }

void sslStoreClientSession(SslContext* ctx) {
  // Without the certificate a resumed connection could not be checked, and
  // key 0 is never looked up.
  if (ctx->peerCertificate.der == nullptr || ctx->peerCertificate.derLength == 0 || ctx->peerKey == 0) return;
  uint8_t* certificate = new uint8_t[ctx->peerCertificate.derLength];
  std::memcpy(certificate, ctx->peerCertificate.der, ctx->peerCertificate.derLength);

  std::lock_guard<std::mutex> guard(sslProcessLock());
  for (SessionCacheEntry& entry : clientCache.entries) {
    if (entry.owner != nullptr && entry.peerKey == ctx->peerKey) freeEntry(entry);
  }
  SessionCacheEntry& entry = takeSlot(clientCache, ctx);
  entry.peerKey = ctx->peerKey;
  entry.certificate = certificate;
  entry.certificateLength = ctx->peerCertificate.derLength;
}

const SessionCacheEntry* sslFindClientSession(uint64_t peerKey) {
  if (peerKey == 0) return nullptr;
  for (const SessionCacheEntry& entry : clientCache.entries) {
    if (entry.owner != nullptr && entry.peerKey == peerKey) return &entry;
  }
  return nullptr;
}

void sslDropClientSession(SslContext* ctx) { dropById(clientCache, ctx); }

void sslDropSession(SslContext* ctx) {
  if (ctx->role == SslRole::Server) {
    sslDropServerSession(ctx);
  } else {
    sslDropClientSession(ctx);
  }
}

bool sslResumeServerSession(SslContext* ctx, const uint8_t sessionId[32], SslReader offeredSuites) {
  {
    std::lock_guard<std::mutex> guard(sslProcessLock());
    const SessionCacheEntry* entry = sslFindServerSession(sessionId);
    if (entry == nullptr || !offersSuite(offeredSuites, entry->cipherSuite)) return false;
    std::memcpy(ctx->sessionId, entry->sessionId, sizeof ctx->sessionId);
    std::memcpy(ctx->masterSecret, entry->masterSecret, sizeof ctx->masterSecret);
    ctx->cipherSuite = entry->cipherSuite;
  }
  if (sslMakeKeyBlock(ctx) != 0) return false;
  ctx->resume = 1;
  return true;
}

bool sslResumeClientSession(SslContext* ctx, uint64_t peerKey) {
  std::lock_guard<std::mutex> guard(sslProcessLock());
  const SessionCacheEntry* entry = sslFindClientSession(peerKey);
  if (entry == nullptr) return false;
  std::memcpy(ctx->sessionId, entry->sessionId, sizeof ctx->sessionId);
  std::memcpy(ctx->masterSecret, entry->masterSecret, sizeof ctx->masterSecret);
  ctx->cipherSuite = entry->cipherSuite;
  delete[] ctx->offeredCertificate;
  ctx->offeredCertificate = new uint8_t[entry->certificateLength];
  std::memcpy(ctx->offeredCertificate, entry->certificate, entry->certificateLength);
  ctx->offeredCertificateLength = entry->certificateLength;
  ctx->resume = 1;
  return true;
}

}  // namespace zelkit::detail
