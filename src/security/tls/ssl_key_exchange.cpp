#include <cstring>

#include "security/rsa/random.h"
#include "security/rsa/rsa.h"
#include "security/tls/ssl_constant_time.h"
#include "security/tls/ssl_handshake.h"
#include "security/tls/ssl_key_derivation.h"
#include "security/tls/ssl_reader.h"
#include "security/tls/ssl_record.h"
#include "security/tls/ssl_server_credentials.h"

namespace zelkit::detail {

namespace {

constexpr int32_t kMaxModulusBytes = kRsaMaxModulusBits / 8;
// The encrypted secret with its 16-bit length, for moduli up to the
// largest key the library reads.
constexpr uint32_t kMinKeyExchangeBody = 3;
constexpr uint32_t kMaxKeyExchangeBody = 2 + kMaxModulusBytes;

void wipe(uint8_t* secret, size_t length) {
  volatile uint8_t* p = secret;
  while (length-- > 0) *p++ = 0;
}

}  // namespace

int sslSendClientKeyExchange(SslContext* ctx) {
  uint8_t preMaster[kPreMasterLength];
  preMaster[0] = 3;
  preMaster[1] = 1;
  randomBytes(preMaster + 2, kPreMasterLength - 2);

  // The cipher text goes out in exactly the modulus length, left-padded
  // with zeros, as PKCS#1 requires (some servers refuse a shorter one).
  const int32_t modulusBytes = (ctx->peerPublicKey.first.bits + 7) / 8;
  uint8_t encrypted[kMaxModulusBytes];
  int32_t encryptedLength = sizeof encrypted;
  if (modulusBytes > kMaxModulusBytes ||
      rsaEncrypt(&ctx->peerPublicKey, preMaster, kPreMasterLength, encrypted, &encryptedLength) != 0) {
    wipe(preMaster, sizeof preMaster);
    return -1;
  }
  const uint32_t length = static_cast<uint32_t>(modulusBytes);
  uint8_t message[kHandshakeHeaderLength + 2 + kMaxModulusBytes] = {};
  message[0] = SslClientKeyExchange;
  message[1] = static_cast<uint8_t>((length + 2) >> 16);
  message[2] = static_cast<uint8_t>((length + 2) >> 8);
  message[3] = static_cast<uint8_t>(length + 2);
  message[4] = static_cast<uint8_t>(length >> 8);
  message[5] = static_cast<uint8_t>(length);
  std::memcpy(message + 6 + (length - static_cast<uint32_t>(encryptedLength)), encrypted,
              static_cast<size_t>(encryptedLength));

  const int result = sslMakeMasterSecret(ctx, preMaster, kPreMasterLength);
  wipe(preMaster, sizeof preMaster);
  if (result != 0) return -1;
  return sslSendHandshakeMessage(ctx, message, kHandshakeHeaderLength + 2 + length);
}

int sslParseClientKeyExchange(SslContext* ctx, SslMessage message) {
  SslReader reader(message.data, message.length);
  reader.u8();
  const uint32_t body = reader.u24();
  const uint32_t length = reader.u16();
  const uint8_t* encrypted = reader.bytes(length);
  if (reader.failed() || body + kHandshakeHeaderLength != message.length || body < kMinKeyExchangeBody ||
      body > kMaxKeyExchangeBody || length + 2 != body) {
    return -1;
  }

  // A bad padding or length must not show before the Finished (RFC 5246
  // 7.4.7.1): the random secret is drawn first and chosen without a branch
  // on the outcome.
  uint8_t fallback[kPreMasterLength];
  randomBytes(fallback, kPreMasterLength);
  uint8_t decrypted[kPreMasterLength] = {};
  int32_t decryptedLength = kPreMasterLength;
  const int result = rsaDecrypt(&sslServerCredentials().privateKey, encrypted, static_cast<int32_t>(length),
                                decrypted, &decryptedLength);
  const uint32_t good = maskZero(static_cast<uint32_t>(result)) &
                        maskZero(static_cast<uint32_t>(decryptedLength) ^ static_cast<uint32_t>(kPreMasterLength));
  uint8_t preMaster[kPreMasterLength];
  const uint8_t keep = static_cast<uint8_t>(good);
  for (int32_t i = 0; i < kPreMasterLength; ++i) {
    preMaster[i] = static_cast<uint8_t>((decrypted[i] & keep) | (fallback[i] & ~keep));
  }
  const int derived = sslMakeMasterSecret(ctx, preMaster, kPreMasterLength);
  wipe(preMaster, sizeof preMaster);
  wipe(decrypted, sizeof decrypted);
  return derived;
}

}  // namespace zelkit::detail
