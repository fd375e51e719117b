#include "security/tls/ssl_key_derivation.h"

#include <cstring>

#include "security/tls/ssl_cipher_suites.h"
#include "security/tls/ssl_handshake_hash.h"
#include "security/tls/ssl_prf.h"

namespace zelkit::detail {

namespace {

constexpr char kMasterSecretLabel[] = "master secret";
constexpr char kKeyExpansionLabel[] = "key expansion";
constexpr char kClientFinishedLabel[] = "client finished";
constexpr char kServerFinishedLabel[] = "server finished";

int labelLength(const char* label) { return static_cast<int>(std::strlen(label)); }

}  // namespace

int sslMakeMasterSecret(SslContext* ctx, const uint8_t* preMaster, int length) {
  uint8_t seed[64];
  std::memcpy(seed, ctx->clientRandom, 32);
  std::memcpy(seed + 32, ctx->serverRandom, 32);
  if (sslPrf(preMaster, length, kMasterSecretLabel, labelLength(kMasterSecretLabel), seed, sizeof seed,
             kMasterSecretLength, ctx->masterSecret) != 0) {
    return -1;
  }
  return sslMakeKeyBlock(ctx);
}

int sslMakeKeyBlock(SslContext* ctx) {
  const CipherSuiteEntry* suite = sslFindCipherSuite(ctx->cipherSuite);
  if (suite == nullptr) return -1;
  uint8_t seed[64];
  std::memcpy(seed, ctx->serverRandom, 32);
  std::memcpy(seed + 32, ctx->clientRandom, 32);
  if (sslPrf(ctx->masterSecret, kMasterSecretLength, kKeyExpansionLabel, labelLength(kKeyExpansionLabel), seed,
             sizeof seed, kKeyBlockLength, ctx->keyBlock) != 0) {
    return -1;
  }

  SslCipherState& state = ctx->cipher;
  state.macLength = suite->macLength;
  state.keyLength = suite->keyLength;
  state.ivLength = suite->ivLength;
  // Client MAC secret, server MAC secret, client key, server key, client
  // IV, server IV.
  uint8_t* clientMac = ctx->keyBlock;
  uint8_t* serverMac = clientMac + suite->macLength;
  uint8_t* clientKey = serverMac + suite->macLength;
  uint8_t* serverKey = clientKey + suite->keyLength;
  uint8_t* clientIv = serverKey + suite->keyLength;
  uint8_t* serverIv = clientIv + suite->ivLength;
  const bool server = ctx->role == SslRole::Server;
  state.readMacSecret = server ? clientMac : serverMac;
  state.writeMacSecret = server ? serverMac : clientMac;
  state.readKey = server ? clientKey : serverKey;
  state.writeKey = server ? serverKey : clientKey;
  state.readIv = server ? clientIv : serverIv;
  state.writeIv = server ? serverIv : clientIv;
  return 0;
}

void sslFinishedData(const SslContext* ctx, SslFinishedLabel label, uint8_t out[kVerifyDataLength]) {
  uint8_t digest[kHandshakeDigestLength];
  sslHandshakeDigest(ctx, digest);
  const char* text = label == SslFinishedLabel::Client ? kClientFinishedLabel : kServerFinishedLabel;
  sslPrf(ctx->masterSecret, kMasterSecretLength, text, labelLength(text), digest, sizeof digest, kVerifyDataLength,
         out);
}

int sslCheckFinished(const SslContext* ctx, const uint8_t* message, uint32_t length) {
  if (length < 4) return -1;
  const uint32_t declared = static_cast<uint32_t>(message[1]) << 16 | message[2] << 8 | message[3];
  if (declared > length - 4 || declared != kVerifyDataLength) return -1;
  uint8_t expected[kVerifyDataLength];
  sslFinishedData(ctx, ctx->role == SslRole::Server ? SslFinishedLabel::Client : SslFinishedLabel::Server,
                  expected);
  uint8_t difference = 0;
  for (int i = 0; i < kVerifyDataLength; ++i) difference |= expected[i] ^ message[4 + i];
  return difference == 0 ? 0 : -1;
}

}  // namespace zelkit::detail
