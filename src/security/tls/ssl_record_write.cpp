#include <algorithm>
#include <cstring>

#include "security/tls/ssl_handshake_hash.h"
#include "security/tls/ssl_record.h"

namespace zelkit::detail {

namespace {

// Room the protection may need beyond the body: MAC, padding and a margin.
constexpr int32_t kProtectionReserve = 50;

}  // namespace

int sslBeginRecord(SslContext* ctx, uint8_t type) {
  const uint8_t header[kTlsHeaderLength] = {type, 3, 1, 0, 0};
  const int32_t start = ctx->sendFill;
  if (sslAppend(ctx, header, sizeof header) != 0) return -1;
  ctx->recordStart = static_cast<uint32_t>(start);
  ctx->cipher.recordType = type;
  return 0;
}

int sslAppend(SslContext* ctx, const void* data, int length) {
  if (length < 0 || length > ctx->sendCapacity - ctx->sendFill) return -1;
  if (length > 0) std::memcpy(ctx->sendBuffer + ctx->sendFill, data, static_cast<size_t>(length));
  ctx->sendFill += length;
  return 0;
}

int sslFinishRecord(SslContext* ctx) {
  const int32_t bodyOffset = static_cast<int32_t>(ctx->recordStart + kTlsHeaderLength);
  uint8_t* body = ctx->sendBuffer + bodyOffset;
  int length = ctx->sendFill - bodyOffset;
  if (ctx->cipher.recordType == SslContentHandshake) sslHashHandshake(ctx, body, static_cast<uint32_t>(length));
  if (ctx->cipher.writeActive != 0) {
    const int protectedLength =
        ctx->cipher.protect(body, length, ctx->sendCapacity - bodyOffset - kProtectionReserve, &ctx->cipher);
    if (protectedLength < 0) return -1;
    ctx->sendFill += protectedLength - length;
    length = protectedLength;
  }
  body[-2] = static_cast<uint8_t>(length >> 8);
  body[-1] = static_cast<uint8_t>(length);
  return 0;
}

int sslSendHandshakeMessage(SslContext* ctx, const uint8_t* message, uint32_t length) {
  if (sslBeginRecord(ctx, SslContentHandshake) != 0) return -1;
  if (sslAppend(ctx, message, static_cast<int>(length)) != 0) return -1;
  return sslFinishRecord(ctx);
}

void sslClearOutput(SslContext* ctx) {
  ctx->sendFill = 0;
  ctx->sendFlushed = 0;
}

int sslFlush(SslContext* ctx) {
  if (sslOutputWaiting(ctx)) {
    const int waiting = ctx->sendFill - ctx->sendFlushed;
    const int taken = ctx->writeCallback(reinterpret_cast<char*>(ctx->sendBuffer + ctx->sendFlushed), waiting,
                                         static_cast<int>(ctx->writeFlags), ctx->user);
    if (taken < 0) {
      if (ctx->stickyError == 0) ctx->stickyError = taken;
      return ctx->stickyError;
    }
    ctx->sendFlushed += std::min(taken, waiting);
    if (ctx->sendFlushed == ctx->sendFill) sslClearOutput(ctx);
  }
  return ctx->sendFill - ctx->sendFlushed;
}

}  // namespace zelkit::detail
