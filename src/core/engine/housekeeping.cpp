#include "core/connection/connection.h"
#include "core/engine/core.h"
#include "core/engine/lock.h"
#include "zelkit/server.h"

namespace zelkit::detail {

namespace {

void onLiveCheckReply(void* context, ZelHeader& header, ZelInputStream&) {
  if (header.errorCode != 0)
    static_cast<Connection*>(context)->close(LocalEvent::ConnectionClosed, "LiveCheck Error %x",
                                             static_cast<uint32_t>(header.errorCode));
}

bool isListed(List<Connection>& connections, const Connection* wanted) {
  for (Connection* connection = connections.first(); connection != nullptr; connection = connection->next)
    if (connection == wanted) return true;
  return false;
}

}  // namespace

void Core::housekeeping(uint32_t elapsedMs) {
  if (pingSocketOpen()) tickDeferredConnects(elapsedMs);
  // Callbacks run during the walk with the lock released and may delete
  // connections: the cursor is moved past a connection that leaves the list.
  for (Connection* connection = connections.first(); connection != nullptr; connection = connectionCursor) {
    connectionCursor = connection->next;
    if (checkRequestTimeouts(connection, elapsedMs) > 0 && !isListed(connections, connection)) continue;
    if (connection->pendingEventCode != connection->postedEventCode) {
      notifyLocal(connection->pendingEventCode, connection);
      connection->postedEventCode = connection->pendingEventCode;
    }
    checkLiveness(connection);
  }
  connectionCursor = nullptr;
  runTimers(elapsedMs);
  checkLogDayRollover();
  ZelPacket::releaseIdleBlocks();
}

void Core::tickDeferredConnects(uint32_t elapsedMs) {
  for (Connection* connection = connections.first(); connection != nullptr; connection = connection->next) {
    if (connection->deferCountdownMs <= 0) continue;
    connection->deferCountdownMs -= static_cast<int32_t>(elapsedMs);
    if (connection->deferCountdownMs < 1) {
      ++connection->connectAttempts;
      connection->connect();
    }
  }
}

void Core::checkLiveness(Connection* connection) {
  if (connection->liveCheckIntervalMs == 0 || connection->state != ConnectionState::Registered) return;
  // A last activity in the future (set when a live check was sent) holds
  // the next check back.
  const int32_t idle = static_cast<int32_t>(now - connection->lastActivityTick);
  if (idle <= connection->liveCheckIntervalMs) return;
  if (connection->session != nullptr) {
    if (!connection->useSyncIo && connection->liveCheckIntervalMs != SERVER_KEEPALIVE_INTERVAL_MS) {
      connection->liveCheckIntervalMs = SERVER_KEEPALIVE_INTERVAL_MS;
      const int32_t timeout = server_ != nullptr ? static_cast<int32_t>(server_->responseTimeoutMs_) : 0;
      sendRequest(timeout, connection, ZelHeader(ZelTag::KeepAliveMessage, 0), Message, emptyPayload(), nullptr,
                  nullptr, nullptr);
    } else {
      connection->close(LocalEvent::ConnectionClosed, "Connection timed out", 0);
    }
  } else if (connection->refCount >= 1) {
    connection->lastActivityTick = now + static_cast<uint32_t>(connection->liveCheckIntervalMs + defaultTimeout());
    sendRequest(0, connection, ZelHeader(ZelTag::LiveCheck, 0), Request, emptyPayload(), nullptr, onLiveCheckReply,
                connection);
  } else {
    connection->close(LocalEvent::ConnectionClosed, "Connection %04x released",
                      static_cast<uint32_t>(connection->clientId));
  }
}

}  // namespace zelkit::detail
