#include "security/tls/ssl_random.h"

#include <cstring>

#include "core/wire/byte_io.h"
#include "security/rsa/random.h"
#include "security/tls/ssl_process_lock.h"
#include "security/tls/ssl_time.h"

namespace zelkit::detail {

namespace {

constexpr char kSessionIdText[] = "WMX-SES: ";  // with its terminating zero: bytes 0-9
constexpr int kSessionCounterOffset = 10;

uint32_t sessionCounter = 0;

}  // namespace

void sslMakeRandom(uint8_t out[32]) {
  writeBE32(out, sslTime() + kUnixTimeOf2000);
  randomBytes(out + 4, 28);
}

void sslNewSessionId(SslContext* ctx) {
  randomBytes(ctx->sessionId, sizeof ctx->sessionId);
  std::memcpy(ctx->sessionId, kSessionIdText, sizeof kSessionIdText);
  uint32_t counter;
  {
    std::lock_guard<std::mutex> guard(sslProcessLock());
    counter = sessionCounter++;
  }
  writeLE32(ctx->sessionId + kSessionCounterOffset, counter);
}

}  // namespace zelkit::detail
