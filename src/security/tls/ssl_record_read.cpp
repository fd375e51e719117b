#include <algorithm>
#include <cstring>

#include "security/tls/ssl_cipher_suites.h"
#include "security/tls/ssl_handshake.h"
#include "security/tls/ssl_record.h"

namespace zelkit::detail {

namespace {

// A record header and the first body byte: enough to tell the framings
// apart and to see the handshake message type.
constexpr int kFirstBytes = 6;
constexpr char kMediaTunnelRequest[] = "GET /media_tunnel";
constexpr int kMediaTunnelRequestLength = sizeof kMediaTunnelRequest - 1;
constexpr int kMediaTunnelProbe = 32;

uint8_t* recordBody(SslContext* ctx) { return ctx->receiveBuffer + ctx->headerLength; }

// An SSLv2-framed hello: the 2-byte header (high bit set), or the 3-byte
// header of a first byte that is no TLS content type, carrying version 2.0,
// 3.0 or 3.1. A TLS ClientHello record whose length ends in 03 reads like a
// 3-byte header with version 3.1; its content type tells it apart.
bool readSslV2Header(SslContext* ctx, const uint8_t* h, uint32_t* headerLength, uint32_t* bodyLength) {
  uint32_t length;
  uint32_t header;
  if ((h[0] & 0x80) != 0) {
    header = 2;
    length = static_cast<uint32_t>(h[0] & 0x7F) << 8 | h[1];
  } else {
    if (h[0] >= SslContentChangeCipherSpec && h[0] <= SslContentApplicationData) return false;
    header = 3;
    length = static_cast<uint32_t>(h[0] & 0x3F) << 8 | h[1];
  }
  const uint32_t version = static_cast<uint32_t>(h[header + 1]) << 8 | h[header + 2];
  if (length > kMaxRecordBody || (version != 0x0200 && version != 0x0300 && version != kTlsVersion)) return false;
  ctx->messageType = h[header];
  ctx->contentType = SslContentSslV2Hello;
  ctx->recordVersion = kSslV2RecordVersion;
  ctx->connectionVersion = version;
  *headerLength = header;
  *bodyLength = length;
  return true;
}

// A server whose first bytes are no TLS: a plain media tunnel request is
// told apart from anything else.
int checkMediaTunnelRequest(SslContext* ctx) {
  while (ctx->receiveCount < kMediaTunnelProbe) {
    const int before = ctx->receiveCount;
    const int buffered = sslReadBytes(ctx, kMediaTunnelProbe);
    if (buffered < 0) return buffered;
    if (buffered == before) break;
  }
  if (ctx->receiveCount >= kMediaTunnelRequestLength &&
      std::memcmp(ctx->receiveBuffer, kMediaTunnelRequest, kMediaTunnelRequestLength) == 0) {
    return SslError::MediaTunnelRequest;
  }
  return SslError::Protocol;
}

int readHeader(SslContext* ctx) {
  const int buffered = sslReadBytes(ctx, kFirstBytes);
  if (buffered < kFirstBytes) return std::min(buffered, 0);
  const uint8_t* h = ctx->receiveBuffer;
  ctx->recordVersion = 0;
  uint32_t headerLength = kTlsHeaderLength;
  uint32_t bodyLength = 0;
  bool sslV2 = false;
  if (ctx->state == SslState::ServerWaitClientHello) {
    ctx->connectionVersion = 0;
    sslV2 = readSslV2Header(ctx, h, &headerLength, &bodyLength);
  }
  if (!sslV2) {
    ctx->contentType = h[0];
    ctx->messageType = h[5];
    ctx->recordVersion = static_cast<uint32_t>(h[1]) << 8 | h[2];
    if (ctx->connectionVersion == 0) {
      // A client offering a later version still speaks 3.1 here.
      const bool laterTls = ctx->recordVersion > kTlsVersion && ctx->recordVersion <= 0x03FF;
      ctx->connectionVersion = laterTls ? kTlsVersion : ctx->recordVersion;
    } else if (ctx->connectionVersion != ctx->recordVersion) {
      return SslError::RecordFormat;
    }
    bodyLength = static_cast<uint32_t>(h[3]) << 8 | h[4];
  }
  if (ctx->connectionVersion != kTlsVersion) {
    if (ctx->state != SslState::ServerWaitClientHello) return SslError::Protocol;
    return checkMediaTunnelRequest(ctx);
  }
  // No record of this engine is empty: even an empty plaintext carries a
  // MAC. Refusing it keeps the first-byte read inside the record.
  if (bodyLength > kMaxRecordBody || (!sslV2 && bodyLength == 0)) return SslError::RecordFormat;
  ctx->headerLength = headerLength;
  ctx->bodyLength = bodyLength;
  ctx->recordPhase = SslRecordPhase::HeaderRead;
  return 1;
}

// <0 failure, 0 incomplete, 1 a whole record is buffered.
int sslReadRecord(SslContext* ctx) {
  if (ctx->recordPhase == SslRecordPhase::WaitingForHeader) {
    const int result = readHeader(ctx);
    if (result <= 0) return result;
  }
  const int wanted = static_cast<int>(ctx->headerLength + ctx->bodyLength);
  const int buffered = sslReadBytes(ctx, wanted);
  if (buffered < wanted) return std::min(buffered, 0);
  ctx->recordPhase = SslRecordPhase::Complete;
  return 1;
}

int sslOpenRecord(SslContext* ctx) {
  SslCipherState& cipher = ctx->cipher;
  if (cipher.readActive != 0) {
    cipher.recordType = static_cast<uint8_t>(ctx->contentType);
    uint8_t* body = recordBody(ctx);
    const int plaintext = cipher.open(body, static_cast<int>(ctx->bodyLength),
                                      ctx->receiveCapacity - static_cast<int>(ctx->headerLength), &cipher);
    if (plaintext < 0) return plaintext;
    ctx->bodyLength = static_cast<uint32_t>(plaintext);
    ctx->messageType = plaintext > 0 ? body[0] : 0;
  }
  ctx->recordPhase = SslRecordPhase::Opened;
  return 0;
}

int handleChangeCipherSpec(SslContext* ctx) {
  switch (ctx->state) {
    case SslState::ServerKeyExchangeRead:
    case SslState::ServerHelloDoneRead:
    case SslState::ServerResumed:
    case SslState::ClientResumed:
      break;
    default:
      return SslError::General;
  }
  if (ctx->cipher.writeActive == 0 && ctx->cipher.readActive == 0 && sslSetupCiphers(ctx) != 0) {
    return SslError::General;
  }
  ctx->cipher.readActive = 1;
  ctx->state = SslState::ChangeCipherSpecRead;
  sslForgetRecord(ctx);
  return 0;
}

int deliverApplicationData(SslContext* ctx, uint8_t* buffer, int length) {
  if (ctx->state != SslState::Established) return SslError::General;
  if (buffer == nullptr) return 0;
  const uint32_t available = ctx->bodyLength - ctx->consumed;
  const uint32_t count = std::min(static_cast<uint32_t>(length), available);
  if (count > 0) std::memcpy(buffer, recordBody(ctx) + ctx->consumed, count);
  if ((ctx->readFlags & SslReadPeek) == 0) ctx->consumed += count;
  if (ctx->consumed == ctx->bodyLength) sslForgetRecord(ctx);
  return static_cast<int>(count);
}

int sslHandleRecord(SslContext* ctx, uint8_t* buffer, int length) {
  if (ctx->recordPhase == SslRecordPhase::Complete) {
    const int opened = sslOpenRecord(ctx);
    if (opened < 0) return opened;
  }
  switch (ctx->contentType) {
    case SslContentSslV2Hello:
    case SslContentHandshake:
      return ctx->role == SslRole::Server ? sslServerMachine(ctx) : sslClientMachine(ctx);
    case SslContentChangeCipherSpec:
      return handleChangeCipherSpec(ctx);
    case SslContentAlert: {
      const int result = sslHandleAlert(ctx, recordBody(ctx), ctx->bodyLength);
      sslForgetRecord(ctx);
      return result;
    }
    case SslContentApplicationData:
      return deliverApplicationData(ctx, buffer, length);
    default:
      return SslError::General;
  }
}

}  // namespace

int sslReadBytes(SslContext* ctx, int wanted) {
  const int missing = wanted - ctx->receiveCount;
  if (missing > 0) {
    // The peek flag concerns the plaintext only; the transport always
    // hands its bytes over for good.
    const int flags = static_cast<int>(ctx->readFlags) & ~SslReadPeek;
    const int got =
        ctx->readCallback(reinterpret_cast<char*>(ctx->receiveBuffer + ctx->receiveCount), missing, flags, ctx->user);
    if (got < 0) return got;
    ctx->receiveCount += std::min(got, missing);
  }
  return ctx->receiveCount;
}

void sslForgetRecord(SslContext* ctx) {
  ctx->recordPhase = SslRecordPhase::WaitingForHeader;
  ctx->receiveCount = 0;
  ctx->headerLength = 0;
  ctx->bodyLength = 0;
  ctx->consumed = 0;
}

int sslProcessRecord(SslContext* ctx, uint8_t* buffer, int length, int* idle) {
  if (ctx->stickyError != 0) return ctx->stickyError;
  *idle = 1;
  const bool established = ctx->state == SslState::Established;
  if (!(established && buffer != nullptr)) {
    const int waiting = sslFlush(ctx);
    if (waiting < 0) return waiting;
  }
  if (established && buffer == nullptr) return 0;

  int result = 0;
  if (ctx->recordPhase != SslRecordPhase::Complete && ctx->recordPhase != SslRecordPhase::Opened) {
    result = sslReadRecord(ctx);
    if (result <= 0) {
      if (result < 0) ctx->stickyError = result;
      return result;
    }
  }
  *idle = 0;
  result = sslHandleRecord(ctx, buffer, length);
  if (result < 0) {
    // A failed record cannot leave a session behind to resume.
    sslDropSession(ctx);
    if (ctx->stickyError == 0) ctx->stickyError = result;
    return ctx->stickyError;
  }
  return result;
}

}  // namespace zelkit::detail
