#include "security/tls/ssl_handshake_hash.h"

namespace zelkit::detail {

void sslStartHandshakeHash(SslContext* ctx) {
  md5Init(&ctx->handshakeMd5);
  sha1Reset(&ctx->handshakeSha1);
}

void sslHashHandshake(SslContext* ctx, const uint8_t* data, uint32_t length) {
  md5Update(&ctx->handshakeMd5, data, length);
  sha1Input(&ctx->handshakeSha1, data, length);
}

void sslHandshakeDigest(const SslContext* ctx, uint8_t out[kHandshakeDigestLength]) {
  Md5Context md5 = ctx->handshakeMd5;
  Sha1Context sha1 = ctx->handshakeSha1;
  md5Final(out, &md5);
  sha1Result(&sha1, out + 16);
}

}  // namespace zelkit::detail
