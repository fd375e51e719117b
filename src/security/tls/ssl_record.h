#pragma once

#include <cstdint>

#include "security/tls/ssl_context.h"

// The record layer inside the engine: reading and framing one record,
// handling it, and building records for the write callback.
namespace zelkit::detail {

enum SslContentType : int32_t {
  SslContentSslV2Hello = -1,
  SslContentChangeCipherSpec = 20,
  SslContentAlert = 21,
  SslContentHandshake = 22,
  SslContentApplicationData = 23,
};

constexpr uint32_t kTlsVersion = 0x0301;
constexpr uint32_t kSslV2RecordVersion = 0x0200;
constexpr uint32_t kTlsHeaderLength = 5;
constexpr uint32_t kMaxRecordBody = 16639;

inline bool sslContextValid(const SslContext* ctx) { return ctx != nullptr && ctx->magic == SSL_MAGIC; }

// One record step: offers waiting output, reads until a whole record is
// buffered and handles it. With a buffer, application bytes are copied into
// it. Returns the bytes delivered (0 for none) or < 0; *idle is 1 when no
// whole record was there to handle.
int sslProcessRecord(SslContext* ctx, uint8_t* buffer, int length, int* idle);

// Asks the read callback once for the bytes missing up to `wanted`;
// returns the bytes buffered, or the callback's negative result.
int sslReadBytes(SslContext* ctx, int wanted);

// The current record has been handled: the next read starts a new one.
void sslForgetRecord(SslContext* ctx);

// Removes the context's session from its session cache.
void sslDropSession(SslContext* ctx);

// Output: one record per call of sslBeginRecord/sslFinishRecord, appended
// behind the records still waiting in the send buffer.
// 0, or -1 when the header does not fit.
int sslBeginRecord(SslContext* ctx, uint8_t type);
// -1 when the bytes would pass the send capacity (nothing is copied).
int sslAppend(SslContext* ctx, const void* data, int length);
// Feeds a handshake record to the handshake hash and protects the record
// when the write side is active. 0 or -1.
int sslFinishRecord(SslContext* ctx);
// Empties the send buffer (nothing may be waiting).
void sslClearOutput(SslContext* ctx);
// Offers waiting output to the write callback once. Returns the bytes
// still waiting, or the sticky error the callback caused.
int sslFlush(SslContext* ctx);
inline bool sslOutputWaiting(const SslContext* ctx) { return ctx->sendFlushed < ctx->sendFill; }

// A whole handshake message in a record of its own. 0 or -1.
int sslSendHandshakeMessage(SslContext* ctx, const uint8_t* message, uint32_t length);

// Alert levels and the descriptions this engine sends.
constexpr uint8_t kAlertWarning = 1;
constexpr uint8_t kAlertFatal = 2;
constexpr uint8_t kCloseNotify = 0;
constexpr uint8_t kAlertHandshakeFailure = 40;
constexpr uint8_t kAlertIllegalParameter = 47;

// Handles a received alert record; 0 or -1.
int sslHandleAlert(SslContext* ctx, const uint8_t* body, uint32_t length);
// 1 sent, 0 when earlier output still waits, or < 0.
int sslSendAlert(SslContext* ctx, uint8_t level, uint8_t description);

}  // namespace zelkit::detail
