#include "security/tls/ssl_handshake.h"
#include "security/tls/ssl_handshake_hash.h"
#include "security/tls/ssl_key_derivation.h"
#include "security/tls/ssl_record.h"
#include "security/tls/ssl_session_cache.h"

namespace zelkit::detail {

namespace {

void discardOfferedCertificate(SslContext* ctx) {
  delete[] ctx->offeredCertificate;
  ctx->offeredCertificate = nullptr;
  ctx->offeredCertificateLength = 0;
}

int handleServerHello(SslContext* ctx, SslMessage message) {
  if (ctx->state != SslState::ClientHelloSent) return -1;
  const int parsed = sslParseServerHello(ctx, message);
  if (parsed == SslHelloChangedSession) sslSendAlert(ctx, kAlertFatal, kAlertIllegalParameter);
  if (parsed != 0) return -1;
  sslHashHandshake(ctx, message.data, message.length);
  if (ctx->resume == 0) {
    discardOfferedCertificate(ctx);
    ctx->state = SslState::ServerHelloRead;
    return 0;
  }
  // The server resumes: no Certificate follows, so the certificate the
  // session was made with is the one this connection trusts.
  if (ctx->offeredCertificate == nullptr) return -1;
  sslKeepPeerCertificate(ctx, ctx->offeredCertificate, ctx->offeredCertificateLength);
  discardOfferedCertificate(ctx);
  if (sslMakeKeyBlock(ctx) != 0) return -1;
  ctx->state = SslState::ClientResumed;
  return 0;
}

int handleCertificate(SslContext* ctx, SslMessage message) {
  if (ctx->state != SslState::ServerHelloRead || sslParseCertificate(ctx, message) != 0) return -1;
  sslHashHandshake(ctx, message.data, message.length);
  ctx->state = SslState::ServerCertificateRead;
  return 0;
}

int handleServerHelloDone(SslContext* ctx, SslMessage message) {
  if (ctx->state != SslState::ServerCertificateRead) return -1;
  sslHashHandshake(ctx, message.data, message.length);
  sslClearOutput(ctx);
  if (sslSendClientKeyExchange(ctx) != 0 || sslSendChangeCipherSpec(ctx) != 0 || sslSendFinished(ctx) != 0) {
    return -1;
  }
  ctx->state = SslState::ServerHelloDoneRead;
  return sslFlush(ctx) < 0 ? ctx->stickyError : 0;
}

int handleFinished(SslContext* ctx, SslMessage message) {
  if (ctx->state != SslState::ChangeCipherSpecRead || sslCheckFinished(ctx, message.data, message.length) != 0) {
    return -1;
  }
  sslHashHandshake(ctx, message.data, message.length);
  if (ctx->resume != 0) {
    sslClearOutput(ctx);
    if (sslSendChangeCipherSpec(ctx) != 0 || sslSendFinished(ctx) != 0) return -1;
  }
  ctx->state = SslState::Established;
  sslStoreClientSession(ctx);
  return sslFlush(ctx) < 0 ? ctx->stickyError : 0;
}

int handleMessage(SslContext* ctx, SslMessage message) {
  switch (message.data[0]) {
    case SslServerHello:
      return handleServerHello(ctx, message);
    case SslCertificate:
      return handleCertificate(ctx, message);
    case SslServerHelloDone:
      return handleServerHelloDone(ctx, message);
    case SslFinished:
      return handleFinished(ctx, message);
    default:
      return -1;
  }
}

}  // namespace

int sslStartClient(SslContext* ctx, uint64_t peerKey) {
  ctx->peerKey = peerKey;
  if (peerKey != 0) sslResumeClientSession(ctx, peerKey);
  sslClearOutput(ctx);
  if (sslSendClientHello(ctx) != 0) return -1;
  ctx->state = SslState::ClientHelloSent;
  return sslFlush(ctx) < 0 ? ctx->stickyError : 0;
}

// The messages of a record are taken one after the other; each must lie
// wholly in the record (a message split over records is refused).
int sslClientMachine(SslContext* ctx) {
  int result = 0;
  while (result == 0 && ctx->bodyLength > 0) {
    const uint8_t* data = ctx->receiveBuffer + ctx->headerLength;
    if (ctx->bodyLength < kHandshakeHeaderLength) {
      result = -1;
      break;
    }
    const uint32_t length =
        kHandshakeHeaderLength + (static_cast<uint32_t>(data[1]) << 16 | static_cast<uint32_t>(data[2]) << 8 | data[3]);
    if (length > ctx->bodyLength) {
      result = -1;
      break;
    }
    result = handleMessage(ctx, SslMessage{data, length});
    ctx->headerLength += length;
    ctx->bodyLength -= length;
  }
  if (result < 0) sslDropSession(ctx);
  sslForgetRecord(ctx);
  return result;
}

}  // namespace zelkit::detail
