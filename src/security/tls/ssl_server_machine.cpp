#include "security/tls/ssl_handshake.h"
#include "security/tls/ssl_handshake_hash.h"
#include "security/tls/ssl_key_derivation.h"
#include "security/tls/ssl_random.h"
#include "security/tls/ssl_record.h"
#include "security/tls/ssl_server_credentials.h"
#include "security/tls/ssl_session_cache.h"

namespace zelkit::detail {

namespace {

int handleClientHello(SslContext* ctx, SslMessage message) {
  // Without a usable key pair no handshake may succeed.
  if (ctx->state != SslState::ServerWaitClientHello || !sslServerCredentials().usable) return -1;
  sslMakeRandom(ctx->serverRandom);
  SslClientHelloOffer offer{};
  const bool sslV2 = ctx->contentType == SslContentSslV2Hello;
  const int parsed = sslV2 ? sslParseV2ClientHello(ctx, message, &offer) : sslParseClientHello(ctx, message, &offer);
  // A client that offers nothing we speak is told so, as TLS asks, rather
  // than left waiting.
  if (parsed == SslHelloNoSharedSuite) sslSendAlert(ctx, kAlertFatal, kAlertHandshakeFailure);
  if (parsed != 0) return -1;
  ctx->state = SslState::ServerClientHelloRead;
  sslHashHandshake(ctx, message.data, message.length);

  sslClearOutput(ctx);
  if (sslSendServerHello(ctx, offer.renegotiationInfo) != 0) return -1;
  if (ctx->resume != 0) {
    if (sslSendChangeCipherSpec(ctx) != 0 || sslSendFinished(ctx) != 0) return -1;
    ctx->state = SslState::ServerResumed;
  } else {
    if (sslSendCertificate(ctx) != 0 || sslSendServerHelloDone(ctx) != 0) return -1;
    ctx->state = SslState::ServerHelloSent;
  }
  return sslFlush(ctx) < 0 ? ctx->stickyError : 0;
}

int handleClientKeyExchange(SslContext* ctx, SslMessage message) {
  if (ctx->state != SslState::ServerHelloSent) return -1;
  sslHashHandshake(ctx, message.data, message.length);
  if (sslParseClientKeyExchange(ctx, message) != 0) return -1;
  ctx->state = SslState::ServerKeyExchangeRead;
  return 0;
}

int handleFinished(SslContext* ctx, SslMessage message) {
  if (ctx->state != SslState::ChangeCipherSpecRead || sslCheckFinished(ctx, message.data, message.length) != 0) {
    return -1;
  }
  sslHashHandshake(ctx, message.data, message.length);
  if (ctx->resume == 0) {
    sslClearOutput(ctx);
    if (sslSendChangeCipherSpec(ctx) != 0 || sslSendFinished(ctx) != 0) return -1;
  }
  ctx->state = SslState::Established;
  sslStoreServerSession(ctx);
  return sslFlush(ctx) < 0 ? ctx->stickyError : 0;
}

// The message of an SSLv2 hello is its whole record body; otherwise the
// first message of the record, which must lie wholly in it.
bool firstMessage(const SslContext* ctx, SslMessage* message) {
  const uint8_t* data = ctx->receiveBuffer + ctx->headerLength;
  if (ctx->contentType == SslContentSslV2Hello) {
    *message = SslMessage{data, ctx->bodyLength};
    return true;
  }
  if (ctx->bodyLength < kHandshakeHeaderLength) return false;
  const uint32_t length =
      kHandshakeHeaderLength + (static_cast<uint32_t>(data[1]) << 16 | static_cast<uint32_t>(data[2]) << 8 | data[3]);
  if (length > ctx->bodyLength) return false;
  *message = SslMessage{data, length};
  return true;
}

}  // namespace

// One handshake message per record.
int sslServerMachine(SslContext* ctx) {
  SslMessage message{};
  int result = -1;
  if (firstMessage(ctx, &message)) {
    switch (ctx->messageType) {
      case SslClientHello:
        result = handleClientHello(ctx, message);
        break;
      case SslClientKeyExchange:
        result = handleClientKeyExchange(ctx, message);
        break;
      case SslFinished:
        result = handleFinished(ctx, message);
        break;
      default:
        break;
    }
  }
  if (result < 0) sslDropSession(ctx);
  sslForgetRecord(ctx);
  return result;
}

}  // namespace zelkit::detail
