#include <cstring>

#include "security/tls/ssl_cipher_suites.h"
#include "security/tls/ssl_handshake.h"
#include "security/tls/ssl_random.h"
#include "security/tls/ssl_reader.h"
#include "security/tls/ssl_record.h"
#include "security/tls/ssl_session_cache.h"

namespace zelkit::detail {

namespace {

constexpr uint32_t kRenegotiationInfoExtension = 0xFF01;
constexpr uint32_t kMinChallenge = 16;
constexpr uint32_t kMaxChallenge = 32;

// The first suite of the client's list, in its order, that the table holds
// (0 for none); notes the renegotiation signalling suite on the way.
uint32_t chooseSuite(SslReader suites, uint32_t width, SslClientHelloOffer* offer) {
  uint32_t chosen = 0;
  while (suites.remaining() >= width) {
    const uint32_t id = width == 3 ? suites.u24() : suites.u16();
    if (id == kSuiteRenegotiationInfo) offer->renegotiationInfo = true;
    if (chosen == 0 && sslFindCipherSuite(id) != nullptr) chosen = id;
  }
  return chosen;
}

bool offersNullCompression(SslReader methods) {
  while (methods.remaining() > 0) {
    if (methods.u8() == 0) return true;
  }
  return false;
}

// Looks through the extension block for a renegotiation_info extension.
// Only that is wanted from here on, so a malformed tail is passed over
// rather than refused.
bool offersRenegotiationInfo(SslReader rest) {
  if (rest.remaining() < 2) return false;
  SslReader extensions = rest.sub(rest.u16());
  while (extensions.ok() && extensions.remaining() >= 4) {
    const uint32_t type = extensions.u16();
    extensions.bytes(extensions.u16());
    if (extensions.ok() && type == kRenegotiationInfoExtension) return true;
  }
  return false;
}

}  // namespace

int sslSendClientHello(SslContext* ctx) {
  uint8_t message[kHandshakeHeaderLength + 2 + 32 + 1 + kSessionIdLength + 2 + 2 * 2 + 2];
  uint32_t length = kHandshakeHeaderLength;
  message[length++] = 3;
  message[length++] = 1;
  sslMakeRandom(ctx->clientRandom);
  std::memcpy(message + length, ctx->clientRandom, 32);
  length += 32;
  const uint32_t idLength = ctx->resume != 0 ? kSessionIdLength : 0;
  message[length++] = static_cast<uint8_t>(idLength);
  std::memcpy(message + length, ctx->sessionId, idLength);
  length += idLength;
  const uint32_t suitesLength = length;
  length += 2;
  for (const CipherSuiteEntry* row = CipherSuiteTable; row->id != 0; ++row) {
    message[length++] = static_cast<uint8_t>(row->id >> 8);
    message[length++] = static_cast<uint8_t>(row->id);
  }
  message[suitesLength] = 0;
  message[suitesLength + 1] = static_cast<uint8_t>(length - suitesLength - 2);
  message[length++] = 1;  // one compression method: none
  message[length++] = 0;
  message[0] = SslClientHello;
  message[1] = 0;
  message[2] = 0;
  message[3] = static_cast<uint8_t>(length - kHandshakeHeaderLength);
  return sslSendHandshakeMessage(ctx, message, length);
}

int sslParseClientHello(SslContext* ctx, SslMessage message, SslClientHelloOffer* offer) {
  SslReader reader(message.data, message.length);
  reader.bytes(kHandshakeHeaderLength + 2);  // header and client version
  const uint8_t* random = reader.bytes(32);
  const uint32_t idLength = reader.u8();
  const uint8_t* sessionId = reader.bytes(idLength);
  if (reader.failed() || idLength > kSessionIdLength) return -1;
  std::memcpy(ctx->clientRandom, random, 32);

  SslReader suites = reader.sub(reader.u16());
  const bool suitesValid = reader.ok() && suites.remaining() % 2 == 0;
  *offer = SslClientHelloOffer{};
  const uint32_t suite = suitesValid ? chooseSuite(suites, 2, offer) : 0;
  const bool nullCompression = offersNullCompression(reader.sub(reader.u8()));
  if (suitesValid && offersRenegotiationInfo(reader)) offer->renegotiationInfo = true;

  // A session resumes with its own suite and no compression, so the hello
  // must still offer both; otherwise it gets a new session.
  if (idLength == kSessionIdLength && suitesValid && nullCompression &&
      sslResumeServerSession(ctx, sessionId, suites))
    return 0;
  if (suite == 0) return suitesValid ? SslHelloNoSharedSuite : -1;
  ctx->cipherSuite = suite;
  sslNewSessionId(ctx);
  return 0;
}

int sslParseV2ClientHello(SslContext* ctx, SslMessage message, SslClientHelloOffer* offer) {
  // An SSLv2 hello never resumes.
  sslNewSessionId(ctx);
  SslReader reader(message.data, message.length);
  reader.bytes(3);  // message type and client version
  const uint32_t specsLength = reader.u16();
  const uint32_t idLength = reader.u16();
  const uint32_t challengeLength = reader.u16();
  SslReader specs = reader.sub(specsLength);
  reader.bytes(idLength);
  const uint8_t* challenge = reader.bytes(challengeLength);
  if (reader.failed() || specsLength % 3 != 0) return -1;
  if (challengeLength < kMinChallenge || challengeLength > kMaxChallenge) return -1;
  *offer = SslClientHelloOffer{};
  const uint32_t suite = chooseSuite(specs, 3, offer);
  if (suite == 0) return SslHelloNoSharedSuite;
  ctx->cipherSuite = suite;
  // The challenge, right-aligned in 32 bytes, is the client random.
  std::memset(ctx->clientRandom, 0, 32);
  std::memcpy(ctx->clientRandom + 32 - challengeLength, challenge, challengeLength);
  return 0;
}

}  // namespace zelkit::detail
