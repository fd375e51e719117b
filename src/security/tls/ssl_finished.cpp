#include "security/tls/ssl_cipher_suites.h"
#include "security/tls/ssl_handshake.h"
#include "security/tls/ssl_key_derivation.h"
#include "security/tls/ssl_record.h"

namespace zelkit::detail {

int sslSendChangeCipherSpec(SslContext* ctx) {
  if (sslSetupCiphers(ctx) != 0) return -1;
  const uint8_t change = 1;
  if (sslBeginRecord(ctx, SslContentChangeCipherSpec) != 0 || sslAppend(ctx, &change, 1) != 0 ||
      sslFinishRecord(ctx) != 0) {
    return -1;
  }
  // The record itself still goes out unprotected.
  ctx->cipher.writeActive = 1;
  return 0;
}

int sslSendFinished(SslContext* ctx) {
  uint8_t message[kHandshakeHeaderLength + kVerifyDataLength] = {SslFinished, 0, 0, kVerifyDataLength};
  sslFinishedData(ctx, ctx->role == SslRole::Server ? SslFinishedLabel::Server : SslFinishedLabel::Client,
                  message + kHandshakeHeaderLength);
  return sslSendHandshakeMessage(ctx, message, sizeof message);
}

}  // namespace zelkit::detail
