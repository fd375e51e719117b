#include <cstring>

#include "security/tls/ssl_cipher_suites.h"
#include "security/tls/ssl_handshake.h"
#include "security/tls/ssl_reader.h"
#include "security/tls/ssl_record.h"

namespace zelkit::detail {

namespace {

constexpr uint32_t kServerHelloBody = 2 + 32 + 1 + kSessionIdLength + 2 + 1;
// An empty renegotiation_info extension (RFC 5746) in its extension block.
constexpr uint8_t kRenegotiationInfo[] = {0x00, 0x05, 0xFF, 0x01, 0x00, 0x01, 0x00};

}  // namespace

int sslSendServerHello(SslContext* ctx, bool renegotiationInfo) {
  uint8_t message[kHandshakeHeaderLength + kServerHelloBody + sizeof kRenegotiationInfo];
  const uint32_t body = kServerHelloBody + (renegotiationInfo ? sizeof kRenegotiationInfo : 0);
  uint8_t* p = message;
  *p++ = SslServerHello;
  *p++ = 0;
  *p++ = 0;
  *p++ = static_cast<uint8_t>(body);
  *p++ = 3;
  *p++ = 1;
  std::memcpy(p, ctx->serverRandom, 32);
  p += 32;
  *p++ = kSessionIdLength;
  std::memcpy(p, ctx->sessionId, kSessionIdLength);
  p += kSessionIdLength;
  *p++ = static_cast<uint8_t>(ctx->cipherSuite >> 8);
  *p++ = static_cast<uint8_t>(ctx->cipherSuite);
  *p++ = 0;  // no compression
  if (renegotiationInfo) {
    std::memcpy(p, kRenegotiationInfo, sizeof kRenegotiationInfo);
    p += sizeof kRenegotiationInfo;
  }
  return sslSendHandshakeMessage(ctx, message, static_cast<uint32_t>(p - message));
}

int sslSendServerHelloDone(SslContext* ctx) {
  const uint8_t message[kHandshakeHeaderLength] = {SslServerHelloDone, 0, 0, 0};
  return sslSendHandshakeMessage(ctx, message, sizeof message);
}

int sslParseServerHello(SslContext* ctx, SslMessage message) {
  SslReader reader(message.data, message.length);
  reader.bytes(kHandshakeHeaderLength + 2);  // header and server version
  const uint8_t* random = reader.bytes(32);
  const uint32_t idLength = reader.u8();
  const uint8_t* sessionId = reader.bytes(idLength);
  const uint32_t suite = reader.u16();
  const uint8_t compression = reader.u8();
  if (reader.failed() || idLength > kSessionIdLength) return -1;
  std::memcpy(ctx->serverRandom, random, 32);
  if (idLength == kSessionIdLength) {
    if (ctx->resume != 0 && std::memcmp(sessionId, ctx->sessionId, kSessionIdLength) != 0) ctx->resume = 0;
    // A resumed session keeps the suite (and the null compression) it was
    // made with: its master secret belongs to them.
    if (ctx->resume != 0 && (suite != ctx->cipherSuite || compression != 0)) return SslHelloChangedSession;
    std::memcpy(ctx->sessionId, sessionId, kSessionIdLength);
  } else {
    ctx->resume = 0;
    std::memset(ctx->sessionId, 0, kSessionIdLength);
  }
  if (sslFindCipherSuite(suite) == nullptr) return -1;
  ctx->cipherSuite = suite;
  return 0;
}

}  // namespace zelkit::detail
