#include "security/tls/ssl_context.h"

#include <new>

#include "security/tls/ssl_cipher_suites.h"
#include "security/tls/ssl_handshake.h"
#include "security/tls/ssl_handshake_hash.h"
#include "security/tls/ssl_record.h"
#include "security/tls/ssl_server_credentials.h"

namespace zelkit::detail {

namespace {

void releaseOfferedCertificate(SslContext* ctx) {
  delete[] ctx->offeredCertificate;
  ctx->offeredCertificate = nullptr;
  ctx->offeredCertificateLength = 0;
}

// A fresh server context around the parts a reset keeps.
void startConnection(SslContext* ctx) {
  ctx->role = SslRole::Server;
  ctx->state = SslState::ServerWaitClientHello;
  sslStartHandshakeHash(ctx);
}

}  // namespace

SslContext* sslCreate(SslIoCallback readCallback, SslIoCallback writeCallback, void* user) {
  if (readCallback == nullptr || writeCallback == nullptr) return nullptr;
  sslLoadKeysOnce();
  SslContext* ctx = new (std::nothrow) SslContext{};
  if (ctx == nullptr) return nullptr;
  ctx->receiveBuffer = new (std::nothrow) uint8_t[SSL_BUFFER_SIZE];
  ctx->sendBuffer = new (std::nothrow) uint8_t[SSL_BUFFER_SIZE];
  if (ctx->receiveBuffer == nullptr || ctx->sendBuffer == nullptr) {
    delete[] ctx->receiveBuffer;
    delete[] ctx->sendBuffer;
    delete ctx;
    return nullptr;
  }
  ctx->magic = SSL_MAGIC;
  ctx->receiveCapacity = SSL_BUFFER_SIZE;
  ctx->sendCapacity = SSL_BUFFER_SIZE;
  ctx->readCallback = readCallback;
  ctx->writeCallback = writeCallback;
  ctx->user = user;
  startConnection(ctx);
  return ctx;
}

void sslFree(SslContext* ctx) {
  if (ctx == nullptr) return;
  sslReleaseCiphers(&ctx->cipher);
  ctx->cipher = SslCipherState{};
  ctx->magic = 0;
  delete[] ctx->receiveBuffer;
  delete[] ctx->sendBuffer;
  delete[] ctx->peerCertificate.der;
  releaseOfferedCertificate(ctx);
  delete ctx;
}

int sslReset(SslContext* ctx) {
  if (!sslContextValid(ctx)) return SslError::General;
  sslReleaseCiphers(&ctx->cipher);
  releaseOfferedCertificate(ctx);
  // A reconnect allocates nothing, and an approved certificate stays
  // approved while the server keeps it.
  static const SslContext kEmpty{};
  SslContext fresh = kEmpty;
  fresh.magic = ctx->magic;
  fresh.receiveBuffer = ctx->receiveBuffer;
  fresh.sendBuffer = ctx->sendBuffer;
  fresh.receiveCapacity = ctx->receiveCapacity;
  fresh.sendCapacity = ctx->sendCapacity;
  fresh.readCallback = ctx->readCallback;
  fresh.writeCallback = ctx->writeCallback;
  fresh.user = ctx->user;
  fresh.peerCertificate.der = ctx->peerCertificate.der;
  fresh.peerCertificate.derLength = ctx->peerCertificate.derLength;
  fresh.certificateApproved = ctx->certificateApproved;
  *ctx = fresh;
  startConnection(ctx);
  return 0;
}

int sslConnect(SslContext* ctx, uint64_t peerKey, unsigned timeout) {
  if (!sslContextValid(ctx) || ctx->state != SslState::ServerWaitClientHello) return SslError::General;
  ctx->role = SslRole::Client;
  const int started = sslStartClient(ctx, peerKey);
  if (started < 0) {
    if (ctx->stickyError == 0) ctx->stickyError = started;
    return ctx->stickyError;
  }
  // The count stands for milliseconds because owners' read callbacks block
  // in the socket read; the engine itself never waits.
  constexpr unsigned kIdleStep = 50;
  unsigned elapsed = 0;
  for (;;) {
    int idle = 0;
    const int result = sslProcessRecord(ctx, nullptr, 0, &idle);
    if (result < 0) return result;
    if (ctx->state == SslState::Established) return 0;
    if (elapsed >= timeout) return timeout == 0 ? 0 : SslError::Timeout;
    if (idle != 0) elapsed += kIdleStep;
  }
}

int sslHandshakeStep(SslContext* ctx) {
  if (ctx == nullptr) return SslError::General;
  if (ctx->state == SslState::Established) return 1;
  int idle = 0;
  const int result = sslProcessRecord(ctx, nullptr, 0, &idle);
  if (result < 0) return result;
  return ctx->state == SslState::Established ? 1 : 0;
}

int sslPending(SslContext* ctx) {
  if (ctx == nullptr || ctx->contentType != SslContentApplicationData) return 0;
  if (ctx->recordPhase != SslRecordPhase::Complete && ctx->recordPhase != SslRecordPhase::Opened) return 0;
  return static_cast<int>(ctx->bodyLength - ctx->consumed);
}

}  // namespace zelkit::detail
