#pragma once

#include <cstdint>

#include "security/tls/ssl_context.h"

// Hello randoms and server session ids.
namespace zelkit::detail {

// The current Unix time in seconds (big-endian), then 28 random bytes.
void sslMakeRandom(uint8_t out[32]);

// A new server session id in ctx->sessionId: "WMX-SES: ", a zero byte, the
// process-wide session counter (little-endian, before it grows by one) and
// 18 random bytes.
void sslNewSessionId(SslContext* ctx);

}  // namespace zelkit::detail
