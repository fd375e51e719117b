#pragma once

#include <cstdint>

#include "security/tls/ssl_context.h"

// The running MD5 and SHA-1 of all handshake messages of a connection.
namespace zelkit::detail {

constexpr int kHandshakeDigestLength = 16 + 20;

void sslStartHandshakeHash(SslContext* ctx);
void sslHashHandshake(SslContext* ctx, const uint8_t* data, uint32_t length);
// MD5 then SHA-1 of the messages so far; the running hashes go on.
void sslHandshakeDigest(const SslContext* ctx, uint8_t out[kHandshakeDigestLength]);

}  // namespace zelkit::detail
