#include <algorithm>
#include <cstring>

#include "core/connection/connection.h"
#include "core/engine/lock.h"
#include "platform/errors.h"
#include "platform/socket.h"
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
      const int given = std::min(connection.sslHeld - connection.sslHandedOut, length);
      std::memcpy(buffer, connection.sslRawPacket->wire + connection.sslHandedOut, static_cast<std::size_t>(given));
      connection.sslHandedOut += given;
      // What the engine still misses is the size of the next receive.
      connection.sslWantLength = length - given;
      return given;
    }
    case SslIoPhase::Idle:
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
  if (connection.sendInProgress || connection.gatherFull()) return 0;
  ZelPacket* record = ZelPacket::alloc(std::max(length - FRAME_HEADER_SIZE, 0));
  std::memcpy(record->wire, bytes, static_cast<std::size_t>(length));
  record->payloadLength = length;  // the record's bytes start at the TPKT word's place
  record->callback = nullptr;
  record->context = nullptr;
  record->waiterEvent = nullptr;
  record->remainingMs = RAW_PACKET_REMAINING_MS;
  record->sourceUrl = connection.url;
  connection.pending.pushFront(record);
  connection.addToGather(record);
  return length;
}

}  // namespace zelkit::detail
