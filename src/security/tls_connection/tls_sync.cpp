#include "core/connection/connection.h"
#include "core/engine/lock.h"
#include "platform/socket.h"
#include "security/tls/ssl_context.h"
#include "security/tls_connection/tls_io_scope.h"

namespace zelkit::detail {

namespace {

constexpr int SYNC_WAIT_MS = 1000 * 1000;

enum class Readiness { Readable, Writable };

// Waits outside the library lock until the socket is ready; false when the
// connection has no socket any more.
bool waitForSocket(Connection& connection, Readiness readiness) {
  const platform::Socket socket = connection.socketHandle;
  if (socket <= 0) return false;
  const int depth = releaseGlobalCompletely();
  bool ready = false;
  if (readiness == Readiness::Readable)
    platform::selectReadable(&socket, 1, &ready, SYNC_WAIT_MS);
  else
    platform::selectSockets(nullptr, 0, nullptr, &socket, 1, &ready, SYNC_WAIT_MS);
  reacquireGlobal(depth);
  return connection.socketHandle > 0;
}

}  // namespace

int Connection::sslReadSync(void* buffer, int length, int flags) {
  GlobalLock lock;
  if (!useSyncIo || ssl == nullptr) return -1;
  for (;;) {
    int result;
    {
      SslIoScope scope(*this, SslIoPhase::Blocking);
      result = sslRead(ssl, static_cast<char*>(buffer), length, flags);
    }
    if (result != 0) return result;
    if (!waitForSocket(*this, Readiness::Readable) || ssl == nullptr) return -1;
  }
}

int Connection::sslWriteSync(const void* data, int length, int flags) {
  GlobalLock lock;
  if (!useSyncIo || ssl == nullptr || length < 0) return -1;
  const char* bytes = static_cast<const char*>(data);
  int written = 0;
  // Done once every byte is in records and the engine holds none unsent.
  while (written < length || ssl->sendFlushed < ssl->sendFill) {
    int result;
    {
      SslIoScope scope(*this, SslIoPhase::Blocking);
      result = sslWrite(ssl, bytes + written, length - written, flags);
    }
    if (result < 0) return result;
    written += result;
    if (result == 0 && (!waitForSocket(*this, Readiness::Writable) || ssl == nullptr)) return -1;
  }
  return length;
}

}  // namespace zelkit::detail
