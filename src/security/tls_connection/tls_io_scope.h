#pragma once

#include "core/connection/connection.h"

namespace zelkit::detail {

// Sets what the engine's callbacks do for one engine call of a connection
// and restores the phase before it: a dispatch in the middle of a receive
// releases the lock, and another thread's engine call may come between.
class SslIoScope {
 public:
  SslIoScope(Connection& connection, SslIoPhase phase) : connection_(connection), saved_(connection.sslIoPhase) {
    connection.sslIoPhase = phase;
  }
  ~SslIoScope() { connection_.sslIoPhase = saved_; }
  SslIoScope(const SslIoScope&) = delete;
  SslIoScope& operator=(const SslIoScope&) = delete;

 private:
  Connection& connection_;
  SslIoPhase saved_;
};

// The value deliverTlsFrames and feedHttpFromTls return when nothing more
// is to be read: the connection closed, or its HTTP exchange is over.
constexpr int TLS_STOP = 1;
// What deliverTlsFrames returns when reading stops until the connection's
// unsent replies have drained (Connection::pauseReadingIfFull).
constexpr int TLS_PAUSED = 2;

// A read of 6 bytes starts a record: its 5-byte header and the first byte
// of its body.
constexpr int TLS_FIRST_NEED = 6;

}  // namespace zelkit::detail
