#include <algorithm>
#include <cstring>

#include "core/connection/connection.h"
#include "core/engine/lock.h"
#include "platform/errors.h"
#include "platform/socket.h"
#include "security/tls/ssl_context.h"
#include "security/tls_connection/tls_io_scope.h"

namespace zelkit::detail {

namespace {

// One socket call outside the library lock: > 0 bytes moved, 0 nothing now,
// < 0 failed. A receive of 0 bytes (the peer closed) fails.
template <typename Call>
int socketCallUnlocked(Connection& connection, Call call, bool receiving) {
  const platform::Socket socket = connection.socketHandle;
  if (socket <= 0) return -1;
  const int depth = releaseGlobalCompletely();
  const int result = call(socket);
  const uint32_t error = platform::lastError();
  reacquireGlobal(depth);
  if (result > 0) return result;
  if (result == 0) return receiving ? -1 : 0;
  return error == platform::wsa::WouldBlock ? 0 : result;
}

}  // namespace

int Connection::sslRecvCallback(char* buffer, int length, int, void* user) {
  Connection& connection = *static_cast<Connection*>(user);
  switch (connection.sslIoPhase) {
    case SslIoPhase::Blocking:
      // Never a peek at the socket: the engine would see its bytes twice.
      return socketCallUnlocked(
          connection, [&](platform::Socket socket) { return platform::receiveBytes(socket, buffer, length); }, true);
    case SslIoPhase::Receiving: {
      // The receive put its bytes where the engine reads them: they are
      // handed over in place.
      const int given = std::min(connection.sslHeld - connection.sslHandedOut, length);
      const uint8_t* held = connection.ssl->receiveBuffer + connection.sslReceiveOffset + connection.sslHandedOut;
      if (held != reinterpret_cast<uint8_t*>(buffer)) std::memmove(buffer, held, static_cast<std::size_t>(given));
      connection.sslHandedOut += given;
      // What the engine still misses is the size of the next receive.
      connection.sslWantLength = length - given;
      return given;
    }
    case SslIoPhase::Idle:
    case SslIoPhase::Gathering:
      break;
  }
  return 0;  // raw bytes come only with a receive completion
}

int Connection::sslSendCallback(char* bytes, int length, int, void* user) {
  Connection& connection = *static_cast<Connection*>(user);
  if (connection.sslIoPhase == SslIoPhase::Blocking)
    return socketCallUnlocked(
        connection, [&](platform::Socket socket) { return platform::sendBytes(socket, bytes, length); }, false);
  // The engine keeps what is not taken until the send under way completes.
  if (connection.sendInProgress) return 0;
  // Bytes gathered before go first.
  if (connection.sslIoPhase == SslIoPhase::Gathering || !connection.sendGather.empty() ||
      connection.holdsLastSslFlight())
    return connection.gatherSslBytes(bytes, length);
  return connection.sendSslBytesNow(bytes, length);
}

int Connection::sendSslBytesNow(const char* bytes, int length) {
  const platform::IoBuffer piece{bytes, static_cast<uint32_t>(length)};
  const int sent = platform::sendAvailable(socketHandle, &piece, 1, sslMoreFollows);
  // The engine keeps the rest; a failure shows again in the overlapped send
  // of it (pushSslOutput).
  return std::max(sent, 0);
}

int Connection::gatherSslBytes(const char* bytes, int length) {
  if (gatherFull()) return 0;
  ZelPacket* record = ZelPacket::alloc(std::max(length - FRAME_HEADER_SIZE, 0));
  std::memcpy(record->wire, bytes, static_cast<std::size_t>(length));
  record->payloadLength = length;  // the record's bytes start at the TPKT word's place
  record->callback = nullptr;
  record->context = nullptr;
  record->waiterEvent = nullptr;
  record->remainingMs = RAW_PACKET_REMAINING_MS;
  record->sourceUrl = url;
  pending.pushFront(record);
  addToGather(record);
  return length;
}

}  // namespace zelkit::detail
