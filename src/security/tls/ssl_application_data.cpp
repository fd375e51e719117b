#include <algorithm>

#include "security/tls/ssl_context.h"
#include "security/tls/ssl_record.h"

namespace zelkit::detail {

int sslRead(SslContext* ctx, char* buffer, int length, int flags) {
  if (!sslContextValid(ctx)) return SslError::General;
  ctx->readFlags = static_cast<uint32_t>(flags);
  auto* out = reinterpret_cast<uint8_t*>(buffer);
  int delivered = 0;
  while (length >= 1) {
    int idle = 0;
    const int result = sslProcessRecord(ctx, out, length, &idle);
    // Bytes already copied are never lost: an error shows on the next call.
    if (result < 0) return delivered > 0 ? delivered : result;
    if (result > 0) {
      // At most one record per call: asking the transport for the next one
      // could block a caller that has its data.
      delivered += result;
      break;
    }
    if (idle != 0) break;
  }
  return delivered;
}

int sslWrite(SslContext* ctx, const char* data, int length, int flags) {
  if (!sslContextValid(ctx)) return SslError::General;
  ctx->writeFlags = static_cast<uint32_t>(flags);
  if (ctx->stickyError != 0) return ctx->stickyError;
  if (length < 0) return SslError::General;
  if (sslOutputWaiting(ctx)) {
    const int waiting = sslFlush(ctx);
    if (waiting != 0) return waiting < 0 ? waiting : 0;
  }
  if (ctx->state != SslState::Established) {
    int idle = 0;
    const int result = sslProcessRecord(ctx, nullptr, 0, &idle);
    if (result != 0) return result;
    // The last flight of the handshake may still wait for the transport.
    if (ctx->state != SslState::Established || sslOutputWaiting(ctx)) return 0;
  }

  int accepted = 0;
  while (accepted < length) {
    const int chunk = std::min(length - accepted, SSL_MAX_WRITE_CHUNK);
    sslClearOutput(ctx);
    if (sslBeginRecord(ctx, SslContentApplicationData) != 0 || sslAppend(ctx, data + accepted, chunk) != 0 ||
        sslFinishRecord(ctx) != 0) {
      return SslError::General;
    }
    accepted += chunk;
    const int waiting = sslFlush(ctx);
    if (waiting < 0) {
      sslClearOutput(ctx);
      return waiting;
    }
    if (waiting > 0) break;
  }
  return accepted;
}

}  // namespace zelkit::detail
