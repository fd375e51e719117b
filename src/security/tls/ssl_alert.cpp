#include "security/tls/ssl_record.h"

namespace zelkit::detail {

int sslHandleAlert(SslContext* ctx, const uint8_t* body, uint32_t length) {
  if (length < 2) return SslError::General;
  const uint8_t level = body[0];
  const uint8_t description = body[1];
  if (description == kCloseNotify) sslSendAlert(ctx, kAlertWarning, kCloseNotify);
  ctx->stickyError = SslError::AlertBase - description;
  ctx->state = SslState::Closed;
  if (level == kAlertFatal) sslDropSession(ctx);
  return 0;
}

int sslSendAlert(SslContext* ctx, uint8_t level, uint8_t description) {
  if (level == kAlertFatal) sslDropSession(ctx);
  if (ctx->stickyError != 0) return ctx->stickyError;
  if (sslOutputWaiting(ctx)) {
    const int waiting = sslFlush(ctx);
    if (waiting != 0) return waiting < 0 ? waiting : 0;
  }
  sslClearOutput(ctx);
  const uint8_t alert[2] = {level, description};
  if (sslBeginRecord(ctx, SslContentAlert) != 0 || sslAppend(ctx, alert, sizeof alert) != 0 ||
      sslFinishRecord(ctx) != 0) {
    return SslError::General;
  }
  const int waiting = sslFlush(ctx);
  return waiting < 0 ? waiting : 1;
}

}  // namespace zelkit::detail
